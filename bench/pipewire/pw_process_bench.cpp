// Cost of one on_pw_process cycle with a valid instance (chunk 64), the engine a plain copy,
// against its floor: the same samples copied three times per channel (into the FIFO, by the
// engine, out of the FIFO).
#include <benchmark/benchmark.h>
#include <pipewire/filter.h>
#include <spa/node/io.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host_data.h"
#include "pw_process.h"

// The engine's audio call as a plain copy: this program's own definition comes before the
// engine library's. Every other engine call is the benchmarks' copy engine's.
extern "C" int palvex_ProcessAudio_Planar(palvex_Process process, float* in[2], float* out[2]) {
  const size_t frames = static_cast<size_t>(palvex_GetProcessChunkFrames(process));
  std::memcpy(out[0], in[0], frames * sizeof(float));
  std::memcpy(out[1], in[1], frames * sizeof(float));
  return 0;
}

// A port handle here is the address of its buffer.
void* pw_filter_get_dsp_buffer(void* port_data, uint32_t /*n_samples*/) {
  return static_cast<std::vector<float>*>(port_data)->data();
}

namespace {

constexpr int chunk = 64;

void on_pw_process_cycle(benchmark::State& state) {
  const auto frames = static_cast<uint32_t>(state.range(0));
  std::vector<float> ports[4];
  for (int p = 0; p < 4; ++p) ports[p].assign(frames, 0.25f * static_cast<float>(p + 1));
  HostData host;
  host.in_ports = {&ports[0], &ports[1]};
  host.out_ports = {&ports[2], &ports[3]};
  host.instance_factory = [](uint32_t) {
    auto instance = std::make_shared<ProcessingInstance>();
    instance->process = palvex_InitProcess3("", instance->parameter_set, chunk);
    return instance;
  };
  spa_io_position position{};
  position.clock.duration = frames;
  on_pw_process(&host, &position);  // creates the instance, outside the measurement
  for (auto _ : state) {
    on_pw_process(&host, &position);
    benchmark::DoNotOptimize(ports[2].data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * frames);
}

void three_copies_per_channel(benchmark::State& state) {
  const auto frames = static_cast<size_t>(state.range(0));
  std::vector<float> in[2], fifo_in[2], fifo_out[2], out[2];
  for (int c = 0; c < 2; ++c) {
    in[c].assign(frames, 0.25f);
    fifo_in[c].assign(frames, 0.0f);
    fifo_out[c].assign(frames, 0.0f);
    out[c].assign(frames, 0.0f);
  }
  for (auto _ : state) {
    for (int c = 0; c < 2; ++c) {
      std::memcpy(fifo_in[c].data(), in[c].data(), frames * sizeof(float));
      std::memcpy(fifo_out[c].data(), fifo_in[c].data(), frames * sizeof(float));
      std::memcpy(out[c].data(), fifo_out[c].data(), frames * sizeof(float));
    }
    benchmark::DoNotOptimize(out[0].data());
    benchmark::DoNotOptimize(out[1].data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frames));
}

}  // namespace

BENCHMARK(on_pw_process_cycle)->Arg(64)->Arg(100)->Arg(256)->Arg(1024);
BENCHMARK(three_copies_per_channel)->Arg(64)->Arg(100)->Arg(256)->Arg(1024);
BENCHMARK_MAIN();
