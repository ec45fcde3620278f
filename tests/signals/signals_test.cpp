// The stop handler: the first SIGINT or SIGTERM only sets the flag, the next one ends the process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "signals.h"

namespace {

// Exit codes of the child when something is not as it should be.
enum ChildFault { flag_set_early = 10, flag_not_set, handler_left_installed, survived_second };

extern "C" void abort_handler(int) {}

bool default_action(int signal_number) {
  struct sigaction current;
  sigaction(signal_number, nullptr, &current);
  return current.sa_handler == SIG_DFL;
}

void install_like_a_host() {
  signal(SIGABRT, abort_handler);  // whatever the process had: the handler resets it too
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
}

struct Ending {
  bool by_signal;
  int code;  // the signal, or the exit status
};

// Runs body in a forked child and tells how the child ended.
template <typename Body>
Ending in_child(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    // Start as from a shell, whatever the test runner ignores or blocks.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGHUP, SIGINT, SIGTERM}) signal(s, SIG_DFL);
    body();
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFSIGNALED(status)) return {true, WTERMSIG(status)};
  return {false, WEXITSTATUS(status)};
}

struct SignalPair {
  int first;
  int second;
};

const SignalPair signal_pairs[] = {
    {SIGTERM, SIGTERM}, {SIGINT, SIGINT}, {SIGINT, SIGTERM}, {SIGTERM, SIGINT}};

TEST(StopSignal, first_signal_sets_the_flag_and_the_second_ends_the_process) {
  for (const SignalPair& pair : signal_pairs) {
    SCOPED_TRACE(std::string(strsignal(pair.first)) + " then " + strsignal(pair.second));
    const Ending ending = in_child([&] {
      install_like_a_host();
      if (stop_requested.load() != 0) _exit(flag_set_early);
      raise(pair.first);
      if (stop_requested.load() != 1) _exit(flag_not_set);
      if (!default_action(SIGINT) || !default_action(SIGTERM) || !default_action(SIGABRT))
        _exit(handler_left_installed);
      raise(pair.second);
      _exit(survived_second);
    });
    EXPECT_TRUE(ending.by_signal) << "child exit status " << ending.code;
    EXPECT_EQ(ending.code, pair.second);
  }
}

TEST(StopSignal, a_signal_when_the_flag_is_already_set_only_sets_it_again) {
  const Ending ending = in_child([] {
    install_like_a_host();
    stop_requested.store(1);  // as the JACK host's shutdown callback does
    raise(SIGINT);
    if (stop_requested.load() != 1) _exit(flag_not_set);
    if (!default_action(SIGINT) || !default_action(SIGTERM)) _exit(handler_left_installed);
  });
  EXPECT_FALSE(ending.by_signal) << "ended by signal " << ending.code;
  EXPECT_EQ(ending.code, 0);
}

}  // namespace
