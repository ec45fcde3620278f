// Runs start-up code that may end the program with exit() in a forked child, once per input.
#include "child_runner.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

// The fuzzer's inline 8-bit coverage counters; absent (null) in the plain replay build.
extern "C" __attribute__((weak)) uint8_t __start___sancov_cntrs[];
extern "C" __attribute__((weak)) uint8_t __stop___sancov_cntrs[];

namespace {

struct SharedResult {
  volatile int finished;  // set by the child right before it ends on purpose
  volatile int status;
  uint8_t counters[1];    // as many as the binary has
};

size_t counter_bytes() {
  if (__start___sancov_cntrs == nullptr || __stop___sancov_cntrs == nullptr) return 0;
  return static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
}

SharedResult* shared_result() {
  static SharedResult* shared = [] {
    void* memory = mmap(nullptr, sizeof(SharedResult) + counter_bytes(), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
      std::perror("child_runner: mmap");
      std::abort();
    }
    return static_cast<SharedResult*>(memory);
  }();
  return shared;
}

bool in_child = false;
pid_t unreaped_child = 0;  // done with its work, perhaps still being torn down by the kernel

// The child's "done" signal: the parent goes on while the kernel still tears the child down,
// which for a sanitized process takes longer than the work itself.
int done_event() {
  static const int fd = eventfd(0, EFD_CLOEXEC);
  return fd;
}

[[noreturn]] void finish_child(int status) {
  std::cout.flush();
  std::cerr.flush();
  SharedResult* shared = shared_result();
  if (const size_t bytes = counter_bytes()) std::memcpy(shared->counters, __start___sancov_cntrs, bytes);
  shared->status = status;
  shared->finished = 1;
  const uint64_t one = 1;
  if (write(done_event(), &one, sizeof one) < 0) _exit(3);  // the parent then sees no result
  _exit(0);  // no atexit handlers: the fuzzer's own would report the exit as a failure
}

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (in_child) finish_child(status);
  __real_exit(status);
}

namespace {

// One child for the input: true once it has ended, false when it did not within ten seconds.
bool run_child_once(const std::function<int()>& body, int& wait_status) {
  if (unreaped_child != 0) waitpid(unreaped_child, nullptr, 0);
  unreaped_child = 0;
  SharedResult* shared = shared_result();
  shared->finished = 0;
  shared->status = -1;
  if (done_event() < 0) {
    std::perror("child_runner: eventfd");
    std::abort();
  }
  std::cout.flush();
  std::cerr.flush();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("child_runner: fork");
    std::abort();
  }
  if (pid == 0) {
    in_child = true;
    finish_child(body());
  }

  // Whichever comes first: the child's done event, or its end (a pidfd turns readable then).
  wait_status = 0;
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd events[2] = {{done_event(), POLLIN, 0}, {pidfd, POLLIN, 0}};
  if (pidfd < 0 || poll(events, 2, 10000) < 1) {
    kill(pid, SIGKILL);
    waitpid(pid, &wait_status, 0);
    if (pidfd >= 0) close(pidfd);
    return false;
  }
  close(pidfd);
  uint64_t count = 0;
  if ((events[0].revents & POLLIN) != 0 && read(done_event(), &count, sizeof count) > 0)
    unreaped_child = pid;
  else
    waitpid(pid, &wait_status, 0);
  return true;
}

}  // namespace

int run_in_child(const std::function<int()>& body) {
  int wait_status = 0;
  // A child forked from the fuzzer's threads can, rarely, stall for reasons of its own (a busy
  // machine, a lock caught at the fork); only an input that hangs twice is the input's fault.
  if (!run_child_once(body, wait_status)) {
    std::fprintf(stderr, "child_runner: the child hung for ten seconds; trying once more\n");
    if (!run_child_once(body, wait_status)) {
      std::fprintf(stderr, "child_runner: the child hung for ten seconds twice\n");
      std::abort();
    }
  }
  SharedResult* shared = shared_result();
  if (!shared->finished) {
    if (WIFSIGNALED(wait_status))
      std::fprintf(stderr, "child_runner: the child died by signal %d\n", WTERMSIG(wait_status));
    else
      std::fprintf(stderr, "child_runner: the child ended with status %d without exit()\n",
                   WEXITSTATUS(wait_status));
    std::abort();
  }
  if (const size_t bytes = counter_bytes()) std::memcpy(__start___sancov_cntrs, shared->counters, bytes);
  return shared->status;
}
