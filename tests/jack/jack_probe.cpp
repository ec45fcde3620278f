// The test clients: plain libjack, the process callback only copies into reserved memory.
#include "jack_probe.h"

#include <algorithm>
#include <cstring>
#include <thread>

float probe_signal(jack_nframes_t frame_time, int channel) {
  const jack_nframes_t step = channel == 0 ? 1 : 7;
  return static_cast<float>(static_cast<int>((frame_time * step) % 8192) - 4096) / 8192.0f;
}

JackProbe::JackProbe(const std::string& client_name, Role role, size_t record_frames)
    : role_(role) {
  jack_status_t status;
  client_ = jack_client_open(client_name.c_str(), JackNoStartServer, &status);
  if (client_ == nullptr) return;
  if (role == recorder) {
    for (auto& channel : samples_) channel.assign(record_frames, 0.0f);
    times_.assign(record_frames, 0);
  }
  jack_set_xrun_callback(client_, on_xrun, this);
  if (role != observer) {
    for (int i = 0; i < 2; ++i) {
      const std::string name = (role == source ? "out_" : "in_") + std::to_string(i + 1);
      ports_[i] = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                     role == source ? JackPortIsOutput : JackPortIsInput, 0);
    }
    jack_set_process_callback(client_, on_process, this);
  }
  jack_activate(client_);
}

JackProbe::~JackProbe() {
  if (client_ != nullptr) jack_client_close(client_);
}

std::string JackProbe::port(int index) const { return jack_port_name(ports_[index - 1]); }

int JackProbe::on_process(jack_nframes_t frames, void* arg) {
  auto* self = static_cast<JackProbe*>(arg);
  const jack_nframes_t start = jack_last_frame_time(self->client_);
  if (self->role_ == source) {
    for (int channel = 0; channel < 2; ++channel) {
      auto* out = static_cast<float*>(jack_port_get_buffer(self->ports_[channel], frames));
      for (jack_nframes_t i = 0; i < frames; ++i) out[i] = probe_signal(start + i, channel);
    }
    return 0;
  }
  if (!self->armed_.load(std::memory_order_acquire)) return 0;
  const size_t filled = self->filled_.load(std::memory_order_relaxed);
  const size_t capacity = self->samples_[0].size();
  if (filled >= capacity) return 0;
  const size_t count = std::min<size_t>(frames, capacity - filled);
  for (size_t i = 0; i < count; ++i) self->times_[filled + i] = start + jack_nframes_t(i);
  for (int channel = 0; channel < 2; ++channel) {
    auto* in = static_cast<const float*>(jack_port_get_buffer(self->ports_[channel], frames));
    std::memcpy(self->samples_[channel].data() + filled, in, count * sizeof(float));
  }
  self->filled_.store(filled + count, std::memory_order_release);
  return 0;
}

int JackProbe::on_xrun(void* arg) {
  static_cast<JackProbe*>(arg)->xruns_.fetch_add(1);
  return 0;
}

bool JackProbe::record(std::chrono::milliseconds timeout) {
  filled_.store(0);
  armed_.store(true, std::memory_order_release);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (filled_.load(std::memory_order_acquire) < samples_[0].size()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  armed_.store(false);
  return true;
}

bool JackProbe::port_exists(const std::string& name) const {
  return jack_port_by_name(client_, name.c_str()) != nullptr;
}

std::string JackProbe::port_type(const std::string& name) const {
  jack_port_t* port = jack_port_by_name(client_, name.c_str());
  const char* type = port != nullptr ? jack_port_type(port) : nullptr;
  return type != nullptr ? type : "";
}

std::vector<std::string> JackProbe::connections(const std::string& name) const {
  std::vector<std::string> names;
  jack_port_t* port = jack_port_by_name(client_, name.c_str());
  if (port == nullptr) return names;
  const char** list = jack_port_get_all_connections(client_, port);
  for (const char** entry = list; entry != nullptr && *entry != nullptr; ++entry)
    names.push_back(*entry);
  if (list != nullptr) jack_free(list);
  std::sort(names.begin(), names.end());
  return names;
}

std::string JackProbe::uuid_of(const std::string& client_name) const {
  char* uuid = jack_get_uuid_for_client_name(client_, client_name.c_str());
  std::string text = uuid != nullptr ? uuid : "";
  if (uuid != nullptr) jack_free(uuid);
  return text;
}

bool JackProbe::connect(const std::string& source, const std::string& destination) {
  return jack_connect(client_, source.c_str(), destination.c_str()) == 0;
}

bool JackProbe::wait_for_connections(const std::string& name, size_t count,
                                     std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (port_exists(name) && connections(name).size() >= count) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
