// palvex-webfront: serves the engine's web interface against a remote audio host's JSON port.
#include <signal.h>
#include <time.h>

#include <cerrno>

#include "palvex.h"
#include "signals.h"
#include "webfront_options.h"

int main(int argc, char** argv) {
  // First of all, so that a stop asked for during start-up is seen by the wait.
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);

  WebfrontSettings settings;
  const int options = read_webfront_options(argc, argv, settings);
  if (options != options_go_on) return options;

  // The engine copies what it needs from the set, so it can go right after the start.
  palvex_Parameters set = palvex_NewParameters();
  for (const auto& [key, value] : settings.params)
    palvex_SetParameter(set, key.c_str(), value.c_str());
  const palvex_WebserverHandle web = palvex_Webserver_tcp2(
      static_cast<int>(settings.http_port), static_cast<int>(settings.https_port),
      settings.address.c_str(), static_cast<int>(settings.json_port), set);
  palvex_FreeParameters(set);
  palvex_Webserver_Status(web);  // a web server that failed to listen does not stop us

  // A signal cuts the sleep short; sleeping on for the rest keeps the steps one second long.
  while (stop_requested.load() == 0) {
    timespec time{1, 0};
    while (nanosleep(&time, &time) == -1 && errno == EINTR) {
    }
  }

  const int rc = palvex_Webserver_Stop(web, 5000);
  // A parent sees only the low 8 bits: a failed stop must not read as success there.
  return rc != 0 && (rc & 0xff) == 0 ? 1 : rc;
}
