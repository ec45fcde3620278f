// The printer of real-time records: a low-priority thread that empties log_queue into
// main_logger's sinks, so that an operator sees what the audio threads logged.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "log.h"

namespace {

// The real-time side never wakes the printer: it looks at the queue this often.
constexpr long poll_interval_ns = 25L * 1000 * 1000;
// Drops are reported at most this often, so a flood of them cannot flood the console.
constexpr int drop_report_polls = 200;  // 5 s

std::mutex control;  // start and stop against each other, never the RT side
std::thread printer;
std::atomic<bool> stop_wanted{false};
bool exit_handler_registered = false;

void write_to_main_sinks(const LogRecord& record) {
  MainLogger* logger = main_logger;
  if (logger == nullptr) return;
  for (LogSink* sink : logger->sinks) sink->write(record);
}

// Prints every filled cell, oldest first; stops at the first cell not yet published.
void print_queued(LogQueueCell& cell) {
  while (log_queue.dequeue(cell)) {
    try {
      LogRecord record(cell.time, cell.level, cell.thread_id, cell.line, cell.file, cell.message);
      write_to_main_sinks(record);
    } catch (...) {
      // Out of memory while formatting: that line is lost, the printer goes on.
    }
  }
}

// Takes the count, so that each drop is told once, also across a restart of the printer.
void report_drops() {
  const int64_t since = log_queue.dropped.exchange(0, std::memory_order_relaxed);
  if (since == 0) return;
  try {
    PALVEX_LOG(main_logger, 3, "Real-time log queue full: " << since << " records dropped");
  } catch (...) {
  }
}

void printer_loop() {
  pthread_setname_np(pthread_self(), "palvex-log");
  // Below the host's other threads: printing may wait, audio and control may not.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);

  LogQueueCell cell;
  int polls = 0;
  for (;;) {
    // Read before draining: whatever was queued before the stop request is printed.
    const bool stopping = stop_wanted.load(std::memory_order_acquire);
    print_queued(cell);
    if (stopping || ++polls >= drop_report_polls) {
      report_drops();
      polls = 0;
    }
    if (stopping) return;
    timespec pause{0, poll_interval_ns};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

void start_log_queue_printer() {
  std::lock_guard<std::mutex> hold(control);
  if (log_init_done == 0 || printer.joinable()) return;
  // Registered after the bootstrap's handlers, so it runs before the queue's cells are freed.
  if (!exit_handler_registered) {
    std::atexit(stop_log_queue_printer);
    exit_handler_registered = true;
  }
  stop_wanted.store(false, std::memory_order_relaxed);

  // The printer has no business with signals: a host's SIGINT/SIGTERM must reach the threads
  // that expect them. It inherits this mask, so block everything around its creation.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    printer = std::thread(printer_loop);
  } catch (const std::system_error& error) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    PALVEX_LOG(main_logger, 2, "Real-time log printer not started: " << error.what());
    return;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void stop_log_queue_printer() {
  std::lock_guard<std::mutex> hold(control);
  if (!printer.joinable()) return;
  if (printer.get_id() == std::this_thread::get_id()) return;  // cannot join itself
  stop_wanted.store(true, std::memory_order_release);
  printer.join();
}
