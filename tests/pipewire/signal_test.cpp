// on_pw_signal: the defaults come back, the flag is set, and a main loop that watches the flag
// quits.
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "host_data.h"
#include "pw_signal.h"
#include "signals.h"

namespace {

bool is_default(int signal_number) {
  struct sigaction action {};
  sigaction(signal_number, nullptr, &action);
  return action.sa_handler == SIG_DFL;
}

class PwSignal : public testing::Test {
protected:
  void SetUp() override {
    pw_init(nullptr, nullptr);
    for (int signal_number : {SIGABRT, SIGINT, SIGTERM}) std::signal(signal_number, on_pw_signal);
  }
  void TearDown() override { restore_default_stop_signals(); }
};

// Before a loop watches the flag there is nothing to quit: the next signal ends the process.
TEST_F(PwSignal, without_a_loop_it_restores_the_defaults_and_sets_the_flag) {
  stop_requested.store(0);
  std::raise(SIGTERM);  // the handler, not the default action, or this test ends here
  EXPECT_EQ(stop_requested.load(), 1);
  for (int signal_number : {SIGABRT, SIGINT, SIGTERM}) EXPECT_TRUE(is_default(signal_number));
}

TEST_F(PwSignal, quits_the_main_loop) {
  HostData data;
  data.loop = pw_main_loop_new(nullptr);
  ASSERT_NE(data.loop, nullptr);
  stop_requested.store(0);
  watch_stop_flag(data);
  // While the loop runs, as when an operator presses Ctrl-C.
  std::thread signaller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::kill(::getpid(), SIGINT);
  });
  // Returns only because the handler asked it to; the test's time-out would catch a hang.
  pw_main_loop_run(data.loop);
  signaller.join();
  EXPECT_TRUE(is_default(SIGINT));
  stop_watching_stop_flag(data);
  pw_main_loop_destroy(data.loop);
}

// pw_main_loop_run sets the loop running, which undoes a quit that came before it: the loop
// must still end its run, whether the signal came before or after it was told to watch.
TEST_F(PwSignal, a_signal_before_the_loop_runs_still_ends_its_run) {
  for (bool signal_first : {true, false}) {
    SCOPED_TRACE(signal_first ? "signal, then watch" : "watch, then signal");
    HostData data;
    data.loop = pw_main_loop_new(nullptr);
    ASSERT_NE(data.loop, nullptr);
    std::signal(SIGINT, on_pw_signal);
    stop_requested.store(0);
    if (signal_first) std::raise(SIGINT);
    watch_stop_flag(data);
    if (!signal_first) std::raise(SIGINT);

    // Ends a run that would otherwise never end, and says so.
    std::atomic<bool> ran_out{false};
    std::atomic<bool> returned{false};
    std::thread guard([&] {
      for (int waited = 0; waited < 500 && !returned.load(); ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (returned.load()) return;
      ran_out.store(true);
      pw_main_loop_quit(data.loop);
    });
    pw_main_loop_run(data.loop);
    returned.store(true);
    guard.join();
    EXPECT_FALSE(ran_out.load()) << "the loop ran on after the stop signal";

    stop_watching_stop_flag(data);
    EXPECT_EQ(data.stop_event, nullptr);
    pw_main_loop_destroy(data.loop);
  }
}

}  // namespace
