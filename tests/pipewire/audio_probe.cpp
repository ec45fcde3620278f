// The end-to-end tests' own source and recorder nodes on a PipeWire thread loop.
#include "audio_probe.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/buffer.h>
#include <spa/node/io.h>
#include <stdlib.h>

#include <algorithm>
#include <optional>
#include <string>

namespace {

constexpr const char* port_names[] = {"FL", "FR"};

void source_process(void* data, spa_io_position* position) {
  static_cast<AudioProbe*>(data)->on_source(position);
}
void recorder_process(void* data, spa_io_position* position) {
  static_cast<AudioProbe*>(data)->on_recorder(position);
}

pw_filter_events events_with(void (*process)(void*, spa_io_position*)) {
  pw_filter_events events{};
  events.version = PW_VERSION_FILTER_EVENTS;
  events.process = process;
  return events;
}

const pw_filter_events source_events = events_with(source_process);
const pw_filter_events recorder_events = events_with(recorder_process);

// What reached the port in this cycle, or null where the graph gave it nothing: no buffer, or the
// silence that the mixer in front of the port fills in, and flags as empty, when none of its
// links brought data (a recorder run late, or run twice in one cycle, finds its links drained).
const float* heard(void* port) {
  pw_buffer* buffer = pw_filter_dequeue_buffer(port);
  if (buffer == nullptr) return nullptr;
  const spa_buffer* held = buffer->buffer;
  const bool empty = held->n_datas == 0 || held->datas[0].data == nullptr ||
                     held->datas[0].chunk == nullptr ||
                     (held->datas[0].chunk->flags & SPA_CHUNK_FLAG_EMPTY) != 0;
  const auto* samples = empty ? nullptr : static_cast<const float*>(held->datas[0].data);
  pw_filter_queue_buffer(port, buffer);
  return samples;
}

// The probe runs its nodes at real-time priority where the system grants it, as the host does:
// a recorder that runs late gets cycles twice or not at all, and measures its own lateness.
class RealtimeClientConfig {
public:
  RealtimeClientConfig() {
    if (const char* old = ::getenv("PIPEWIRE_CONFIG_NAME")) old_ = old;
    ::setenv("PIPEWIRE_CONFIG_NAME", "client-rt.conf", 0);
  }
  ~RealtimeClientConfig() {
    if (!old_) ::unsetenv("PIPEWIRE_CONFIG_NAME");
  }
  RealtimeClientConfig(const RealtimeClientConfig&) = delete;
  RealtimeClientConfig& operator=(const RealtimeClientConfig&) = delete;

private:
  std::optional<std::string> old_;
};

pw_filter* make_node(pw_thread_loop* loop, const char* name, const pw_filter_events* events,
                     AudioProbe* probe, spa_direction direction, void* ports[2]) {
  pw_filter* filter = pw_filter_new_simple(
      pw_thread_loop_get_loop(loop), name,
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Filter",
                        PW_KEY_MEDIA_ROLE, "DSP", PW_KEY_NODE_NAME, name, nullptr),
      events, probe);
  if (filter == nullptr) return nullptr;
  for (int c = 0; c < 2; ++c)
    ports[c] = pw_filter_add_port(filter, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 4,
                                  pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                    PW_KEY_PORT_NAME, port_names[c], nullptr),
                                  nullptr, 0);
  if (pw_filter_connect(filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
    pw_filter_destroy(filter);
    return nullptr;
  }
  return filter;
}

}  // namespace

AudioProbe::AudioProbe(size_t capacity) : samples_(capacity), source_jumps_(capacity / 32) {
  pw_init(nullptr, nullptr);
  loop_ = pw_thread_loop_new("palvex-test-probe", nullptr);
  if (loop_ == nullptr) return;
  pw_thread_loop_lock(loop_);
  // Each node's context reads its configuration as it is made.
  const RealtimeClientConfig realtime;
  source_ = make_node(loop_, "palvex-test-source", &source_events, this, SPA_DIRECTION_OUTPUT,
                      source_ports);
  recorder_ = make_node(loop_, "palvex-test-recorder", &recorder_events, this, SPA_DIRECTION_INPUT,
                        recorder_ports);
  ready_ = source_ != nullptr && recorder_ != nullptr && pw_thread_loop_start(loop_) == 0;
  pw_thread_loop_unlock(loop_);
}

AudioProbe::~AudioProbe() {
  if (loop_ == nullptr) return;
  pw_thread_loop_lock(loop_);
  if (source_ != nullptr) pw_filter_destroy(source_);
  if (recorder_ != nullptr) pw_filter_destroy(recorder_);
  pw_thread_loop_unlock(loop_);
  pw_thread_loop_stop(loop_);
  pw_thread_loop_destroy(loop_);
}

std::vector<RecordedSample> AudioProbe::take() {
  recording_.store(false, std::memory_order_release);
  // Once destroyed, the recorder's process runs no more: only then is the vector ours.
  if (loop_ != nullptr && recorder_ != nullptr) {
    pw_thread_loop_lock(loop_);
    pw_filter_destroy(recorder_);
    recorder_ = nullptr;
    pw_thread_loop_unlock(loop_);
  }
  std::vector<RecordedSample> taken(samples_.begin(),
                                    samples_.begin() + static_cast<long>(recorded()));
  return taken;
}

std::vector<uint64_t> AudioProbe::source_jumps() const {
  std::vector<uint64_t> jumps(
      source_jumps_.begin(),
      source_jumps_.begin() + static_cast<long>(jump_count_.load(std::memory_order_acquire)));
  std::sort(jumps.begin(), jumps.end());  // the clock may also jump back
  return jumps;
}

void AudioProbe::on_source(void* position_data) {
  auto* position = static_cast<spa_io_position*>(position_data);
  if (position == nullptr) return;
  const auto frames = static_cast<uint32_t>(position->clock.duration);
  const uint64_t start = position->clock.position;
  const size_t jumps = jump_count_.load(std::memory_order_relaxed);
  if (source_next_ != 0 && start != source_next_ && jumps < source_jumps_.size()) {
    source_jumps_[jumps] = start;
    jump_count_.store(jumps + 1, std::memory_order_release);
  }
  source_next_ = start + frames;
  for (int c = 0; c < 2; ++c) {
    auto* out = static_cast<float*>(pw_filter_get_dsp_buffer(source_ports[c], frames));
    if (out == nullptr) continue;
    for (uint32_t i = 0; i < frames; ++i)
      out[i] = (c == 0 ? 1.0f : -1.0f) * probe_signal(start + i);
  }
}

void AudioProbe::on_recorder(void* position_data) {
  auto* position = static_cast<spa_io_position*>(position_data);
  if (position == nullptr || !recording_.load(std::memory_order_acquire)) return;
  const auto frames = static_cast<uint32_t>(position->clock.duration);
  const uint64_t start = position->clock.position;
  const float* left = heard(recorder_ports[0]);
  const float* right = heard(recorder_ports[1]);
  if (!heard_both_) {
    if (left == nullptr || right == nullptr) return;
    heard_both_ = true;
  }
  size_t count = count_.load(std::memory_order_relaxed);
  const size_t first = count;
  for (uint32_t i = 0; i < frames && count < samples_.size(); ++i, ++count)
    samples_[count] = {start + i,
                       start,
                       frames,
                       left != nullptr ? left[i] : 0.0f,
                       right != nullptr ? right[i] : 0.0f,
                       left == nullptr,
                       right == nullptr};
  // A port's one buffer is the host's own output buffer, which the host writes again in its next
  // cycle. Run out of order after a late cycle, the host may do so while the recorder reads it:
  // what the recorder got is then parts of different cycles, and it keeps nothing of it.
  bool rewritten = false;
  for (size_t i = first; i < count; ++i) {
    const RecordedSample& sample = samples_[i];
    const size_t at = i - first;
    rewritten = rewritten || (left != nullptr && left[at] != sample.left) ||
                (right != nullptr && right[at] != sample.right);
  }
  if (rewritten)
    for (size_t i = first; i < count; ++i)
      samples_[i] = {start + (i - first), start, frames, 0.0f, 0.0f, true, true};
  count_.store(count, std::memory_order_release);
}
