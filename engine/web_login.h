// The web interface's login: one user and secret from the environment, sessions in cookies.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace engine {

struct LoginResult {
  std::string token;    // the new session; "" when refused
  int retry_after = 0;  // seconds the address must wait before a login is checked again; 0: none
};

class WebLogin {
public:
  using Clock = std::chrono::steady_clock;

  // Reads SETUP_USER/ADMIN_USER and SETUP_SECRET/ADMIN_SECRET; a user without a secret gets a
  // random one, logged once.
  WebLogin();

  bool enabled() const { return !user_.empty(); }
  // A new session, or a refusal. After a few refusals in a row from one address, that address
  // waits (retry_after) before its next login is checked, twice as long each time.
  LoginResult login(const std::string& user, const std::string& secret, const std::string& from) {
    return login(user, secret, from, Clock::now());
  }
  // The same at a given time, so the forgetting can be tried without waiting for it.
  LoginResult login(const std::string& user, const std::string& secret, const std::string& from,
                    Clock::time_point now);
  // Whether the Cookie header carries a session this login handed out.
  bool has_session(const std::string& cookie_header) const;

private:
  struct Refusals {
    int in_a_row = 0;
    Clock::time_point last{};        // the last refusal that was checked
    Clock::time_point wait_until{};  // no login from the address is checked before
    int not_logged = 0;              // attempts refused unchecked since the last log line
  };
  Refusals& refusals_of(const std::string& from, Clock::time_point now);

  std::string user_, secret_;
  mutable std::mutex mutex_;
  std::deque<std::string> sessions_;          // oldest first, bounded so logins cannot eat memory
  std::map<std::string, Refusals> refusals_;  // by client address, bounded
};

std::string random_hex(size_t bytes);  // from /dev/urandom

}  // namespace engine
