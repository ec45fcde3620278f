// Preloaded into palvex-pipewire by the end-to-end tests: notes pw_filter_connect,
// pw_main_loop_run and pw_filter_destroy in the fake engine's trace file, so that their place
// can be checked, and with PALVEX_TEST_CONNECT_DELAY_MS / PALVEX_TEST_RUN_DELAY_MS /
// PALVEX_TEST_DESTROY_DELAY_MS holds them back, to stand for a slow start or a shutdown that
// hangs.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>

struct pw_filter;
struct pw_main_loop;
struct spa_pod;

namespace {

void note(const char* call, const char* delay_variable) {
  if (const char* path = getenv("PALVEX_FAKE_TRACE")) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd >= 0) {
      const std::string line = std::string(call) + "\n";
      ssize_t ignored = write(fd, line.data(), line.size());
      (void)ignored;
      close(fd);
    }
  }
  if (const char* delay = getenv(delay_variable)) usleep(1000u * atoi(delay));
}

}  // namespace

extern "C" int pw_filter_connect(pw_filter* filter, uint32_t flags, const spa_pod** params,
                                 uint32_t n_params) {
  note("pw_filter_connect", "PALVEX_TEST_CONNECT_DELAY_MS");
  using Connect = int (*)(pw_filter*, uint32_t, const spa_pod**, uint32_t);
  static const auto real = reinterpret_cast<Connect>(dlsym(RTLD_NEXT, "pw_filter_connect"));
  return real != nullptr ? real(filter, flags, params, n_params) : -1;
}

extern "C" void pw_filter_destroy(pw_filter* filter) {
  note("pw_filter_destroy", "PALVEX_TEST_DESTROY_DELAY_MS");
  using Destroy = void (*)(pw_filter*);
  static const auto real = reinterpret_cast<Destroy>(dlsym(RTLD_NEXT, "pw_filter_destroy"));
  if (real != nullptr) real(filter);
}

extern "C" int pw_main_loop_run(pw_main_loop* loop) {
  note("pw_main_loop_run", "PALVEX_TEST_RUN_DELAY_MS");
  using Run = int (*)(pw_main_loop*);
  static const auto real = reinterpret_cast<Run>(dlsym(RTLD_NEXT, "pw_main_loop_run"));
  return real != nullptr ? real(loop) : -1;
}
