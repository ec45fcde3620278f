// Loading and saving the state files, careful never to lose or tear what an operator saved.
#include "state_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "config_tree.h"
#include "engine_log.h"
#include "json_syntax.h"
#include "protocol.h"

namespace engine {

constexpr size_t kMaxStateBytes = 1024 * 1024;  // a saved state is a few dozen bytes

StateStore::StateStore(std::string directory, const ProcessSettings& settings)
    : directory_(std::move(directory)),
      state_name_(settings.state_filename),
      onair_name_(settings.onair_filename),
      storage_ro_(settings.storage_ro),
      state_ro_(settings.state_ro || settings.storage_ro) {}

std::string StateStore::path_of(const std::string& name) const {
  if (directory_.empty() || directory_.back() == '/') return directory_ + name;
  return directory_ + "/" + name;
}

static std::string time_stamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

// The whole file when it is a regular file of sane size; otherwise false, with why unless it
// does not exist. A FIFO would block the start and a device would never end, so neither is read.
static bool read_state_file(const std::string& path, std::string& text, std::string& why) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) why = std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0)
    why = std::strerror(errno);
  else if (!S_ISREG(info.st_mode))
    why = "not a regular file";
  else if (info.st_size > static_cast<off_t>(kMaxStateBytes))
    why = "larger than " + std::to_string(kMaxStateBytes) + " bytes";
  char buffer[4096];
  while (why.empty()) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) why = std::strerror(errno);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > kMaxStateBytes)  // grew since fstat
      why = "larger than " + std::to_string(kMaxStateBytes) + " bytes";
  }
  close(fd);
  return why.empty();
}

nlohmann::json StateStore::load() {
  if (directory_.empty()) {
    log(kWarn, "No storage directory given: starting with defaults, state is not kept");
    state_blocked_ = true;
    return nullptr;
  }
  struct stat info {};
  const char* why = nullptr;
  if (stat(directory_.c_str(), &info) != 0)
    why = std::strerror(errno);
  else if (!S_ISDIR(info.st_mode))
    why = "not a directory";
  if (why != nullptr) {
    log(kError, "Storage directory " + directory_ + " cannot be used (" + why +
                    "): starting with defaults");
    return nullptr;
  }
  const std::string path = path_of(state_name_);
  std::string text, unreadable;
  if (!read_state_file(path, text, unreadable)) {
    if (unreadable.empty()) {
      log(kInfo, "No state file " + path + " yet: starting with defaults");
      return nullptr;
    }
    log(kError, "State file " + path + " cannot be read (" + unreadable +
                    "): starting with defaults; it is left untouched and never overwritten");
    state_blocked_ = true;
    return nullptr;
  }

  std::string problem;
  nlohmann::json state = parse_json(text, &problem);
  if (!state.is_discarded()) problem = check_set(state);
  if (problem.empty()) {
    log(kInfo, "State loaded from " + path);
    return state;
  }

  if (state_ro_) {
    log(kError, "State file " + path + " is corrupt (" + problem +
                    "): starting with defaults; left as it is, storage is read-only");
    return nullptr;
  }
  const std::string aside = path + ".corrupt-" + time_stamp();
  if (rename(path.c_str(), aside.c_str()) == 0) {
    log(kError, "State file " + path + " is corrupt (" + problem + "): kept aside as " + aside +
                    ", starting with defaults");
  } else {
    log(kError, "State file " + path + " is corrupt (" + problem + ") and cannot be moved aside (" +
                    std::strerror(errno) + "): starting with defaults; it is never overwritten");
    state_blocked_ = true;
  }
  return nullptr;
}

bool StateStore::write_file(const std::string& name, const std::string& text, const char* what,
                            int severity, bool& failing) {
  const std::string path = path_of(name);
  std::string temp = path + ".tmp-XXXXXX";
  int fd = mkstemp(temp.data());
  bool ok = fd >= 0;
  std::string failure = ok ? "" : std::string("create ") + temp + ": " + std::strerror(errno);
  if (ok) {
    const char* data = text.data();
    size_t left = text.size();
    while (ok && left > 0) {
      ssize_t put = write(fd, data, left);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        ok = false;
        failure = std::string("write: ") + std::strerror(errno);
      } else {
        data += put;
        left -= static_cast<size_t>(put);
      }
    }
    if (ok && fchmod(fd, 0644) != 0) {
      ok = false;
      failure = std::string("chmod: ") + std::strerror(errno);
    }
    if (ok && fsync(fd) != 0) {
      ok = false;
      failure = std::string("fsync: ") + std::strerror(errno);
    }
    if (close(fd) != 0 && ok) {
      ok = false;
      failure = std::string("close: ") + std::strerror(errno);
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
      ok = false;
      failure = std::string("rename: ") + std::strerror(errno);
    }
    if (!ok) unlink(temp.c_str());
  }
  if (ok) {
    // The rename itself must reach the disk too.
    int dir = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
    log(failing ? kInfo : severity, std::string(what) + " saved to " + path);
    failing = false;
    return true;
  }
  if (!failing)
    log(kError, std::string(what) + " cannot be saved to " + path + " (" + failure + ")");
  failing = true;
  return false;
}

void StateStore::save_state(const nlohmann::json& state) {
  if (state_ro_ || state_blocked_ || directory_.empty()) return;
  write_file(state_name_, to_text(state) + "\n", "State", kInfo, state_write_failing_);
}

void StateStore::save_onair(const nlohmann::json& onair) {
  if (storage_ro_ || directory_.empty()) return;
  // A process that takes over says what is on air already: no write (and no fsync) for it.
  std::string text = to_text(onair) + "\n";
  if (text == onair_written_ && !onair_write_failing_) return;
  if (write_file(onair_name_, text, "On-air view", kVerb, onair_write_failing_))
    onair_written_ = std::move(text);
}

}  // namespace engine
