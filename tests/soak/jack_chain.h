// Our JACK clients around the host: a source of the known signal, a checker after the host,
// and beside the host a relay of ours (a plain copy) with a checker of its own. Both checkers
// time, per cycle, the span from the source's end to their own start: the relay's span is what
// JACK's hand-over costs on this machine, the host's span adds what its callback takes.
#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// What one branch's checker saw while armed.
struct BranchFigures {
  uint64_t periods = 0;        // periods checked
  uint64_t bad_periods = 0;    // periods with a sample that was not the branch's processing
  uint64_t gaps = 0;           // periods whose frame time did not follow the previous one
  uint64_t timed = 0;          // periods with a source end time to measure against
  uint64_t worst_span_us = 0;  // longest span from the source's end to the checker's start
  uint64_t span_p999_us = 0;   // 99.9 % of the spans were at most this long
  uint64_t span_p50_us = 0;
  uint64_t over_period = 0;  // periods in which the span exceeded the period length
};

struct ChainFigures {
  BranchFigures host, relay;
  uint64_t host_only_over = 0;  // cycles over the period through the host but not the relay
  int xruns = 0;                // late cycles that JACK reported while armed
};

class JackChain {
public:
  // Opens soak_source, soak_relay and the two checkers on the server JACK_DEFAULT_SERVER names.
  JackChain();
  ~JackChain();
  JackChain(const JackChain&) = delete;
  JackChain& operator=(const JackChain&) = delete;

  bool open() const;
  bool wait_for_port(const std::string& name, std::chrono::milliseconds timeout) const;
  // source -> host -> host checker, and source -> relay -> relay checker; true when all made.
  bool connect_around(const std::string& host_client);
  // The gains the host may apply while armed (linear factors); the relay's is 1.
  void arm(float low_gain, float high_gain);
  void disarm() { armed_.store(false, std::memory_order_release); }
  ChainFigures figures() const;  // after disarm()
  float cpu_load() const { return jack_cpu_load(source_); }
  jack_nframes_t period() const { return jack_get_buffer_size(source_); }

private:
  static constexpr size_t kSlots = 1024;     // per-cycle records of the last cycles
  static constexpr size_t kBuckets = 20000;  // span histogram, one bucket per microsecond
  static constexpr size_t kLateFrames = 65536;

  struct Checker {
    JackChain* chain = nullptr;
    jack_client_t* client = nullptr;
    jack_port_t* ports[2] = {nullptr, nullptr};
    float low_gain = 1.0f, high_gain = 1.0f;
    bool have_last = false;
    uint64_t last_frame = 0;
    BranchFigures figures;
    std::array<uint32_t, kBuckets + 1> spans{};  // the last bucket holds all longer spans
    std::vector<uint64_t> late_frames;  // reserved up front: frame times of the late cycles
    void reset(float low, float high);
    BranchFigures summary() const;
  };

  static int on_source(jack_nframes_t frames, void* arg);
  static int on_relay(jack_nframes_t frames, void* arg);
  static int on_checker(jack_nframes_t frames, void* arg);
  static int on_xrun(void* arg);

  jack_client_t* source_ = nullptr;
  jack_client_t* relay_ = nullptr;
  jack_port_t* source_ports_[2] = {nullptr, nullptr};
  jack_port_t* relay_in_[2] = {nullptr, nullptr};
  jack_port_t* relay_out_[2] = {nullptr, nullptr};
  Checker host_checker_, relay_checker_;

  // Source -> checkers, per cycle: (1) the end time, then (2) the frame time with release.
  std::array<std::atomic<uint64_t>, kSlots> source_end_us_{};
  std::array<std::atomic<uint64_t>, kSlots> source_frame_{};

  std::atomic<bool> armed_{false};
  std::atomic<int> xruns_{0};
};
