// Finds where each JSON value ends, or the first byte that makes it invalid.
#include "json_framer.h"

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

bool JsonFramer::next(std::string& value, std::string& error) {
  if (skipping_) {
    const size_t line_end = buffer_.find('\n', pos_);
    if (line_end == std::string::npos) {
      pos_ = buffer_.size();
      compact();
      return false;
    }
    pos_ = line_end + 1;
    skipping_ = false;
  }
  if (start_ == kNone) {
    while (pos_ < buffer_.size() && is_space(buffer_[pos_])) ++pos_;
    if (pos_ == buffer_.size()) {
      compact();
      return false;
    }
    start_ = pos_;
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
