// on_pw_signal on another thread while main takes the main loop down, many times over: the
// handler must touch nothing that the teardown frees or closes (ThreadSanitizer, label threads).
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>

#include <dirent.h>
#include <signal.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "host_data.h"
#include "pw_signal.h"
#include "signals.h"

namespace {

size_t open_descriptors() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

// What main does with its loop around pw_main_loop_run, without the run.
void watch_and_tear_down() {
  HostData data;
  data.loop = pw_main_loop_new(nullptr);
  ASSERT_NE(data.loop, nullptr);
  watch_stop_flag(data);
  stop_watching_stop_flag(data);
  pw_main_loop_destroy(data.loop);
}

TEST(PwSignalTeardown, signals_on_another_thread_during_many_teardowns_touch_nothing_torn_down) {
  pw_init(nullptr, nullptr);
  ASSERT_NO_FATAL_FAILURE(watch_and_tear_down());
  const size_t descriptors = open_descriptors();

  // raise() runs the handler on the thread that calls it, here the signaller's, and the handler
  // puts the default action back each time.
  std::atomic<bool> done{false};
  std::atomic<unsigned long> handled{0};
  std::thread signaller([&] {
    while (!done.load()) {
      std::signal(SIGTERM, on_pw_signal);
      stop_requested.store(0);
      std::raise(SIGTERM);
      if (stop_requested.load() == 1) handled.fetch_add(1);
    }
  });
  for (int round = 0; round < 2000; ++round) ASSERT_NO_FATAL_FAILURE(watch_and_tear_down());
  done.store(true);
  signaller.join();
  restore_default_stop_signals();

  EXPECT_GT(handled.load(), 0u);
  // The descriptor the handler writes to is made once and stays: no teardown closes it, and
  // none leaves one behind.
  EXPECT_EQ(open_descriptors(), descriptors);
}

}  // namespace
