// Fuzz target: the stand-in engine's control protocol, from bytes on the wire to reply lines.
//
// Input: the first byte chooses the size of the pieces the stream arrives in (1 to 64 bytes);
// the rest is what a client sends. The loop is the control port's: frame, parse, answer.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio_state.h"
#include "config_tree.h"
#include "engine_log.h"
#include "http_lines.h"
#include "json_framer.h"
#include "json_server.h"
#include "json_syntax.h"
#include "parameters.h"
#include "protocol.h"

namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "control protocol: %s: %.300s\n", what, detail.c_str());
  std::abort();
}

struct Framed {
  std::string text, error;
  std::string bad_line;  // a line invalid from its first byte, reported once it ended
  bool operator==(const Framed& other) const {
    return text == other.text && error == other.error && bad_line == other.bad_line;
  }
  bool operator!=(const Framed& other) const { return !(*this == other); }
};

std::vector<Framed> frame_all(const std::string& stream, size_t piece) {
  engine::JsonFramer framer;
  std::vector<Framed> values;
  Framed value;
  for (size_t at = 0; at < stream.size(); at += piece) {
    framer.feed(stream.data() + at, std::min(piece, stream.size() - at));
    while (framer.next(value.text, value.error, &value.bad_line)) values.push_back(value);
  }
  return values;
}

// What a syntax check cannot see: bytes that are not UTF-8, lone surrogates in \u escapes,
// numbers beyond a double.
bool beyond_syntax(const std::string& text) {
  size_t digits = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) return true;
    if (c == '\\' && i + 1 < text.size() && text[i + 1] == 'u') return true;
    if ((c == 'e' || c == 'E') && i > 0 &&
        (std::isdigit(static_cast<unsigned char>(text[i - 1])) || text[i - 1] == '.'))
      return true;
    digits = std::isdigit(static_cast<unsigned char>(c)) ? digits + 1 : 0;
    if (digits > 300) return true;
  }
  return false;
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
  const std::vector<Framed> values = frame_all(stream, piece);
  if (values != frame_all(stream, stream.size() + 1)) fail("framing depends on the pieces", stream);

  auto audio = std::make_shared<engine::AudioState>(64);
  engine::ConfigTree config(audio, engine::ProcessSettings{}, nullptr);
  json last_seen = json::object();
  for (const Framed& value : values) {
    if (!value.bad_line.empty()) {
      if (value.bad_line.size() > engine::kMaxRequestBytes ||
          value.bad_line.find('\n') != std::string::npos)
        fail("a bad line beyond its bound or its end", value.bad_line);
      // The port looks at its shape only; any bytes will do.
      engine::is_http_request_line(value.bad_line);
      engine::is_http_header_line(value.bad_line);
      continue;
    }
    if (value.text.size() > engine::kMaxRequestBytes) continue;  // the port closes such a client
    // The framer's verdict on the syntax is the parser's.
    const json parsed = json::parse(value.text, nullptr, false);
    if (value.error.empty() && parsed.is_discarded() && !beyond_syntax(value.text))
      fail("framed a value the parser refuses", value.text);
    if (!value.error.empty() && !parsed.is_discarded() &&
        value.error.find("nested deeper") == std::string::npos)
      fail("a syntax error in a value the parser takes", value.text + " : " + value.error);
    const json reply = engine::answer_text(config, value.text, value.error, last_seen);
    const std::string line = engine::to_text(reply);
    if (line.find('\n') != std::string::npos) fail("a reply spans lines", line);
    const json back = json::parse(line, nullptr, false);
    if (back.is_discarded() || !back.is_object()) fail("a reply is not one JSON object", line);
    if (parsed.is_discarded() && !back.contains("error"))
      fail("bad JSON earned no error", value.text);
  }

  // Whatever was accepted, the configuration stays in range.
  const json tree = config.tree();
  const double gain = tree.at("in").at("gain").get<double>();
  if (!(gain >= engine::kMinGainDb && gain <= engine::kMaxGainDb))
    fail("the gain left its range", tree.dump());
  return 0;
}
