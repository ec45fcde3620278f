// A private jackd (dummy backend, no real-time unless asked) for tests: a server name of its own
// so that runs never collide, and always stopped, also when an assertion fails.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "process.h"

struct JackServerOptions {
  unsigned period = 256;  // frames per JACK period
  unsigned capture = 2;   // physical capture ports (system:capture_N)
  unsigned playback = 2;  // physical playback ports (system:playback_N)
  unsigned rate = 48000;
  bool started = true;  // false: a server name nothing answers to, for a host without one
  // Real-time scheduling for the server and its clients' process threads, as on a board, where
  // the system grants it (root or an RLIMIT_RTPRIO); without it the server runs as before.
  bool realtime = false;
};

class JackServer {
public:
  // Starts jackd and waits until it answers. Check ready() before using it.
  explicit JackServer(const JackServerOptions& options = {});
  ~JackServer();  // SIGTERM, then SIGKILL if it does not go
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  bool ready() const { return ready_; }
  const std::string& name() const { return name_; }
  const JackServerOptions& options() const { return options_; }
  // base plus what a client of this server needs: JACK_DEFAULT_SERVER and no autostart.
  EnvChanges client_env(EnvChanges base = {}) const;
  // Points this process's own JACK clients (libjack reads the variables at open) at the server.
  void use_in_this_process() const;
  bool running();
  // Ends the server, for tests of a server that goes away; true when it ended in time.
  bool stop(int signal_number, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Changes the buffer size of the running server, as jack_bufsize does for an operator.
  bool set_buffer_size(unsigned frames) const;
  std::string log() const;  // what jackd printed

private:
  void release_registration();

  JackServerOptions options_;
  std::string name_;
  std::unique_ptr<ChildProcess> jackd_;
  bool ready_ = false;
};

// A server for one test; the test stops at once when it did not come up.
#define START_JACK_SERVER(var, ...)               \
  JackServer var(JackServerOptions{__VA_ARGS__}); \
  ASSERT_TRUE(var.ready()) << var.log();          \
  var.use_in_this_process()

// The full path of a program found on PATH, or "" when there is none.
std::string find_on_path(const std::string& program);
