// Fuzz target: the stand-in engine's control protocol, from bytes on the wire to reply lines.
//
// Input: the first byte chooses the size of the pieces the stream arrives in (1 to 64 bytes);
// the rest is what a client sends. The loop is the control port's: frame, parse, answer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio_state.h"
#include "config_tree.h"
#include "engine_log.h"
#include "json_framer.h"
#include "json_server.h"
#include "parameters.h"
#include "protocol.h"

namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "control protocol: %s: %.300s\n", what, detail.c_str());
  std::abort();
}

std::vector<std::string> frame_all(const std::string& stream, size_t piece) {
  engine::JsonFramer framer;
  std::vector<std::string> values;
  std::string value;
  for (size_t at = 0; at < stream.size(); at += piece) {
    framer.feed(stream.data() + at, std::min(piece, stream.size() - at));
    while (framer.next(value)) values.push_back(value);
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  engine::set_log_severity(engine::kFatal);  // "Configuration changed" lines are not news here
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 64;
  const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  // However the bytes are cut up by the network, the same values come out.
  const std::vector<std::string> values = frame_all(stream, piece);
  if (values != frame_all(stream, stream.size() + 1)) fail("framing depends on the pieces", stream);

  auto audio = std::make_shared<engine::AudioState>(64);
  engine::ConfigTree config(audio, engine::ProcessSettings{}, nullptr);
  json last_seen = json::object();
  for (const std::string& text : values) {
    if (text.size() > engine::kMaxRequestBytes) continue;  // the port closes such a client
    const json request = json::parse(text, nullptr, false);
    const json reply = request.is_discarded()
                           ? engine::error_reply("Invalid JSON: " + text.substr(0, 80))
                           : engine::answer_request(config, request, last_seen);
    const std::string line = engine::to_text(reply);
    if (line.find('\n') != std::string::npos) fail("a reply spans lines", line);
    const json back = json::parse(line, nullptr, false);
    if (back.is_discarded() || !back.is_object()) fail("a reply is not one JSON object", line);
    if (request.is_discarded() && !back.contains("error")) fail("bad JSON earned no error", text);
  }

  // Whatever was accepted, the configuration stays in range.
  const json tree = config.tree();
  const double gain = tree.at("in").at("gain").get<double>();
  if (!(gain >= engine::kMinGainDb && gain <= engine::kMaxGainDb))
    fail("the gain left its range", tree.dump());
  return 0;
}
