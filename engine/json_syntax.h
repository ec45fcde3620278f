// Checks JSON syntax one byte at a time, so the first byte that makes an error is known at once
// and nesting never goes deeper than the code that handles a value can recurse.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace engine {

// Deeper than any tree the engine serves or stores; far below what recursion can bear.
constexpr size_t kMaxJsonDepth = 64;

class JsonSyntax {
public:
  enum class Step {
    kMore,            // the byte belongs to the value, which goes on
    kComplete,        // the byte ended the value
    kCompleteBefore,  // the value (a number) ended before the byte, which is not taken
    kError,           // the byte makes the text invalid; error() says why
  };

  // A new value starts with the next byte (no leading white space).
  void reset();
  Step feed(char c);
  // No more bytes: kComplete when the value is whole (a number needs no end), else kError.
  Step end();
  const std::string& error() const { return error_; }

private:
  enum class State {
    kValue,
    kFirstItem,
    kFirstKey,
    kKey,
    kColon,
    kAfterItem,
    kString,
    kEscape,
    kUnicode,
    kLiteral,
    kNumber,
  };
  enum class Number { kMinus, kZero, kInteger, kPoint, kFraction, kE, kExponentSign, kExponent };

  Step start_value(char c);
  Step value_done();
  Step fail(const std::string& why, char c);
  Step feed_number(char c);

  State state_ = State::kValue;
  std::vector<char> open_;  // '{' or '[' of each container around the byte
  bool key_ = false;        // the string is an object's key
  int hex_left_ = 0;
  const char* literal_ = "";  // what the literal still needs
  Number number_ = Number::kMinus;
  std::string error_;
};

// One JSON value in a whole text (white space around it allowed), with its nesting bounded.
// A discarded value on failure, *error saying why.
nlohmann::json parse_json(const std::string& text, std::string* error = nullptr);

}  // namespace engine
