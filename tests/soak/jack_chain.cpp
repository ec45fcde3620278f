// Our JACK clients around the host: source, relay, and a checker after each of the two.
#include "jack_chain.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "soak_signal.h"

namespace {

jack_client_t* open_client(const char* name) {
  jack_status_t status;
  return jack_client_open(name, JackNoStartServer, &status);
}

jack_port_t* add_port(jack_client_t* client, const std::string& name, unsigned long flags) {
  return client != nullptr
             ? jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0)
             : nullptr;
}

}  // namespace

JackChain::JackChain() {
  source_ = open_client("soak_source");
  relay_ = open_client("soak_relay");
  host_checker_.client = open_client("soak_host_checker");
  relay_checker_.client = open_client("soak_relay_checker");
  if (!open()) return;
  for (int i = 0; i < 2; ++i) {
    const std::string n = std::to_string(i + 1);
    source_ports_[i] = add_port(source_, "out_" + n, JackPortIsOutput);
    relay_in_[i] = add_port(relay_, "in_" + n, JackPortIsInput);
    relay_out_[i] = add_port(relay_, "out_" + n, JackPortIsOutput);
    host_checker_.ports[i] = add_port(host_checker_.client, "in_" + n, JackPortIsInput);
    relay_checker_.ports[i] = add_port(relay_checker_.client, "in_" + n, JackPortIsInput);
  }
  host_checker_.chain = relay_checker_.chain = this;
  jack_set_process_callback(source_, on_source, this);
  jack_set_process_callback(relay_, on_relay, this);
  jack_set_process_callback(host_checker_.client, on_checker, &host_checker_);
  jack_set_process_callback(relay_checker_.client, on_checker, &relay_checker_);
  jack_set_xrun_callback(source_, on_xrun, this);
  for (jack_client_t* client : {source_, relay_, host_checker_.client, relay_checker_.client})
    jack_activate(client);
}

JackChain::~JackChain() {
  for (jack_client_t* client : {relay_checker_.client, host_checker_.client, relay_, source_})
    if (client != nullptr) jack_client_close(client);
}

bool JackChain::open() const {
  return source_ != nullptr && relay_ != nullptr && host_checker_.client != nullptr &&
         relay_checker_.client != nullptr;
}

bool JackChain::wait_for_port(const std::string& name, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (open() && jack_port_by_name(source_, name.c_str()) == nullptr) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return open();
}

bool JackChain::connect_around(const std::string& host_client) {
  bool all = open();
  for (int i = 0; all && i < 2; ++i) {
    const std::string n = std::to_string(i + 1);
    const char* source = jack_port_name(source_ports_[i]);
    all = jack_connect(source_, source, (host_client + ":in_" + n).c_str()) == 0 &&
          jack_connect(source_, (host_client + ":out_" + n).c_str(),
                       jack_port_name(host_checker_.ports[i])) == 0 &&
          jack_connect(source_, source, jack_port_name(relay_in_[i])) == 0 &&
          jack_connect(source_, jack_port_name(relay_out_[i]),
                       jack_port_name(relay_checker_.ports[i])) == 0;
  }
  return all;
}

void JackChain::Checker::reset(float low, float high) {
  low_gain = low;
  high_gain = high;
  have_last = false;
  figures = BranchFigures{};
  spans.fill(0);
  late_frames.clear();
  late_frames.reserve(kLateFrames);  // the checker's thread only appends within the reserve
}

void JackChain::arm(float low_gain, float high_gain) {
  host_checker_.reset(low_gain, high_gain);
  relay_checker_.reset(1.0f, 1.0f);
  xruns_.store(0);
  armed_.store(true, std::memory_order_release);
}

int JackChain::on_source(jack_nframes_t frames, void* arg) {
  auto* self = static_cast<JackChain*>(arg);
  const jack_nframes_t start = jack_last_frame_time(self->source_);
  for (int channel = 0; channel < 2; ++channel) {
    auto* out = static_cast<float*>(jack_port_get_buffer(self->source_ports_[channel], frames));
    for (jack_nframes_t i = 0; i < frames; ++i) out[i] = soak_signal(start + i, channel);
  }
  const size_t slot = (start / std::max<jack_nframes_t>(frames, 1)) % kSlots;
  self->source_end_us_[slot].store(jack_get_time(), std::memory_order_relaxed);  // (1)
  self->source_frame_[slot].store(start, std::memory_order_release);             // (2)
  return 0;
}

int JackChain::on_relay(jack_nframes_t frames, void* arg) {
  auto* self = static_cast<JackChain*>(arg);
  for (int channel = 0; channel < 2; ++channel)
    std::memcpy(jack_port_get_buffer(self->relay_out_[channel], frames),
                jack_port_get_buffer(self->relay_in_[channel], frames), frames * sizeof(float));
  return 0;
}

int JackChain::on_checker(jack_nframes_t frames, void* arg) {
  auto* checker = static_cast<Checker*>(arg);
  JackChain* self = checker->chain;
  const jack_time_t now = jack_get_time();
  if (!self->armed_.load(std::memory_order_acquire) || frames == 0) return 0;
  const jack_nframes_t start = jack_last_frame_time(checker->client);
  BranchFigures& f = checker->figures;

  // (2) pairs with the source's release store: the end time read after it is this cycle's.
  const size_t slot = (start / frames) % kSlots;
  if (self->source_frame_[slot].load(std::memory_order_acquire) == start) {
    const uint64_t end = self->source_end_us_[slot].load(std::memory_order_relaxed);
    const uint64_t span = now > end ? now - end : 0;
    ++f.timed;
    ++checker->spans[std::min<uint64_t>(span, kBuckets)];
    f.worst_span_us = std::max(f.worst_span_us, span);
    if (span * 48000 > uint64_t{frames} * 1000000) {
      ++f.over_period;
      if (checker->late_frames.size() < kLateFrames) checker->late_frames.push_back(start);
    }
  }

  if (checker->have_last && start != checker->last_frame + frames) ++f.gaps;
  checker->have_last = true;
  checker->last_frame = start;

  bool fits = true;
  const int chunk = 64;  // the engine's chunk; JACK periods are whole multiples of it here
  for (int channel = 0; channel < 2 && fits; ++channel) {
    const auto* in =
        static_cast<const float*>(jack_port_get_buffer(checker->ports[channel], frames));
    for (jack_nframes_t at = 0; at + chunk <= frames && fits; at += chunk)
      fits = chunk_fits(in + at, start + at, channel, chunk, checker->low_gain, checker->high_gain);
  }
  ++f.periods;
  if (!fits) ++f.bad_periods;
  return 0;
}

int JackChain::on_xrun(void* arg) {
  auto* self = static_cast<JackChain*>(arg);
  if (self->armed_.load(std::memory_order_relaxed)) self->xruns_.fetch_add(1);
  return 0;
}

BranchFigures JackChain::Checker::summary() const {
  BranchFigures f = figures;
  uint64_t seen = 0;
  bool have_median = false;
  for (size_t us = 0; us <= kBuckets; ++us) {
    seen += spans[us];
    if (!have_median && seen * 2 >= f.timed) {
      f.span_p50_us = us;
      have_median = true;
    }
    if (seen * 1000 >= f.timed * 999) {
      f.span_p999_us = us;
      break;
    }
  }
  return f;
}

ChainFigures JackChain::figures() const {
  ChainFigures f;
  f.host = host_checker_.summary();
  f.relay = relay_checker_.summary();
  f.xruns = xruns_.load();
  const std::vector<uint64_t>& relay_late = relay_checker_.late_frames;
  for (const uint64_t frame : host_checker_.late_frames)
    if (std::find(relay_late.begin(), relay_late.end(), frame) == relay_late.end())
      ++f.host_only_over;
  return f;
}
