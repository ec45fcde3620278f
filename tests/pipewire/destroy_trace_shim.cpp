// Preloaded into palvex-pipewire by the end-to-end tests: notes pw_filter_destroy in the fake
// engine's trace file, so that its place in the shutdown can be checked, and with
// PALVEX_TEST_DESTROY_DELAY_MS holds it back, to stand for a shutdown that hangs.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

struct pw_filter;

extern "C" void pw_filter_destroy(pw_filter* filter) {
  if (const char* path = getenv("PALVEX_FAKE_TRACE")) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd >= 0) {
      const char line[] = "pw_filter_destroy\n";
      ssize_t ignored = write(fd, line, sizeof line - 1);
      (void)ignored;
      close(fd);
    }
  }
  if (const char* delay = getenv("PALVEX_TEST_DESTROY_DELAY_MS")) usleep(1000u * atoi(delay));
  using Destroy = void (*)(pw_filter*);
  static const auto real = reinterpret_cast<Destroy>(dlsym(RTLD_NEXT, "pw_filter_destroy"));
  if (real != nullptr) real(filter);
}
