// The engine's format and its audio path on real samples: gain, ramp, peaks, no allocation.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

#include "engine_fixture.h"
#include "process.h"
#include "realtime.h"
#include "temp_dir.h"

namespace {

float linear(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

// A process that keeps its state in dir and serves its JSON port on port (0: none).
ProcessOptions options_on_port(const TempDir& dir, int port, int chunk = 64) {
  ProcessOptions options;
  options.storage_dir = dir.path();
  options.chunk = chunk;
  options.json_port = port;
  return options;
}

// Run under RealtimeSanitizer, any allocation, lock or system call in here is reported.
int run_chunk_realtime(palvex_Process process, float* in[2], float* out[2]) PALVEX_REALTIME {
  const int frames = palvex_GetProcessChunkFrames(process);
  const int result = palvex_ProcessAudio_Planar(process, in, out);
  return frames > 0 ? result : -1;
}

}  // namespace

TEST(EngineFormat, is_the_one_the_hosts_are_built_for) {
  EXPECT_EQ(palvex_GetSampleRate(), 48000);
  EXPECT_EQ(palvex_GetChunkSizeInFrames(), 64);
  EXPECT_EQ(palvex_GetChannelCount(), 2);
  EXPECT_EQ(palvex_GetAudioInputCount(), 1);
  EXPECT_EQ(palvex_GetAudioOutputCount(), 1);
  EXPECT_STREQ(palvex_GetVersion(), "1.0-standin");
  const int* list = palvex_GetPossibleChunkSizeInFrames();
  std::vector<int> chunks;
  for (; *list != 0; ++list) chunks.push_back(*list);
  EXPECT_EQ(chunks, (std::vector<int>{32, 64, 128, 256, 512, 1024}));
}

TEST(EngineFormat, every_possible_chunk_makes_a_process_of_that_chunk) {
  TempDir dir;
  for (int chunk : {32, 64, 128, 256, 512, 1024}) {
    palvex_Parameters set = palvex_NewParameters();
    palvex_Process process = palvex_InitProcess3(dir.path().c_str(), set, chunk);
    ASSERT_NE(process, nullptr) << chunk;
    EXPECT_EQ(palvex_GetProcessChunkFrames(process), chunk);
    palvex_ExitProcess(process);
    palvex_FreeParameters(set);
  }
}

TEST(EngineFormat, other_chunks_are_refused_with_a_reason) {
  TempDir dir;
  EngineLogCapture log;
  for (int chunk : {0, -64, 48, 100, 2048}) {
    palvex_Parameters set = palvex_NewParameters();
    EXPECT_EQ(palvex_InitProcess3(dir.path().c_str(), set, chunk), nullptr) << chunk;
    EXPECT_TRUE(log.contains("Cannot process in chunks of " + std::to_string(chunk) +
                             " frames (possible: 32, 64, 128, 256, 512, 1024)"))
        << chunk;
    palvex_FreeParameters(set);
  }
}

TEST(EngineAudio, default_gain_passes_samples_through_exactly) {
  TempDir dir;
  RunningProcess process(options_on_port(dir, 0, 128));
  ASSERT_EQ(process.ready(), 0);
  Chunk chunk(128);
  ASSERT_EQ(run_chunk_realtime(process.get(), chunk.in, chunk.out), 0);
  EXPECT_EQ(chunk.out_left, chunk.left);
  EXPECT_EQ(chunk.out_right, chunk.right);
}

TEST(EngineAudio, gain_change_ramps_over_the_next_chunk_then_holds_exactly) {
  TempDir dir;
  int port = free_tcp_port();
  RunningProcess process(options_on_port(dir, port));
  ASSERT_EQ(process.ready(), 0);
  JsonClient client(port);
  ASSERT_TRUE(client.connected());

  Chunk before(64);
  run_chunk_realtime(process.get(), before.in, before.out);
  ASSERT_EQ(client.request(R"({"set":{"in":{"gain":-6}}})"),
            (nlohmann::json{{"in", {{"gain", -6}}}}));

  const float target = linear(-6);
  Chunk ramp(64);
  run_chunk_realtime(process.get(), ramp.in, ramp.out);
  for (int i = 0; i < 64; ++i) {
    const float gain = 1.0f + (target - 1.0f) * static_cast<float>(i + 1) / 64.0f;
    EXPECT_NEAR(ramp.out_left[i], ramp.left[i] * gain, 1e-6f) << i;
    EXPECT_NEAR(ramp.out_right[i], ramp.right[i] * gain, 1e-6f) << i;
  }
  EXPECT_EQ(ramp.out_left[63], ramp.left[63] * target);

  Chunk steady(64);
  run_chunk_realtime(process.get(), steady.in, steady.out);
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(steady.out_left[i], steady.left[i] * target) << i;
    EXPECT_EQ(steady.out_right[i], steady.right[i] * target) << i;
  }
}

TEST(EngineAudio, processes_in_place) {
  TempDir dir;
  RunningProcess process(options_on_port(dir, 0));
  Chunk chunk(64);
  std::vector<float> left = chunk.left, right = chunk.right;
  float* both[2] = {chunk.left.data(), chunk.right.data()};
  run_chunk_realtime(process.get(), both, both);
  EXPECT_EQ(chunk.left, left);
  EXPECT_EQ(chunk.right, right);
}

TEST(EngineAudio, meters_show_the_peak_since_the_last_read) {
  TempDir dir;
  int port = free_tcp_port();
  RunningProcess process(options_on_port(dir, port));
  ASSERT_EQ(process.ready(), 0);
  JsonClient client(port);
  Chunk loud(64, 0.8f), quiet(64, 0.1f);
  run_chunk_realtime(process.get(), loud.in, loud.out);
  run_chunk_realtime(process.get(), quiet.in, quiet.out);
  nlohmann::json tree = client.request(R"({"get":null})");
  EXPECT_FLOAT_EQ(tree["meters"]["out_peak"][0].get<float>(), 0.8f);
  EXPECT_FLOAT_EQ(tree["meters"]["out_peak"][1].get<float>(), 0.4f);
  run_chunk_realtime(process.get(), quiet.in, quiet.out);
  tree = client.request(R"({"get":null})");
  EXPECT_FLOAT_EQ(tree["meters"]["out_peak"][0].get<float>(), 0.1f);
  tree = client.request(R"({"get":null})");
  EXPECT_EQ(tree["meters"]["out_peak"], nlohmann::json::parse("[0.0,0.0]"));
}

namespace {

// A peak reads back as the very float the audio path measured, in its shortest text.
void expect_meters_print_as_the_floats_they_are() {
  TempDir dir;
  int port = free_tcp_port();
  RunningProcess process(options_on_port(dir, port));
  ASSERT_EQ(process.ready(), 0);
  JsonClient client(port);
  struct Case {
    float scale;  // the left peak; the right one is half of it
    const char* printed;
  };
  const Case cases[] = {{0.2f, "[0.2,0.1]"},
                        {0.8f, "[0.8,0.4]"},
                        {1.0f / 3.0f, "[0.33333334,0.16666667]"},
                        {1e-6f, "[1e-06,5e-07]"}};
  for (const Case& c : cases) {
    Chunk chunk(64, c.scale);
    run_chunk_realtime(process.get(), chunk.in, chunk.out);
    client.send_text("{\"get\":null}\n");
    const std::string line = client.read_line();
    EXPECT_NE(line.find(std::string("\"out_peak\":") + c.printed), std::string::npos)
        << c.printed << " in " << line;
    const auto peaks = nlohmann::json::parse(line)["meters"]["out_peak"];
    EXPECT_EQ(peaks[0].get<float>(), c.scale) << c.printed;
  }
}

// The C library's number reading follows the locale; a host may set one with a decimal comma.
class DecimalCommaLocale {
public:
  DecimalCommaLocale() {
    // Made here from the system's locale sources, so that the test needs no locale installed.
    const std::string made = dir_.path().string() + "/de_DE.UTF-8";
    run_process({"localedef", "-c", "-i", "de_DE", "-f", "UTF-8", made});
    ::setenv("LOCPATH", dir_.path().c_str(), 1);
    ok_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr &&
          std::string(std::localeconv()->decimal_point) == ",";
  }
  ~DecimalCommaLocale() {
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
  }
  bool ok() const { return ok_; }

private:
  TempDir dir_;
  bool ok_ = false;
};

}  // namespace

TEST(EngineAudio, meters_print_as_the_floats_they_are) {
  expect_meters_print_as_the_floats_they_are();
}

TEST(EngineAudio, meters_read_back_the_same_under_a_decimal_comma_locale) {
  DecimalCommaLocale locale;
  ASSERT_TRUE(locale.ok()) << "cannot make or set de_DE.UTF-8 (localedef, the locales package)";
  expect_meters_print_as_the_floats_they_are();
}
