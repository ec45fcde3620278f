// Time of one replacement of the processing instance, as palvex-pipewire does it on PipeWire's
// data thread at a quantum change: create the new instance while the old one still serves,
// then release the old one. The stand-in engine serves a JSON port and a web server, so every
// replacement takes them over. Prints the median, the 99th percentile and the worst.
//   replace_instance_bench [replacements] [--flood] [--write-delay-ms N]   (default 2000)
// --flood: a client sets the gain without pause all along, reconnecting whenever a replacement
// closes its connection; --write-delay-ms: every state file's fsync takes N ms longer, as on a
// slow SD card. Run it under `chrt -f 70` to replace on a SCHED_FIFO thread, as PipeWire's data
// thread does.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "free_port.h"
#include "processing_instance.h"
#include "set_flood.h"

namespace {

void quiet_engine_log(int, const char*) {}

double ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  int replacements = 2000;
  bool flooding = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--flood") == 0) {
      flooding = true;
    } else if (std::strcmp(argv[i], "--write-delay-ms") == 0 && i + 1 < argc) {
      // The engine reads it once, at its first write.
      setenv("PALVEX_STATE_WRITE_DELAY_MS", argv[++i], 1);
    } else {
      replacements = std::max(1, std::atoi(argv[i]));
    }
  }
  palvex_SetLoggerCallback(quiet_engine_log);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("palvex-replace-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  HostConfig config;
  config.state_dir = dir;
  config.json_port = free_tcp_port();
  config.http_port = free_tcp_port();
  config.metas = {{"station", "Bench"}};
  // The quanta the soak flaps through: every step is a change.
  const uint32_t quanta[] = {64, 100, 256, 1024, 48, 256};

  std::shared_ptr<ProcessingInstance> current = create_processing_instance(config, 256);
  if (!current) {
    std::fprintf(stderr, "the first instance could not be created\n");
    return 1;
  }
  std::atomic<bool> stop_flood{false};
  std::atomic<long> sets{0};
  std::thread flooder;
  if (flooding) {
    flooder = std::thread(flood, config.json_port, std::cref(stop_flood), std::ref(sets));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // under way before the first
  }
  std::vector<double> times;
  times.reserve(static_cast<size_t>(replacements));
  int failed = 0;
  for (int i = 0; i < replacements; ++i) {
    const uint32_t frames = quanta[static_cast<size_t>(i) % std::size(quanta)];
    // Time for the flood to reach the newest instance and fill its batches again.
    if (flooding) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto start = std::chrono::steady_clock::now();
    std::shared_ptr<ProcessingInstance> created = create_processing_instance(config, frames);
    current = std::move(created);  // the old one is torn down here, as on the data thread
    times.push_back(ms(std::chrono::steady_clock::now() - start));
    if (!current) {
      ++failed;
      current = create_processing_instance(config, 256);
    }
  }
  stop_flood = true;
  if (flooder.joinable()) flooder.join();
  // The host stops its last instance on its main thread, which waits for the last write.
  sched_param normal{};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  current.reset();
  std::filesystem::remove_all(dir);

  std::sort(times.begin(), times.end());
  const auto at = [&](double share) {
    return times[std::min(times.size() - 1, static_cast<size_t>(share * times.size()))];
  };
  std::printf(
      "replacements=%zu failed=%d median_ms=%.3f p90_ms=%.3f p99_ms=%.3f worst_ms=%.3f sets=%ld\n",
      times.size(), failed, at(0.5), at(0.9), at(0.99), times.back(), sets.load());
  return failed == 0 ? 0 : 1;
}
