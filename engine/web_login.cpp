// Login and sessions of the web interface.
#include "web_login.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "engine_log.h"

namespace engine {

static constexpr size_t kMaxSessions = 32;
// Refusals from one address that are checked at once; after them the address waits.
static constexpr int kFreeRefusals = 5;
static constexpr int kMaxWaitSeconds = 300;
// Refusals are forgotten this long after the last one, and the oldest go when there are many
// addresses, so the table stays small.
static constexpr auto kForgetAfter = std::chrono::minutes(15);
static constexpr size_t kMaxAddresses = 1024;

static std::string env_first(const char* first, const char* second) {
  for (const char* name : {first, second}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "";
}

std::string random_hex(size_t bytes) {
  std::string raw(bytes, '\0');
  size_t got = 0;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd >= 0 && got < bytes) {
    ssize_t n = read(fd, raw.data() + got, bytes - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (fd >= 0) close(fd);
  while (got < bytes) {  // no /dev/urandom (a chroot): the kernel's call gives the same bytes
    ssize_t n = getrandom(raw.data() + got, bytes - got, 0);
    if (n <= 0) throw std::runtime_error("no source of random bytes");
    got += static_cast<size_t>(n);
  }
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : raw) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// Takes as long whatever the texts hold, so the time of a refusal tells nothing.
static bool same_text(const std::string& a, const std::string& b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  const size_t length = a.size() > b.size() ? a.size() : b.size();
  for (size_t i = 0; i < length; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    differ |= static_cast<unsigned char>(x ^ y);
  }
  return differ == 0;
}

WebLogin::WebLogin()
    : user_(env_first("SETUP_USER", "ADMIN_USER")),
      secret_(env_first("SETUP_SECRET", "ADMIN_SECRET")) {
  if (user_.empty()) {
    log(kWarn, "Web login is disabled: define SETUP_USER or ADMIN_USER");
    return;
  }
  if (secret_.empty()) {
    secret_ = random_hex(12);
    log(kWarn, "Web login: no SETUP_SECRET or ADMIN_SECRET defined, generated secret for user " +
                   user_ + ": " + secret_);
  }
}

WebLogin::Refusals& WebLogin::refusals_of(const std::string& from, Clock::time_point now) {
  auto found = refusals_.find(from);
  if (found != refusals_.end()) return found->second;
  if (refusals_.size() >= kMaxAddresses) {
    // Only an address the loop keeps can be the oldest: one it erased is gone.
    auto oldest = refusals_.end();
    for (auto it = refusals_.begin(); it != refusals_.end();) {
      if (now - it->second.last > kForgetAfter && now >= it->second.wait_until) {
        it = refusals_.erase(it);
        continue;
      }
      if (oldest == refusals_.end() || it->second.last < oldest->second.last) oldest = it;
      ++it;
    }
    if (refusals_.size() >= kMaxAddresses && oldest != refusals_.end()) refusals_.erase(oldest);
  }
  return refusals_[from];
}

static int seconds_until(std::chrono::steady_clock::time_point when,
                         std::chrono::steady_clock::time_point now) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
  return static_cast<int>((left + 999) / 1000);
}

LoginResult WebLogin::login(const std::string& user, const std::string& secret,
                            const std::string& from, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto known = refusals_.find(from);
  if (known != refusals_.end()) {
    Refusals& refused = known->second;
    if (now < refused.wait_until) {
      // Not checked at all, so guessing in a burst learns nothing; counted for the next line.
      ++refused.not_logged;
      return {"", std::max(1, seconds_until(refused.wait_until, now))};
    }
    if (now - refused.last > kForgetAfter) {
      refusals_.erase(known);
      known = refusals_.end();
    }
  }
  const bool user_ok = same_text(user, user_);
  const bool secret_ok = same_text(secret, secret_);
  if (!enabled() || !user_ok || !secret_ok) {
    Refusals& refused = refusals_of(from, now);
    ++refused.in_a_row;
    refused.last = now;
    std::string line = "Web login refused from " + from;
    if (refused.in_a_row > kFreeRefusals) {
      const int doublings = std::min(refused.in_a_row - kFreeRefusals - 1, 16);
      const int wait = std::min(1 << doublings, kMaxWaitSeconds);
      refused.wait_until = now + std::chrono::seconds(wait);
      line += ": " + std::to_string(refused.in_a_row) + " in a row";
      if (refused.not_logged > 0)
        line += ", " + std::to_string(refused.not_logged) + " more refused unchecked";
      line += "; its next login is checked in " + std::to_string(wait) + " s";
    }
    refused.not_logged = 0;
    log(kWarn, line);
    return {};
  }
  if (known != refusals_.end()) refusals_.erase(known);
  std::string token = random_hex(24);
  sessions_.push_back(token);
  if (sessions_.size() > kMaxSessions) sessions_.pop_front();
  log(kInfo, "Web login of " + user_ + " from " + from);
  return {token, 0};
}

bool WebLogin::has_session(const std::string& cookie_header) const {
  static const std::string name = "palvex_session=";
  size_t at = 0;
  while ((at = cookie_header.find(name, at)) != std::string::npos) {
    if (at == 0 || cookie_header[at - 1] == ' ' || cookie_header[at - 1] == ';') {
      size_t start = at + name.size();
      size_t end = cookie_header.find(';', start);
      std::string token = cookie_header.substr(start, end == std::string::npos ? end : end - start);
      std::lock_guard<std::mutex> lock(mutex_);
      for (const std::string& session : sessions_)
        if (same_text(token, session)) return true;
    }
    at += name.size();
  }
  return false;
}

}  // namespace engine
