// Loading and saving the state files, careful never to lose or tear what an operator saved.
#include "state_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "config_tree.h"
#include "engine_log.h"
#include "json_syntax.h"
#include "protocol.h"
#include "state_writer.h"

namespace engine {

constexpr size_t kMaxStateBytes = 1024 * 1024;  // a saved state is a few dozen bytes
// Each file is written as NAME.tmp-XXXXXX first, then renamed.
static const std::string kTempSuffix = ".tmp-XXXXXX";

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

// path plus ".corrupt-" and the time; a later copy within the same second gets "-2", "-3"...,
// so that no copy ever replaces another. False with errno when it cannot be moved.
static bool move_aside(const std::string& path, std::string& aside) {
  const std::string stamp = path + ".corrupt-" + time_stamp();
  for (int n = 1; n <= 1000; ++n) {
    aside = n == 1 ? stamp : stamp + "-" + std::to_string(n);
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
      return true;
    if (errno == EINVAL || errno == ENOSYS) {
      // A file system without it (older FAT): look before renaming.
      struct stat info {};
      if (lstat(aside.c_str(), &info) == 0) continue;
      return rename(path.c_str(), aside.c_str()) == 0;
    }
    if (errno != EEXIST) return false;
  }
  errno = EEXIST;
  return false;
}

// mkstemp's six letters or digits after the suffix.
static bool is_temp_of(const std::string& name, const std::string& file) {
  const std::string prefix = file + kTempSuffix.substr(0, kTempSuffix.size() - 6);
  if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) return false;
  for (size_t i = prefix.size(); i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

void StateStore::remove_leftovers() {
  std::vector<std::string> files{onair_name_};
  if (!state_ro_) files.push_back(state_name_);
  DIR* folder = opendir(directory_.c_str());
  if (folder == nullptr) return;
  const int dir = dirfd(folder);
  int removed = 0;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    bool ours = false;
    for (const std::string& file : files) ours = ours || is_temp_of(name, file);
    if (!ours) continue;
    const int fd =
        openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held {
    }, named{};
    // Only a regular file no writer holds, and still the one under that name.
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino &&
        unlinkat(dir, name.c_str(), 0) == 0)
      ++removed;
    close(fd);
  }
  closedir(folder);
  if (removed > 0)
    log(kInfo, "Removed " + std::to_string(removed) + " temporary file" +
                   (removed == 1 ? "" : "s") +
                   " left by a process that was stopped while saving, in " + directory_);
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
  if (!storage_ro_) remove_leftovers();
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
  std::string aside;
  if (move_aside(path, aside)) {
    log(kError, "State file " + path + " is corrupt (" + problem + "): kept aside as " + aside +
                    ", starting with defaults");
  } else {
    log(kError, "State file " + path + " is corrupt (" + problem + ") and cannot be moved aside (" +
                    std::strerror(errno) + "): starting with defaults; it is never overwritten");
    state_blocked_ = true;
  }
  return nullptr;
}

// A slow disk, for measuring how nothing waits for it: PALVEX_STATE_WRITE_DELAY_MS before each
// file's fsync.
static std::chrono::milliseconds write_delay() {
  static const std::chrono::milliseconds delay = [] {
    const char* value = std::getenv("PALVEX_STATE_WRITE_DELAY_MS");
    return std::chrono::milliseconds(value != nullptr ? std::atoi(value) : 0);
  }();
  return delay;
}

// A temporary file of ours for path, locked while it is written, so that a start that clears
// what a killed process left never takes one that is being written.
static int create_temp(const std::string& path, std::string& temp) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    temp = path + kTempSuffix;
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info {};
    // Cleared between its creation and the lock: another name.
    if (flock(fd, LOCK_EX) == 0 && fstat(fd, &info) == 0 && info.st_nlink > 0) return fd;
    close(fd);
  }
  errno = EAGAIN;
  return -1;
}

bool StateStore::write_file(const std::string& name, const std::string& text, const char* what,
                            int severity, std::atomic<bool>& failing) {
  const std::string path = path_of(name);
  std::string temp;
  int fd = create_temp(path, temp);
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
    if (ok && write_delay().count() > 0) std::this_thread::sleep_for(write_delay());
    if (ok && fsync(fd) != 0) {
      ok = false;
      failure = std::string("fsync: ") + std::strerror(errno);
    }
    // Renamed while still locked: no start takes it for a leftover in between.
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
      ok = false;
      failure = std::string("rename: ") + std::strerror(errno);
    }
    if (!ok) unlink(temp.c_str());
    if (close(fd) != 0 && ok) {
      ok = false;
      failure = std::string("close: ") + std::strerror(errno);
    }
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

void StateStore::save(const std::string* state, std::string onair,
                      const std::function<std::shared_ptr<void>()>& keep) {
  if (storage_ro_ || directory_.empty()) return;
  std::optional<std::string> state_text, onair_text;
  if (state != nullptr && !state_ro_ && !state_blocked_) state_text = *state + "\n";
  // A process that takes over says what is on air already: no write (and no fsync) for it.
  std::string text = std::move(onair) + "\n";
  if (text != onair_posted_ || onair_write_failing_) {
    onair_posted_ = text;
    onair_text = std::move(text);
  }
  if (state_text || onair_text)
    StateWriter::program().post(*this, std::move(state_text), std::move(onair_text), keep);
}

void StateStore::flush() { StateWriter::program().flush(*this, !on_realtime_thread()); }

void StateStore::write_now(const std::string* state, const std::string* onair) {
  if (state != nullptr) write_file(state_name_, *state, "State", kInfo, state_write_failing_);
  if (onair != nullptr) write_file(onair_name_, *onair, "On-air view", kVerb, onair_write_failing_);
}

}  // namespace engine
