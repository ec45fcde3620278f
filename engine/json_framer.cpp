// Finds where each JSON value ends without parsing it: brackets, strings and bare words.
#include "json_framer.h"

#include <cstring>

namespace engine {

static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void JsonFramer::feed(const char* data, size_t size) { buffer_.append(data, size); }

void JsonFramer::compact() {
  const size_t keep_from = start_ == kNone ? pos_ : start_;
  if (keep_from == 0) return;
  buffer_.erase(0, keep_from);
  pos_ -= keep_from;
  if (start_ != kNone) start_ = 0;
}

bool JsonFramer::next(std::string& value) {
  if (start_ == kNone) {
    while (pos_ < buffer_.size() && is_space(buffer_[pos_])) ++pos_;
    if (pos_ == buffer_.size()) {
      compact();
      return false;
    }
    start_ = pos_;
    const char c = buffer_[pos_++];
    in_string_ = escape_ = false;
    if (c == '{' || c == '[') {
      kind_ = Kind::kContainer;
      depth_ = 1;
    } else if (c == '"') {
      kind_ = Kind::kString;
      in_string_ = true;
    } else if (std::strchr("}],:", c) != nullptr) {
      // A stray delimiter is a value of its own, so that it earns an error and goes.
      value.assign(buffer_, start_, 1);
      start_ = kNone;
      return true;
    } else {
      kind_ = Kind::kScalar;
    }
  }
  for (; pos_ < buffer_.size(); ++pos_) {
    const char c = buffer_[pos_];
    if (in_string_) {
      if (escape_)
        escape_ = false;
      else if (c == '\\')
        escape_ = true;
      else if (c == '"') {
        in_string_ = false;
        if (kind_ == Kind::kString) break;
      }
      continue;
    }
    if (kind_ == Kind::kScalar) {
      if (is_space(c) || std::strchr("{}[],:\"", c) != nullptr) {
        value.assign(buffer_, start_, pos_ - start_);
        start_ = kNone;
        return true;
      }
      continue;
    }
    if (c == '"') {
      in_string_ = true;
    } else if (c == '{' || c == '[') {
      ++depth_;
    } else if ((c == '}' || c == ']') && --depth_ == 0) {
      break;
    }
  }
  if (pos_ == buffer_.size()) {
    compact();
    return false;
  }
  ++pos_;  // the closing bracket or quote
  value.assign(buffer_, start_, pos_ - start_);
  start_ = kNone;
  return true;
}

}  // namespace engine
