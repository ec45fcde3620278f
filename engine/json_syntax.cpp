// A JSON syntax checker as a state machine: containers on a bounded stack, no recursion.
#include "json_syntax.h"

#include <cstring>

namespace engine {

static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
static bool is_digit(char c) { return c >= '0' && c <= '9'; }
static bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

static std::string describe(char c) {
  if (c == '\n') return "a line end";
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7f) return std::string("'") + c + "'";
  static const char digits[] = "0123456789abcdef";
  return std::string("byte 0x") + digits[byte >> 4] + digits[byte & 15];
}

void JsonSyntax::reset() {
  state_ = State::kValue;
  open_.clear();
  key_ = false;
  error_.clear();
}

JsonSyntax::Step JsonSyntax::fail(const std::string& why, char c) {
  error_ = why + ", found " + describe(c);
  return Step::kError;
}

JsonSyntax::Step JsonSyntax::value_done() {
  state_ = open_.empty() ? State::kValue : State::kAfterItem;
  return open_.empty() ? Step::kComplete : Step::kMore;
}

JsonSyntax::Step JsonSyntax::start_value(char c) {
  if (c == '{' || c == '[') {
    if (open_.size() >= kMaxJsonDepth)
      return fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels", c);
    open_.push_back(c);
    state_ = c == '{' ? State::kFirstKey : State::kFirstItem;
  } else if (c == '"') {
    key_ = false;
    state_ = State::kString;
  } else if (c == '-' || is_digit(c)) {
    number_ = c == '-' ? Number::kMinus : c == '0' ? Number::kZero : Number::kInteger;
    state_ = State::kNumber;
  } else if (c == 't' || c == 'f' || c == 'n') {
    literal_ = c == 't' ? "rue" : c == 'f' ? "alse" : "ull";
    state_ = State::kLiteral;
  } else {
    return fail("expected a value", c);
  }
  return Step::kMore;
}

JsonSyntax::Step JsonSyntax::feed_number(char c) {
  switch (number_) {
    case Number::kMinus:
      if (!is_digit(c)) return fail("expected a digit after '-'", c);
      number_ = c == '0' ? Number::kZero : Number::kInteger;
      return Step::kMore;
    case Number::kZero:
    case Number::kInteger:
    case Number::kFraction:
      if (is_digit(c) && number_ == Number::kZero) return fail("a number cannot start with 0", c);
      if (is_digit(c)) return Step::kMore;
      if (c == '.' && number_ != Number::kFraction) {
        number_ = Number::kPoint;
        return Step::kMore;
      }
      if (c == 'e' || c == 'E') {
        number_ = Number::kE;
        return Step::kMore;
      }
      break;
    case Number::kPoint:
      if (!is_digit(c)) return fail("expected a digit after '.'", c);
      number_ = Number::kFraction;
      return Step::kMore;
    case Number::kE:
      if (c == '+' || c == '-') {
        number_ = Number::kExponentSign;
        return Step::kMore;
      }
      [[fallthrough]];
    case Number::kExponentSign:
      if (!is_digit(c)) return fail("expected a digit in the exponent", c);
      number_ = Number::kExponent;
      return Step::kMore;
    case Number::kExponent:
      if (is_digit(c)) return Step::kMore;
      break;
  }
  // The number ended before this byte, which belongs to what follows it.
  if (open_.empty()) {
    state_ = State::kValue;
    return Step::kCompleteBefore;
  }
  state_ = State::kAfterItem;
  return feed(c);
}

JsonSyntax::Step JsonSyntax::feed(char c) {
  switch (state_) {
    case State::kValue:
      if (is_space(c)) return Step::kMore;
      return start_value(c);
    case State::kFirstItem:
      if (is_space(c)) return Step::kMore;
      if (c != ']') return start_value(c);
      open_.pop_back();
      return value_done();
    case State::kFirstKey:
    case State::kKey:
      if (is_space(c)) return Step::kMore;
      if (c == '}' && state_ == State::kFirstKey) {
        open_.pop_back();
        return value_done();
      }
      if (c != '"')
        return fail(state_ == State::kFirstKey ? "expected a key or '}'" : "expected a key", c);
      key_ = true;
      state_ = State::kString;
      return Step::kMore;
    case State::kColon:
      if (is_space(c)) return Step::kMore;
      if (c != ':') return fail("expected ':'", c);
      state_ = State::kValue;
      return Step::kMore;
    case State::kAfterItem: {
      if (is_space(c)) return Step::kMore;
      const bool object = open_.back() == '{';
      if (c == ',') {
        state_ = object ? State::kKey : State::kValue;
        return Step::kMore;
      }
      if (c != (object ? '}' : ']'))
        return fail(object ? "expected ',' or '}'" : "expected ',' or ']'", c);
      open_.pop_back();
      return value_done();
    }
    case State::kString:
      if (c == '"') {
        if (!key_) return value_done();
        key_ = false;
        state_ = State::kColon;
      } else if (c == '\\') {
        state_ = State::kEscape;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        return fail("unescaped control character in a string", c);
      }
      return Step::kMore;
    case State::kEscape:
      if (c == 'u') {
        hex_left_ = 4;
        state_ = State::kUnicode;
      } else if (c != '\0' && std::strchr("\"\\/bfnrt", c) != nullptr) {
        state_ = State::kString;
      } else {
        return fail("bad escape in a string", c);
      }
      return Step::kMore;
    case State::kUnicode:
      if (!is_hex(c)) return fail("expected four hex digits after \\u", c);
      if (--hex_left_ == 0) state_ = State::kString;
      return Step::kMore;
    case State::kLiteral:
      if (c != *literal_) return fail("expected true, false or null", c);
      if (*++literal_ == '\0') return value_done();
      return Step::kMore;
    case State::kNumber:
      return feed_number(c);
  }
  return fail("internal state", c);
}

JsonSyntax::Step JsonSyntax::end() {
  const bool whole_number =
      state_ == State::kNumber && (number_ == Number::kZero || number_ == Number::kInteger ||
                                   number_ == Number::kFraction || number_ == Number::kExponent);
  if (whole_number && open_.empty()) {
    state_ = State::kValue;
    return Step::kComplete;
  }
  error_ = state_ == State::kValue && open_.empty() ? "no value" : "the text ends inside a value";
  return Step::kError;
}

nlohmann::json parse_json(const std::string& text, std::string* error) {
  const nlohmann::json discarded(nlohmann::json::value_t::discarded);
  size_t at = 0;
  while (at < text.size() && is_space(text[at])) ++at;
  JsonSyntax syntax;
  JsonSyntax::Step step = JsonSyntax::Step::kMore;
  for (; at < text.size(); ++at) {
    step = syntax.feed(text[at]);
    if (step == JsonSyntax::Step::kMore) continue;
    if (step != JsonSyntax::Step::kCompleteBefore) ++at;
    break;
  }
  if (step == JsonSyntax::Step::kMore) step = syntax.end();
  if (step == JsonSyntax::Step::kError) {
    if (error != nullptr)
      *error = "Invalid JSON at byte " + std::to_string(at + 1) + ": " + syntax.error();
    return discarded;
  }
  while (at < text.size() && is_space(text[at])) ++at;
  if (at < text.size()) {
    if (error != nullptr)
      *error = "Invalid JSON at byte " + std::to_string(at + 1) + ": more after the value";
    return discarded;
  }
  // The syntax is sound and shallow; what is left to refuse is a number
  // out of range or text that is not UTF-8.
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded() && error != nullptr)
    *error = "Invalid JSON: a number out of range or text that is not UTF-8";
  return value;
}

}  // namespace engine
