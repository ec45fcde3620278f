// Finds where each JSON value ends, or the first byte that makes it invalid.
#include "json_framer.h"

#include <algorithm>

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

// True once the line is over; a kept line then waits in kept_.
bool JsonFramer::skip_bad_line(std::string* bad_line) {
  const size_t line_end = buffer_.find('\n', pos_);
  const size_t end = line_end == std::string::npos ? buffer_.size() : line_end;
  if (keeping_ && kept_.size() < kMaxRequestBytes)
    kept_.append(buffer_, pos_, std::min(end - pos_, kMaxRequestBytes - kept_.size()));
  if (line_end == std::string::npos) {
    pos_ = buffer_.size();
    compact();
    return false;
  }
  pos_ = line_end + 1;
  skipping_ = false;
  line_blank_ = true;
  if (keeping_ && bad_line != nullptr) bad_line->swap(kept_);
  keeping_ = false;
  kept_.clear();
  return true;
}

bool JsonFramer::next(std::string& value, std::string& error, std::string* bad_line) {
  if (bad_line != nullptr) bad_line->clear();
  if (skipping_) {
    const bool was_keeping = keeping_;
    if (!skip_bad_line(bad_line)) return false;
    if (was_keeping && bad_line != nullptr) {
      value.clear();
      error.clear();
      return true;
    }
  }
  if (start_ == kNone) {
    for (; pos_ < buffer_.size() && is_space(buffer_[pos_]); ++pos_)
      if (buffer_[pos_] == '\n') line_blank_ = true;
    if (pos_ == buffer_.size()) {
      compact();
      return false;
    }
    start_ = pos_;
    at_line_start_ = line_blank_;
    line_blank_ = false;
    syntax_.reset();
  }
  for (; pos_ < buffer_.size(); ++pos_) {
    const JsonSyntax::Step step = syntax_.feed(buffer_[pos_]);
    if (step == JsonSyntax::Step::kMore) continue;
    error.clear();
    if (step == JsonSyntax::Step::kError) {
      error = syntax_.error();
      // A bad line end is itself where the next line starts.
      skipping_ = buffer_[pos_] != '\n';
      line_blank_ = !skipping_;
      keeping_ = skipping_ && bad_line != nullptr && at_line_start_ && pos_ == start_;
      if (keeping_) kept_.assign(1, buffer_[pos_]);
    }
    if (step != JsonSyntax::Step::kCompleteBefore) ++pos_;
    value.assign(buffer_, start_, pos_ - start_);
    start_ = kNone;
    return true;
  }
  compact();
  return false;
}

}  // namespace engine
