// A HostData wired to four test ports and a scripted factory: drives on_pw_process cycle by
// cycle and keeps every sample fed in and delivered, per channel.
#pragma once

#include <gtest/gtest.h>
#include <spa/node/io.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_dsp_buffer.h"
#include "host_data.h"
#include "log_capture.h"
#include "pw_process.h"
#include "test_instance.h"

// What the scripted factory does on one call.
struct Creation {
  enum Kind { make, fail, no_process, raise } kind = make;
  int chunk = 64;  // frames per chunk of the engine process it makes
};
inline Creation make_chunk(int chunk) { return {Creation::make, chunk}; }
inline Creation failing() { return {Creation::fail, 0}; }
inline Creation without_process() { return {Creation::no_process, 0}; }
inline Creation throwing() { return {Creation::raise, 0}; }

// The engine here is the fake: its process writes input times 0.5.
constexpr float engine_gain = 0.5f;

class FilterRig {
public:
  explicit FilterRig(std::vector<Creation> script = {make_chunk(64)}) : script_(std::move(script)) {
    host.in_ports = {&in[0], &in[1]};
    host.out_ports = {&out[0], &out[1]};
    host.instance_factory = [this](uint32_t frames) { return create(frames); };
  }
  ~FilterRig() {
    host.instance.reset();  // the engine is torn down while the loggers are still ours
  }
  FilterRig(const FilterRig&) = delete;
  FilterRig& operator=(const FilterRig&) = delete;

  // One cycle of n frames. Input channel 0 carries 1, 2, 3, ... and channel 1 the negatives,
  // counted over the whole run, so every sample says where it came from.
  void cycle(uint32_t n) {
    for (int c = 0; c < 2; ++c) {
      in[c].samples.assign(n, 0.0f);
      out[c].samples.assign(n, 12345.0f);  // stale contents that must be overwritten
      for (uint32_t i = 0; i < n; ++i) {
        const float value = static_cast<float>(fed[c].size() + 1) * (c == 0 ? 1.0f : -1.0f);
        in[c].samples[i] = value;
        if (!in[c].null_buffer)
          fed[c].push_back(value);
        else
          fed[c].push_back(0.0f);
      }
    }
    position.clock.duration = n;
    on_pw_process(&host, &position);
    for (int c = 0; c < 2; ++c)
      if (!out[c].null_buffer) {
        delivered[c].insert(delivered[c].end(), out[c].samples.begin(), out[c].samples.end());
      } else {
        delivered[c].insert(delivered[c].end(), n, 0.0f);  // nothing reached that channel
      }
  }
  // For the real-time checks: buffers sized once, then cycles that touch nothing else.
  void prepare(uint32_t n) {
    for (int c = 0; c < 2; ++c) {
      in[c].samples.assign(n, 0.25f * static_cast<float>(c + 1));
      out[c].samples.assign(n, 0.0f);
    }
  }
  void run(uint32_t n) {
    position.clock.duration = n;
    on_pw_process(&host, &position);
  }
  void cycles(const std::vector<uint32_t>& frames) {
    for (uint32_t n : frames) cycle(n);
  }

  // A channel's output FIFO as plain samples, for comparisons.
  std::vector<float> out_fifo(int c) const {
    return {host.out_fifo.at(c).begin(), host.out_fifo.at(c).end()};
  }
  size_t in_backlog(int c) const { return host.in_fifo.at(c).size(); }
  size_t out_backlog(int c) const { return host.out_fifo.at(c).size(); }

  // Input backlog plus output backlog is the latency, the same on both channels.
  void expect_backlog(size_t latency) const {
    ASSERT_EQ(host.in_fifo.size(), 2u);
    ASSERT_EQ(host.out_fifo.size(), 2u);
    EXPECT_EQ(in_backlog(0), in_backlog(1));
    EXPECT_EQ(out_backlog(0), out_backlog(1));
    EXPECT_EQ(in_backlog(0) + out_backlog(0), latency);
  }

  // Delivered sample t is the engine's output for input sample t - latency; silence before.
  void expect_delayed(int c, size_t latency, size_t from = 0) const {
    ASSERT_EQ(delivered[c].size(), fed[c].size());
    for (size_t t = from; t < delivered[c].size(); ++t) {
      const float expected = t < latency ? 0.0f : engine_gain * fed[c][t - latency];
      ASSERT_EQ(delivered[c][t], expected) << "channel " << c << ", sample " << t;
    }
  }

  HostData host;
  TestPort in[2], out[2];
  spa_io_position position{};
  std::vector<float> fed[2];        // what entered each channel (zeros for a null buffer)
  std::vector<float> delivered[2];  // what came out (zeros for a null buffer)
  std::vector<uint32_t> factory_calls;
  RecordingSink main_records, rt_records;

private:
  std::shared_ptr<ProcessingInstance> create(uint32_t frames) {
    factory_calls.push_back(frames);
    const Creation next = script_.empty() ? make_chunk(64) : script_.front();
    if (!script_.empty()) script_.erase(script_.begin());
    switch (next.kind) {
      case Creation::fail:
        return nullptr;
      case Creation::raise:
        throw std::runtime_error("engine exploded");
      case Creation::no_process:
        return std::make_shared<ProcessingInstance>();
      case Creation::make:
        break;
    }
    return make_test_instance(next.chunk);
  }

  std::vector<Creation> script_;
  ScopedMainLogger main_log_{10, main_records};
  ScopedRtLogger rt_log_{10, rt_records};
};
