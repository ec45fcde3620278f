// How long another client waits for a get while one floods the JSON port with sets, and how
// often the state files are written meanwhile. Prints the median, the 99th percentile and the
// worst answer time.
//   set_flood_bench [seconds] [--write-delay-ms N]   (default 5; N: each fsync N ms slower)
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "free_port.h"
#include "processing_instance.h"
#include "set_flood.h"

namespace {

std::atomic<int> writes{0};

void count_writes(int, const char* text) {
  if (std::strstr(text, "State saved") != nullptr) ++writes;
}

// One get and its whole reply line; false when the port does not answer.
bool get(int fd) {
  static const char request[] = "{\"get\":null}\n";
  if (send(fd, request, sizeof request - 1, MSG_NOSIGNAL) != sizeof request - 1) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    if (std::memchr(buffer, '\n', static_cast<size_t>(got)) != nullptr) return true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--write-delay-ms") == 0 && i + 1 < argc)
      setenv("PALVEX_STATE_WRITE_DELAY_MS", argv[++i], 1);  // read at the engine's first write
    else
      seconds = std::max(0.5, std::atof(argv[i]));
  }
  palvex_SetLoggerCallback(count_writes);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("palvex-flood-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  HostConfig config;
  config.state_dir = dir;
  config.json_port = free_tcp_port();
  std::shared_ptr<ProcessingInstance> instance = create_processing_instance(config, 256);
  if (!instance) {
    std::fprintf(stderr, "the instance could not be created\n");
    return 1;
  }
  std::atomic<bool> stop{false};
  std::atomic<long> sets{0};
  std::thread flooder(flood, config.json_port, std::cref(stop), std::ref(sets));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(config.json_port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
  std::vector<double> times;
  const int writes_before = writes;
  const long sets_before = sets;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  bool answered = true;
  while (answered && std::chrono::steady_clock::now() < end) {
    const auto start = std::chrono::steady_clock::now();
    answered = get(fd);
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const long flood_sets = sets - sets_before;
  const int flood_writes = writes - writes_before;
  stop = true;
  flooder.join();
  close(fd);
  instance.reset();
  std::filesystem::remove_all(dir);
  if (!answered || times.empty()) {
    std::fprintf(stderr, "the port stopped answering\n");
    return 1;
  }
  std::sort(times.begin(), times.end());
  const auto at = [&](double share) {
    return times[std::min(times.size() - 1, static_cast<size_t>(share * times.size()))];
  };
  std::printf(
      "gets=%zu median_ms=%.3f p99_ms=%.3f worst_ms=%.3f sets=%ld sets_per_s=%.0f "
      "state_writes_per_s=%.1f\n",
      times.size(), at(0.5), at(0.99), times.back(), flood_sets, flood_sets / seconds,
      flood_writes / seconds);
  return 0;
}
