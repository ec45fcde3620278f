// Cuts a byte stream into JSON values, which may arrive split or several in one read.
#pragma once

#include <cstddef>
#include <string>

#include "json_syntax.h"

namespace engine {

class JsonFramer {
public:
  void feed(const char* data, size_t size);
  // The next complete value (its syntax checked, not yet parsed), or, with error set, the text
  // up to the first byte that made it invalid; false until one or the other is known. After an
  // error the rest of that line is dropped: the next value starts on the next line.
  bool next(std::string& value, std::string& error);
  // Bytes held for a value that is not complete yet.
  size_t pending() const { return start_ == kNone ? 0 : buffer_.size() - start_; }

private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  void compact();

  std::string buffer_;
  size_t pos_ = 0;         // next byte to scan
  size_t start_ = kNone;   // first byte of the value being scanned
  bool skipping_ = false;  // dropping the rest of a line that held an error
  JsonSyntax syntax_;
};

}  // namespace engine
