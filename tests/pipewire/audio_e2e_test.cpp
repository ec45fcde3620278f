// Real audio through palvex-pipewire on a real PipeWire daemon: our source node plays a
// sequence that tells each sample's graph time, our recorder checks every sample that comes
// back: the engine's gain (the fake's 0.5, or the stand-in's), exactly one chunk late,
// nothing lost.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <set>
#include <thread>

#include "audio_probe.h"
#include "host_run.h"

namespace {

using namespace std::chrono_literals;

// One request on the engine's JSON control port; its one-line reply.
std::string json_request(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, (request + "\n").data(), request.size() + 1, MSG_NOSIGNAL) > 0) {
    char byte = 0;
    while (::recv(fd, &byte, 1, 0) == 1 && byte != '\n') reply.push_back(byte);
  }
  ::close(fd);
  return reply;
}

// What the recording should show.
struct Expected {
  float gain = 0.5f;          // the fake engine's
  long latency = 64;          // the first chunk
  long smallest_quantum = 256;
  float tolerance = 0.0f;     // the fake's gain of 0.5 is exact
};

// What a recorded sample says: the graph time of the source sample it came from (modulo the
// signal's period), or -1 when it is not the engine's output of a source sample (silence,
// another gain, channels that differ).
long source_time(const RecordedSample& sample, const Expected& expected) {
  const long step = std::lround(sample.left / expected.gain * 16384.0f);
  if (step < 1 || step > 8192 || sample.right != -sample.left) return -1;
  const float exact = expected.gain * static_cast<float>(step) / 16384.0f;
  if (std::fabs(sample.left - exact) > expected.tolerance) return -1;
  return step - 1;
}

// Length of the run of silence that begins at i.
size_t silence_at(const std::vector<RecordedSample>& samples, size_t i) {
  size_t end = i;
  while (end < samples.size() && samples[end].left == 0.0f && samples[end].right == 0.0f) ++end;
  return end - i;
}

long modulo_period(long value) { return ((value % 8192) + 8192) % 8192; }

// PipeWire on a loaded virtual machine skips a cycle now and then, and around a quantum
// change the graph times it reports may jump: those are the graph's, not the host's. What the
// host must never do shows anyway: any sample that is not the engine's output of a source
// sample, silence other than whole cycles, and any break in the host's own stream other than
// whole skipped cycles (the chunk is 64, the smallest quantum 128 or 256). The latency
// shows where the graph runs undisturbed, which is nearly everywhere.
struct Verdict {
  size_t first = 0;       // index of the first processed sample
  size_t checked = 0;     // samples from there to the end
  size_t malformed = 0;   // not the engine's output of any source sample
  size_t silent = 0;      // samples of silence in whole cycles
  size_t breaks = 0;      // places where the host's stream does not go on by one
  size_t bad_breaks = 0;  // of those, not by whole cycles of the smallest quantum
  size_t one_chunk_late = 0;  // samples whose source sample is one chunk older
  std::string first_fault;
  std::set<uint32_t> quanta;  // cycle lengths seen among the checked samples
};

Verdict judge(const std::vector<RecordedSample>& samples, const Expected& expected) {
  Verdict verdict;
  const long smallest_quantum = expected.smallest_quantum;
  auto source_time = [&](const RecordedSample& sample) { return ::source_time(sample, expected); };
  auto late_by_one_chunk = [&](size_t i) {
    return source_time(samples[i]) ==
           modulo_period(static_cast<long>(samples[i].time) - expected.latency);
  };
  while (verdict.first < samples.size() && !late_by_one_chunk(verdict.first)) ++verdict.first;
  auto fault = [&](size_t i, const std::string& what) {
    if (verdict.first_fault.empty())
      verdict.first_fault = what + " at graph time " + std::to_string(samples[i].time) + ": " +
                            std::to_string(samples[i].left) + " / " +
                            std::to_string(samples[i].right);
  };
  for (size_t i = verdict.first; i < samples.size(); ++i) {
    ++verdict.checked;
    verdict.quanta.insert(samples[i].cycle);
    const long from = source_time(samples[i]);
    // Silence in whole cycles of the smallest quantum is the graph's (a cycle the host was
    // not run for, or ran too late for, such as the one that creates an instance).
    const size_t silence = from < 0 ? silence_at(samples, i) : 0;
    if (silence > 0 && (silence % static_cast<size_t>(smallest_quantum) == 0 || i + silence == samples.size())) {
      verdict.silent += silence;
      verdict.checked += silence - 1;
      i += silence - 1;
      continue;
    }
    if (from < 0) {
      ++verdict.malformed;
      fault(i, "not a processed source sample");
      continue;
    }
    if (late_by_one_chunk(i)) ++verdict.one_chunk_late;
    if (i == verdict.first) continue;
    // Across silent cycles the stream goes on from the last sample before them.
    size_t previous = i - 1;
    while (previous > verdict.first && source_time(samples[previous]) < 0) --previous;
    const long before = source_time(samples[previous]);
    if (before < 0) continue;
    const long step = modulo_period(from - before - 1);
    if (step == 0) continue;
    ++verdict.breaks;
    if (step % smallest_quantum != 0) {
      ++verdict.bad_breaks;
      fault(i, "a break of " + std::to_string(step) + " samples");
    }
  }
  return verdict;
}

void expect_sound(const Verdict& verdict, const std::string& diagnostics,
                  size_t at_least = 48000) {
  EXPECT_GE(verdict.checked, at_least) << diagnostics;
  EXPECT_EQ(verdict.malformed, 0u) << verdict.first_fault << "\n" << diagnostics;
  EXPECT_LE(verdict.silent, verdict.checked / 20) << "samples in silent cycles";
  EXPECT_EQ(verdict.bad_breaks, 0u) << verdict.first_fault;
  EXPECT_GE(verdict.one_chunk_late, verdict.checked * 9 / 10)
      << verdict.breaks << " breaks in the stream";
}

class AudioThrough : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready()) << server_.log();
    ASSERT_TRUE(server_.force_quantum(256));
    server_.use_in_this_process();
    probe_ = std::make_unique<AudioProbe>();
    ASSERT_TRUE(probe_->ready());
  }

  // Starts the host and links source -> host -> recorder. Call through ASSERT_NO_FATAL_FAILURE.
  void start_host(const std::vector<std::string>& args = {},
                  PipeWireHostRun::Engine engine = PipeWireHostRun::fake) {
    host_ = std::make_unique<PipeWireHostRun>(server_, args, EnvChanges{}, engine);
    const std::optional<GraphNode> palvex = host_->wait_for_node();
    ASSERT_TRUE(palvex) << host_->diagnostics();
    const auto source = wait_for_node(server_, "node.name", "palvex-test-source", 2, 10s);
    const auto recorder = wait_for_node(server_, "node.name", "palvex-test-recorder", 2, 10s);
    ASSERT_TRUE(source && recorder);
    for (const char* name : {"FL", "FR"}) {
      ASSERT_TRUE(link_ports(server_, source->port("out", name)->id, palvex->port("in", name)->id));
      ASSERT_TRUE(
          link_ports(server_, palvex->port("out", name)->id, recorder->port("in", name)->id));
    }
  }

  void TearDown() override {
    probe_.reset();  // our nodes go before the daemon
    host_.reset();
  }

  // Waits until the recorder holds the given amount of audio.
  bool record(size_t samples, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (probe_->recorded() < samples && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    return probe_->recorded() >= samples;
  }

  PipeWireServer server_;
  std::unique_ptr<AudioProbe> probe_;
  std::unique_ptr<PipeWireHostRun> host_;
};

TEST_F(AudioThrough, every_sample_is_processed_and_one_chunk_late) {
  ASSERT_NO_FATAL_FAILURE(start_host());
  ASSERT_TRUE(record(48000 * 2, 20s)) << host_->diagnostics();
  const Verdict verdict = judge(probe_->take(), Expected{});
  expect_sound(verdict, host_->diagnostics());
  EXPECT_EQ(verdict.quanta, std::set<uint32_t>{256});
  EXPECT_EQ(calls_of(host_->trace(), {"palvex_InitProcess3"}).size(), 1u);
}

// A new quantum makes a new instance on the data thread; the FIFOs carry over, so the stream
// goes on without a gap or a repeat and stays one chunk late.
TEST_F(AudioThrough, forced_quantum_changes_recreate_the_instance_and_lose_no_sample) {
  ASSERT_NO_FATAL_FAILURE(start_host());
  ASSERT_TRUE(record(48000, 20s)) << host_->diagnostics();
  const uint32_t quanta[] = {128, 256, 128};
  size_t wanted = 48000;
  for (uint32_t quantum : quanta) {
    ASSERT_TRUE(server_.force_quantum(quantum));
    wanted += 48000;
    ASSERT_TRUE(record(wanted, 20s)) << host_->diagnostics();
  }
  Expected expected;
  expected.smallest_quantum = 128;
  const Verdict verdict = judge(probe_->take(), expected);
  expect_sound(verdict, host_->diagnostics());
  EXPECT_EQ(verdict.quanta, (std::set<uint32_t>{128, 256}));
  EXPECT_EQ(calls_of(host_->trace(), {"palvex_InitProcess3"}).size(), 4u) << host_->diagnostics();
  EXPECT_NE(host_->process().stderr_text().find("INFO  Process frames = 128\n"),
            std::string::npos)
      << host_->diagnostics();
}

// The stand-in engine picks the quantum as its chunk (256, so that is the latency), passes
// audio unchanged at its default gain of 0 dB, and applies a gain set on its JSON port.
TEST_F(AudioThrough, the_stand_in_engine_follows_a_gain_set_on_its_json_port) {
  const int json_port = free_tcp_port();
  ASSERT_NO_FATAL_FAILURE(
      start_host({"-j", std::to_string(json_port)}, PipeWireHostRun::stand_in));
  ASSERT_TRUE(wait_for_tcp_port(json_port, 10s)) << host_->diagnostics();
  ASSERT_TRUE(record(48000, 20s)) << host_->diagnostics();
  const size_t before_change = probe_->recorded();
  const std::string reply = json_request(json_port, R"({"set":{"in":{"gain":-30}}})");
  EXPECT_NE(reply.find("gain"), std::string::npos) << reply;
  // What reaches the recorder from here on left the engine after the change.
  const size_t after_change = probe_->recorded() + 48000 / 10;
  ASSERT_TRUE(record(after_change + 48000, 20s)) << host_->diagnostics();
  const std::vector<RecordedSample> samples = probe_->take();

  Expected unity;
  unity.gain = 1.0f;
  unity.latency = 256;
  expect_sound(judge({samples.begin(), samples.begin() + static_cast<long>(before_change)},
                     unity),
               host_->diagnostics(), 48000 / 2);
  Expected quieter = unity;
  quieter.gain = std::pow(10.0f, -30.0f / 20.0f);
  quieter.tolerance = 1e-6f;
  expect_sound(judge({samples.begin() + static_cast<long>(after_change), samples.end()},
                     quieter),
               host_->diagnostics(), 48000 / 2);
}

}  // namespace
