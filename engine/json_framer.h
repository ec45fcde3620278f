// Cuts a byte stream into JSON values, which may arrive split or several in one read.
#pragma once

#include <cstddef>
#include <string>

#include "json_syntax.h"

namespace engine {

// The largest request, and the most of a bad line that is kept to look at.
constexpr size_t kMaxRequestBytes = 64 * 1024;

class JsonFramer {
public:
  void feed(const char* data, size_t size);
  // The next complete value (its syntax checked, not yet parsed), or, with error set, the text
  // up to the first byte that made it invalid; false until one or the other is known. After an
  // error the rest of that line is dropped: the next value starts on the next line.
  //
  // With bad_line given, a line that was invalid from its first byte is reported too once it
  // has ended: true with value and error empty and *bad_line holding the line (its first
  // kMaxRequestBytes bytes), so that the caller can tell what spoke before the next line is read.
  bool next(std::string& value, std::string& error, std::string* bad_line = nullptr);
  // Bytes held for a value that is not complete yet.
  size_t pending() const { return start_ == kNone ? 0 : buffer_.size() - start_; }

private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  void compact();
  bool skip_bad_line(std::string* bad_line);

  std::string buffer_;
  size_t pos_ = 0;              // next byte to scan
  size_t start_ = kNone;        // first byte of the value being scanned
  bool skipping_ = false;       // dropping the rest of a line that held an error
  bool line_blank_ = true;      // only white space since the last line end
  bool at_line_start_ = false;  // the value being scanned began its line
  bool keeping_ = false;        // the line being dropped was invalid from its first byte
  std::string kept_;            // its first bytes
  JsonSyntax syntax_;
};

}  // namespace engine
