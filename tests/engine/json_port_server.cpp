// Serves a JSON port with the engine in a process of its own, under a descriptor limit, for
// tests that watch it from outside (its CPU time, its log on standard error). Prints "ready"
// once the port listens and stops at SIGTERM.
//   engine_json_port_server PORT MAX_DESCRIPTORS
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "palvex.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: engine_json_port_server PORT MAX_DESCRIPTORS\n");
    return 2;
  }
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(std::atoi(argv[2]));
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    std::perror("setrlimit");
    return 2;
  }
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // before any thread, which inherits it

  palvex_Parameters set = palvex_NewParameters();
  palvex_Process process = palvex_InitProcess3("", set, 64);
  if (process == nullptr) return 1;
  const int port = std::atoi(argv[1]);
  std::thread update([process, port] { palvex_StartUpdateThread(process, port); });
  if (palvex_WaitUpdateThreadReady(process, 5000) != 0) {
    palvex_StopUpdateThread(process);
    update.join();
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  palvex_StopUpdateThread(process);
  update.join();
  palvex_ExitProcess(process);
  palvex_FreeParameters(set);
  return 0;
}
