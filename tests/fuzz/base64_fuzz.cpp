// Fuzz target: the icon's base64 decoder, on any text and on what an encoder makes of any bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "icon.h"

namespace {

// Standard encoding with padding, broken into lines as the embedded icon is stored.
std::string encode(const std::string& bytes, size_t line_length) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text = "\n";
  size_t column = 0;
  auto put = [&](char c) {
    text += c;
    if (line_length != 0 && ++column == line_length) {
      text += '\n';
      column = 0;
    }
  };
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t left = bytes.size() - i;
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (left > 1) group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (left > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    put(alphabet[(group >> 18) & 63]);
    put(alphabet[(group >> 12) & 63]);
    put(left > 1 ? alphabet[(group >> 6) & 63] : '=');
    put(left > 2 ? alphabet[group & 63] : '=');
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // Any text: every alphabet character before the first foreign byte yields 6 bits.
  const std::string decoded = base64_decode(bytes);
  if (decoded.size() > bytes.size() * 3 / 4) {
    std::fprintf(stderr, "base64_decode made %zu bytes of %zu characters\n", decoded.size(),
                 bytes.size());
    std::abort();
  }

  // The same bytes encoded, with and without line breaks and a CR LF variant, come back whole.
  for (const size_t line_length : {size_t{0}, size_t{76}, size_t{3}}) {
    std::string text = encode(bytes, line_length);
    if (line_length == 3) {
      std::string crlf;
      for (const char c : text) crlf += c == '\n' ? std::string("\r\n ") : std::string(1, c);
      text = crlf;
    }
    if (base64_decode(text) != bytes) {
      std::fprintf(stderr, "base64_decode lost bytes of a %zu-byte input (lines of %zu)\n",
                   bytes.size(), line_length);
      std::abort();
    }
  }
  return 0;
}
