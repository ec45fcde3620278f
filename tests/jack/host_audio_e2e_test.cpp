// Real audio through palvex-jack on a real jackd: our source feeds in_1/in_2, our recorder reads
// out_1/out_2 in the same JACK cycle, so any added latency or lost chunk shows.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "engine_trace.h"
#include "host_run.h"
#include "jack_probe.h"
#include "json_client.h"

namespace {

using namespace std::chrono_literals;

constexpr float fake_gain = 0.5f;

// Source, host and recorder wired in a line: source -> palvex -> recorder.
struct AudioChain {
  AudioChain(size_t record_frames, const std::string& client = "palvex")
      : source("source", JackProbe::source),
        recorder("recorder", JackProbe::recorder, record_frames) {
    for (int i = 1; i <= 2; ++i) {
      connected = source.connect(source.port(i), client + ":in_" + std::to_string(i)) && connected;
      connected =
          recorder.connect(client + ":out_" + std::to_string(i), recorder.port(i)) && connected;
    }
  }
  JackProbe source;
  JackProbe recorder;
  bool connected = true;
};

// Exact for the fake's 0.5; the stand-in may round its factor from dB differently from us.
bool close_enough(float actual, float expected) {
  return std::fabs(actual - expected) <= 1e-6f * std::fabs(expected);
}

// Where the recording first departs from gain * signal, for the failure message.
std::string first_mismatch(const JackProbe& recorder, float gain) {
  for (int channel = 0; channel < 2; ++channel) {
    const std::vector<float>& samples = recorder.recorded(channel);
    for (size_t i = 0; i < samples.size(); ++i) {
      const jack_nframes_t t = recorder.frame_times()[i];
      if (!close_enough(samples[i], gain * probe_signal(t, channel)))
        return "out_" + std::to_string(channel + 1) + " frame " + std::to_string(i) + ": " +
               std::to_string(samples[i]) + " instead of " +
               std::to_string(gain * probe_signal(t, channel));
    }
  }
  return "none";
}

bool frame_matches(const JackProbe& recorder, size_t i, float gain, jack_nframes_t delay) {
  for (int channel = 0; channel < 2; ++channel) {
    const float expected = gain * probe_signal(recorder.frame_times()[i] - delay, channel);
    if (!close_enough(recorder.recorded(channel)[i], expected)) return false;
  }
  return true;
}

// The recorded periods in which some frame differs from gain * signal at the same frame time
// (or `delay` frames earlier).
size_t wrong_periods(const JackProbe& recorder, unsigned period, float gain,
                     jack_nframes_t delay = 0) {
  size_t wrong = 0;
  for (size_t start = 0; start < recorder.frame_times().size(); start += period) {
    for (size_t i = start; i < start + period && i < recorder.frame_times().size(); ++i) {
      if (!frame_matches(recorder, i, gain, delay)) {
        ++wrong;
        break;
      }
    }
  }
  return wrong;
}

// The processing of the same period in every period. This machine runs jackd without
// real-time scheduling, so a late cycle (an xrun, reported to us) may leave a stale period or
// two; those are allowed, a delay of the whole stream never is.
void expect_same_period_processing(const JackProbe& recorder, unsigned period, float gain) {
  const size_t periods = recorder.frame_times().size() / period;
  const size_t wrong = wrong_periods(recorder, period, gain);
  for (jack_nframes_t delay : {period, 2 * period})
    EXPECT_GT(wrong_periods(recorder, period, gain, delay), periods / 2)
        << "the output matches the input of " << delay << " frames earlier";
  if (recorder.xruns() == 0)
    EXPECT_EQ(wrong, 0u) << "of " << periods
                         << " periods; first: " << first_mismatch(recorder, gain);
  else
    EXPECT_LE(wrong, periods / 20) << "of " << periods << " periods, with " << recorder.xruns()
                                   << " xruns; first: " << first_mismatch(recorder, gain);
}

// The level of out_1 against the level of what the source fed in over the same frames, in dB.
double level_db(const JackProbe& recorder) {
  double out = 0, in = 0;
  for (size_t i = 0; i < recorder.frame_times().size(); ++i) {
    const double fed = probe_signal(recorder.frame_times()[i], 0);
    out += double(recorder.recorded(0)[i]) * recorder.recorded(0)[i];
    in += fed * fed;
  }
  return 10 * std::log10(out / in);
}

class AudioPeriod : public ::testing::TestWithParam<unsigned> {};

TEST_P(AudioPeriod, the_output_is_the_engines_processing_of_the_same_period) {
  const unsigned period = GetParam();
  START_JACK_SERVER(server, period, 2, 2);
  HostRun host(server);
  {
    JackProbe probe("probe", JackProbe::observer);
    ASSERT_TRUE(wait_until_up(probe, 1)) << host.diagnostics();
  }
  AudioChain chain(48000);
  ASSERT_TRUE(chain.connected);
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(chain.recorder.record(10s)) << server.log();
  expect_same_period_processing(chain.recorder, period, fake_gain);
  EXPECT_TRUE(host.process().running()) << host.diagnostics();
}

INSTANTIATE_TEST_SUITE_P(JackBufferSizes, AudioPeriod, ::testing::Values(64u, 256u, 1024u));

// The chunk chosen at start-up still divides the period: the host goes on as if nothing
// had happened, and a stop is still an ordinary one.
TEST(BufferSizeChange, to_another_multiple_of_the_chunk_changes_nothing) {
  START_JACK_SERVER(server, 256, 2, 2);
  HostRun host(server);
  {
    JackProbe probe("probe", JackProbe::observer);
    ASSERT_TRUE(wait_until_up(probe, 1)) << host.diagnostics();
  }
  ASSERT_TRUE(server.set_buffer_size(512)) << server.log();
  AudioChain chain(48000);
  ASSERT_TRUE(chain.connected) << host.diagnostics();
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(chain.recorder.record(10s)) << server.log();
  expect_same_period_processing(chain.recorder, 512, fake_gain);

  host.process().send_signal(SIGTERM);
  ASSERT_TRUE(host.process().wait_for_exit(5s)) << host.diagnostics();
  EXPECT_TRUE(host.process().result().exited) << host.diagnostics();
  EXPECT_EQ(host.process().result().status, 0) << host.diagnostics();
  EXPECT_EQ(host.process().result().err.find(" ERROR "), std::string::npos) << host.diagnostics();
}

// The reply to a GET of the web root, headers and body, until the server closes.
std::string http_get(int port) {
  std::string reply;
  const int fd = connect_loopback(port, 3s);
  if (fd < 0) return reply;
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, size_t(n));
  }
  close(fd);
  return reply;
}

TEST(StandInEngine, serves_json_and_web_while_running_and_a_gain_of_minus_30_dB_takes_30_dB) {
  START_JACK_SERVER(server, 256, 2, 2);
  const int web_port = free_tcp_port();
  HostRun host(server, {"-w", std::to_string(web_port)}, {{"SETUP_USER", "admin"}},
               Engine::stand_in);
  {
    JackProbe probe("probe", JackProbe::observer);
    ASSERT_TRUE(wait_until_up(probe, 1)) << host.diagnostics();
  }
  ASSERT_TRUE(wait_for_tcp_port(host.json_port(), 5s)) << host.diagnostics();
  ASSERT_TRUE(wait_for_tcp_port(web_port, 5s)) << host.diagnostics();
  EXPECT_NE(json_request(host.json_port(), "{\"get\":null}").find("\"gain\""), std::string::npos);
  EXPECT_EQ(http_get(web_port).rfind("HTTP/1.1 200", 0), 0u);

  AudioChain chain(24000);
  ASSERT_TRUE(chain.connected);
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(chain.recorder.record(10s));
  const double before = level_db(chain.recorder);
  EXPECT_NEAR(before, 0.0, 0.01);
  expect_same_period_processing(chain.recorder, 256, 1.0f);  // 0 dB: unchanged

  const std::string reply = json_request(host.json_port(), "{\"set\":{\"in\":{\"gain\":-30}}}");
  EXPECT_EQ(reply.find("error"), std::string::npos) << reply;
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(chain.recorder.record(10s));
  EXPECT_NEAR(level_db(chain.recorder) - before, -30.0, 0.01);
  // Past the one-chunk ramp the gain is applied as it is, on every sample.
  expect_same_period_processing(chain.recorder, 256,
                                static_cast<float>(std::pow(10.0, -30.0 / 20.0)));
  EXPECT_TRUE(host.process().running()) << host.diagnostics();
}

}  // namespace
