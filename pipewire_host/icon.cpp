// The PNG icon written to a temporary file for "application.icon-name", removed at exit.
#include "icon.h"

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <system_error>

// Constructed before main, so its destruction at exit comes after remove_icon_file has run.
std::string icon_path;

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::array<int, 256> make_decode_table() {
  std::array<int, 256> table;
  table.fill(-1);
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
  return table;
}

}  // namespace

std::string base64_decode(const std::string& text) {
  static const std::array<int, 256> table = make_decode_table();
  std::string bytes;
  unsigned int bits = 0;
  int pending = 0;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '\n' || byte == '\r' || byte == ' ') continue;
    const int value = table[byte];
    if (value < 0) break;
    bits = ((bits << 6) | static_cast<unsigned int>(value)) & 0xFFFFFFu;
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      bytes.push_back(static_cast<char>((bits >> pending) & 0xFFu));
    }
  }
  return bytes;
}

void remove_icon_file() {
  if (icon_path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove(icon_path, ignored);
}

void write_icon_file() {
  char path[] = "/tmp/pngXXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return;
  const std::string png = base64_decode(icon_png_base64);
  const ssize_t written = ::write(fd, png.data(), png.size());
  if (written >= 0 && static_cast<size_t>(written) == png.size()) icon_path = path;
  ::close(fd);
  // Also after a short write: then icon_path is empty and there is nothing to remove.
  std::atexit(remove_icon_file);
}
