// Preloaded into palvex-jack by the end-to-end tests: writes "jack_client_close" into the fake
// engine's trace file before the real call, so a trace shows the close among the engine calls.
// PALVEX_TEST_CLOSE_DELAY_MS holds the close back, to stand for a shutdown that hangs.
#include <dlfcn.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <stdlib.h>
#include <unistd.h>

extern "C" int jack_client_close(jack_client_t* client) {
  if (const char* path = getenv("PALVEX_FAKE_TRACE")) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd >= 0) {
      static const char line[] = "jack_client_close\n";
      ssize_t written = write(fd, line, sizeof line - 1);
      (void)written;
      close(fd);
    }
  }
  if (const char* delay = getenv("PALVEX_TEST_CLOSE_DELAY_MS")) usleep(1000u * atoi(delay));
  using Close = int (*)(jack_client_t*);
  static const auto real_close = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "jack_client_close"));
  return real_close(client);
}
