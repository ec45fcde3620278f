// Log output with its times taken out, so that whole outputs compare byte for byte.
#pragma once

#include <cctype>
#include <string>

// Whether text holds a line's time ("2026-03-07 08:05:09.042") at position at.
inline bool is_log_time(const std::string& text, std::string::size_type at) {
  static const char shape[] = "dddd-dd-dd dd:dd:dd.ddd";
  if (at > text.size() || text.size() - at < sizeof shape - 1) return false;
  for (std::string::size_type i = 0; i + 1 < sizeof shape; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[at + i]);
    if (shape[i] == 'd' ? !std::isdigit(c) : c != static_cast<unsigned char>(shape[i]))
      return false;
  }
  return true;
}

// Every line time becomes "T".
inline std::string without_times(const std::string& text) {
  std::string result;
  for (std::string::size_type at = 0; at < text.size();) {
    if (is_log_time(text, at)) {
      result += 'T';
      at += 23;
    } else {
      result += text[at++];
    }
  }
  return result;
}
