// The web interface's login: one user and secret from the environment, sessions in cookies.
#pragma once

#include <deque>
#include <mutex>
#include <string>

namespace engine {

class WebLogin {
public:
  // Reads SETUP_USER/ADMIN_USER and SETUP_SECRET/ADMIN_SECRET; a user without a secret gets a
  // random one, logged once.
  WebLogin();

  bool enabled() const { return !user_.empty(); }
  // A new session token, or "" when the credentials are refused.
  std::string login(const std::string& user, const std::string& secret, const std::string& from);
  // Whether the Cookie header carries a session this login handed out.
  bool has_session(const std::string& cookie_header) const;

private:
  std::string user_, secret_;
  mutable std::mutex mutex_;
  std::deque<std::string> sessions_;  // oldest first, bounded so logins cannot eat memory
};

std::string random_hex(size_t bytes);  // from /dev/urandom

}  // namespace engine
