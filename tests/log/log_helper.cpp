// Bootstraps the loggers like an audio host and logs as its arguments say, then ends.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"

namespace {

void log_after_exit() {
  PALVEX_LOG(main_logger, 1, "after exit");
  PALVEX_LOG(rt_logger, 1, "after exit, real-time");
}

void log_real_time(int count) {
  for (int i = 0; i < count; ++i) PALVEX_LOG(rt_logger, 2, "rt " << i);
}

}  // namespace

// levels                  every level from -1 to 11 through main_logger
// late-tty PATH           as levels 2 and 4, after opening PATH as standard error
// rt N return|exit        N real-time records with the printer running, then return or exit(0)
// drops N                 N real-time records before the printer starts, then return
// after-exit              one line, then log statements from an exit handler run after ~loggers
int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "after-exit") std::atexit(log_after_exit);  // runs after the loggers are gone

  log_bootstrap();
  set_log_levels(mode == "levels" || mode == "late-tty" ? 11 : 4);

  if (mode == "levels") {
    for (int level = -1; level <= 11; ++level) PALVEX_LOG(main_logger, level, "level " << level);
  } else if (mode == "late-tty" && argc > 2) {
    int fd = open(argv[2], O_WRONLY | O_NOCTTY);
    if (fd < 0 || dup2(fd, 2) < 0) return 2;
    for (int level : {2, 4}) PALVEX_LOG(main_logger, level, "level " << level);
  } else if (mode == "rt" && argc > 3) {
    start_log_queue_printer();
    log_real_time(std::atoi(argv[2]));
    if (std::strcmp(argv[3], "exit") == 0) std::exit(0);
  } else if (mode == "drops" && argc > 2) {
    log_real_time(std::atoi(argv[2]));
    start_log_queue_printer();
  } else if (mode == "after-exit") {
    start_log_queue_printer();
    PALVEX_LOG(main_logger, 4, "before exit");
  } else {
    return 2;
  }
  return 0;
}
