// Our own PipeWire clients for the end-to-end tests, in this test process: a source node that
// plays a sequence telling every sample's graph time, and a recorder node that keeps what
// reaches it with the graph time it arrived at.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

struct pw_thread_loop;
struct pw_filter;

// The source's sample for graph time t on FL; FR carries the negative. Exact binary
// fractions, never 0, so that gain 0.5 gives exact results and silence stands out.
inline float probe_signal(uint64_t t) { return static_cast<float>((t % 8192) + 1) / 16384.0f; }

struct RecordedSample {
  uint64_t time;   // graph time (clock.position + offset in the cycle)
  uint64_t start;  // graph time of the cycle's first sample
  uint32_t cycle;  // the cycle's frame count
  float left, right;
  // The graph gave the recorder nothing for that port in the cycle (no buffer, or silence its
  // mixer filled in), or the host wrote the cycle's buffer again while the recorder read it:
  // the value is 0 and tells nothing.
  bool no_left = false, no_right = false;
};

class AudioProbe {
public:
  // Connects both nodes ("palvex-test-source", "palvex-test-recorder") to the daemon that
  // XDG_RUNTIME_DIR of this process names. ready() tells whether it worked.
  explicit AudioProbe(size_t capacity = 48000 * 30);
  ~AudioProbe();
  AudioProbe(const AudioProbe&) = delete;
  AudioProbe& operator=(const AudioProbe&) = delete;

  bool ready() const { return ready_; }
  size_t recorded() const { return count_.load(std::memory_order_acquire); }
  // Stops recording and hands over what was recorded.
  std::vector<RecordedSample> take();
  // Graph times at which the source's cycle did not follow on from its previous one: cycles
  // the daemon did not run the source for, which the recorder may not see; in ascending order.
  // Call after take().
  std::vector<uint64_t> source_jumps() const;

  // Called on the data thread.
  void on_source(void* position);
  void on_recorder(void* position);

  void* source_ports[2] = {};
  void* recorder_ports[2] = {};

private:
  pw_thread_loop* loop_ = nullptr;
  pw_filter* source_ = nullptr;
  pw_filter* recorder_ = nullptr;
  std::vector<RecordedSample> samples_;  // sized once; the data thread only writes into it
  std::vector<uint64_t> source_jumps_;   // likewise
  std::atomic<size_t> jump_count_{0};
  uint64_t source_next_ = 0;  // where the source's next cycle should start
  std::atomic<size_t> count_{0};
  std::atomic<bool> recording_{true};
  // The recording begins with the first cycle that brings something on both ports: the links
  // come up one at a time, each made by a pw-link run, which on a loaded machine takes long.
  bool heard_both_ = false;  // data thread only
  bool ready_ = false;
};
