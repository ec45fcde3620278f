// Time of one replacement of the processing instance, as palvex-pipewire does it on PipeWire's
// data thread at a quantum change: create the new instance while the old one still serves,
// then release the old one. The stand-in engine serves a JSON port and a web server, so every
// replacement takes them over. Prints the median, the 99th percentile and the worst.
//   replace_instance_bench [replacements]   (default 2000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "processing_instance.h"

namespace {

void quiet_engine_log(int, const char*) {}

// A port that nothing listens on now.
uint16_t free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

double ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int replacements = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  palvex_SetLoggerCallback(quiet_engine_log);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("palvex-replace-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  HostConfig config;
  config.state_dir = dir;
  config.json_port = free_port();
  config.http_port = free_port();
  config.metas = {{"station", "Bench"}};
  // The quanta the soak flaps through: every step is a change.
  const uint32_t quanta[] = {64, 100, 256, 1024, 48, 256};

  std::shared_ptr<ProcessingInstance> current = create_processing_instance(config, 256);
  if (!current) {
    std::fprintf(stderr, "the first instance could not be created\n");
    return 1;
  }
  std::vector<double> times;
  times.reserve(static_cast<size_t>(replacements));
  int failed = 0;
  for (int i = 0; i < replacements; ++i) {
    const uint32_t frames = quanta[static_cast<size_t>(i) % std::size(quanta)];
    const auto start = std::chrono::steady_clock::now();
    std::shared_ptr<ProcessingInstance> created = create_processing_instance(config, frames);
    current = std::move(created);  // the old one is torn down here, as on the data thread
    times.push_back(ms(std::chrono::steady_clock::now() - start));
    if (!current) {
      ++failed;
      current = create_processing_instance(config, 256);
    }
  }
  current.reset();
  std::filesystem::remove_all(dir);

  std::sort(times.begin(), times.end());
  const auto at = [&](double share) {
    return times[std::min(times.size() - 1, static_cast<size_t>(share * times.size()))];
  };
  std::printf("replacements=%zu failed=%d median_ms=%.3f p90_ms=%.3f p99_ms=%.3f worst_ms=%.3f\n",
              times.size(), failed, at(0.5), at(0.9), at(0.99), times.back());
  return failed == 0 ? 0 : 1;
}
