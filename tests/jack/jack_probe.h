// Our own JACK test clients on a private server: a signal source, a recorder, graph queries.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

// The known signal: exact multiples of 1/8192 that depend on the absolute frame time, so a
// delay, a lost chunk or a channel swap all show as a mismatch.
float probe_signal(jack_nframes_t frame_time, int channel);

// A client of ours on the server that JACK_DEFAULT_SERVER names; never starts a server.
class JackProbe {
public:
  enum Role { source, recorder, observer };
  JackProbe(const std::string& client_name, Role role, size_t record_frames = 0);
  ~JackProbe();
  JackProbe(const JackProbe&) = delete;
  JackProbe& operator=(const JackProbe&) = delete;

  bool open() const { return client_ != nullptr; }
  std::string port(int index) const;  // full name of our port 1 or 2

  // Graph queries.
  bool port_exists(const std::string& name) const;
  std::string port_type(const std::string& name) const;
  std::vector<std::string> connections(const std::string& name) const;
  std::string uuid_of(const std::string& client_name) const;
  bool connect(const std::string& source, const std::string& destination);
  // Waits until the port exists and is connected to at least `count` ports.
  bool wait_for_connections(const std::string& name, size_t count,
                            std::chrono::milliseconds timeout) const;

  // Recorder: records the next record_frames frames from the start of the next period.
  bool record(std::chrono::milliseconds timeout);
  const std::vector<float>& recorded(int channel) const { return samples_[channel]; }
  // JACK's frame time of each recorded frame: a cycle that JACK skipped leaves a gap here.
  const std::vector<jack_nframes_t>& frame_times() const { return times_; }
  // Cycles that JACK reported as late (xruns) since the client opened.
  int xruns() const { return xruns_.load(); }

private:
  static int on_process(jack_nframes_t frames, void* arg);
  static int on_xrun(void* arg);

  jack_client_t* client_ = nullptr;
  Role role_;
  jack_port_t* ports_[2] = {nullptr, nullptr};
  std::vector<float> samples_[2];  // recorder: preallocated
  std::vector<jack_nframes_t> times_;
  std::atomic<bool> armed_{false};
  std::atomic<size_t> filled_{0};
  std::atomic<int> xruns_{0};
};

// Waits until a host's out_2 exists with at least `connections` connections: it is up.
inline bool wait_until_up(const JackProbe& probe, size_t connections,
                          const std::string& client = "palvex") {
  return probe.wait_for_connections(client + ":out_2", connections, std::chrono::seconds(10));
}
