// on_jack_process per JACK period against a bare memcpy of the same four buffers.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "jack_host.h"

// The one JACK call of an accepted period, over buffers of our own.
struct _jack_port {
  std::vector<float> buffer;
};
extern "C" void* jack_port_get_buffer(jack_port_t* port, jack_nframes_t) {
  return port->buffer.data();
}

namespace {

constexpr size_t max_frames = 1024;
_jack_port ports[4];

void set_up_ports() {
  for (int i = 0; i < 4; ++i) ports[i].buffer.assign(max_frames, 0.25f * float(i + 1));
  jack_in_ports[0] = &ports[0];
  jack_in_ports[1] = &ports[1];
  jack_out_ports[0] = &ports[2];
  jack_out_ports[1] = &ports[3];
}

// Arguments: JACK frames per period, engine frames per chunk. The host picks a chunk equal to
// the period where the engine offers one; 64 is the engine's own chunk and the most calls.
void on_jack_process_period(benchmark::State& state) {
  set_up_ports();
  current_instance = std::make_shared<ProcessingInstance>();
  current_instance->process =
      palvex_InitProcess3("", current_instance->parameter_set, static_cast<int>(state.range(1)));
  const auto frames = static_cast<jack_nframes_t>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(on_jack_process(frames, nullptr));
    benchmark::ClobberMemory();
  }
  current_instance.reset();
}

void bare_memcpy_period(benchmark::State& state) {
  set_up_ports();
  const size_t bytes = static_cast<size_t>(state.range(0)) * sizeof(float);
  for (auto _ : state) {
    std::memcpy(ports[2].buffer.data(), ports[0].buffer.data(), bytes);
    std::memcpy(ports[3].buffer.data(), ports[1].buffer.data(), bytes);
    benchmark::ClobberMemory();
  }
}

}  // namespace

BENCHMARK(on_jack_process_period)
    ->ArgNames({"frames", "chunk"})
    ->Args({64, 64})
    ->Args({256, 256})
    ->Args({256, 64})
    ->Args({1024, 1024})
    ->Args({1024, 64});
BENCHMARK(bare_memcpy_period)->ArgName("frames")->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK_MAIN();
