// Cuts a byte stream into JSON values, which may arrive split or several in one read.
#pragma once

#include <cstddef>
#include <string>

namespace engine {

class JsonFramer {
public:
  void feed(const char* data, size_t size);
  // The text of the next complete value (not yet parsed); false until one is complete.
  bool next(std::string& value);
  // Bytes held for a value that is not complete yet.
  size_t pending() const { return buffer_.size() - (start_ == kNone ? pos_ : start_); }

private:
  enum class Kind { kContainer, kString, kScalar };
  static constexpr size_t kNone = static_cast<size_t>(-1);
  void compact();

  std::string buffer_;
  size_t pos_ = 0;        // next byte to scan
  size_t start_ = kNone;  // first byte of the value being scanned
  Kind kind_ = Kind::kScalar;
  int depth_ = 0;
  bool in_string_ = false, escape_ = false;
};

}  // namespace engine
