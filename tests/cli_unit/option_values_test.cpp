// Port arguments read by stream extraction, and key=value splitting, as tables.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "option_values.h"

namespace {

constexpr uint16_t json_before = 5000;
constexpr uint32_t web_before = 8443;

struct PortCase {
  const char* text;  // null: no argument text at all
  uint16_t json;     // what -j leaves, starting from json_before
  uint32_t web;      // what -w / -s leave, starting from web_before
};

const PortCase port_cases[] = {
    {"6000", 6000, 6000},
    {" 12", 12, 12},
    {"+7", 7, 7},
    {"0", 0, 0},
    // Blank leaves the port as the environment or an earlier option set it.
    {"", json_before, web_before},
    {" ", json_before, web_before},
    {" \t\n", json_before, web_before},
    {nullptr, json_before, web_before},
    // Not a number: 0, the service's "off".
    {"abc", 0, 0},
    {"-", 0, 0},
    {"x80", 0, 0},
    // Reading stops at the first non-digit.
    {"0x50", 0, 0},
    {"8080abc", 8080, 8080},
    {"80 90", 80, 80},
    // Saturation at the type's width.
    {"65535", 65535, 65535},
    {"65536", 65535, 65536},
    {"70000", 65535, 70000},
    {"4294967295", 65535, 4294967295u},
    {"4294967296", 65535, 4294967295u},
    {"99999999999", 65535, 4294967295u},
    {"99999999999999999999999", 65535, 4294967295u},
    // "-" negates in the type's width.
    {"-1", 65535, 4294967295u},
    {"-0", 0, 0},
    {"-65535", 1, 4294901761u},
};

TEST(ReadPortOption, json_port_reads_as_unsigned_short) {
  for (const PortCase& c : port_cases) {
    SCOPED_TRACE(c.text != nullptr ? std::string("\"") + c.text + "\"" : "null");
    uint16_t port = json_before;
    read_port_option(c.text, port);
    EXPECT_EQ(port, c.json);
  }
}

TEST(ReadPortOption, web_ports_read_as_unsigned_int) {
  for (const PortCase& c : port_cases) {
    SCOPED_TRACE(c.text != nullptr ? std::string("\"") + c.text + "\"" : "null");
    uint32_t port = web_before;
    read_port_option(c.text, port);
    EXPECT_EQ(port, c.web);
  }
}

struct PairCase {
  const char* text;
  std::optional<std::pair<std::string, std::string>> pair;  // nullopt: rejected
};

TEST(SplitKeyValue, splits_at_the_first_equals_sign) {
  const PairCase cases[] = {
      {"k=v", std::pair<std::string, std::string>{"k", "v"}},
      {"=v", std::pair<std::string, std::string>{"", "v"}},
      {"k=", std::pair<std::string, std::string>{"k", ""}},
      {"=", std::pair<std::string, std::string>{"", ""}},
      {"a=b=c", std::pair<std::string, std::string>{"a", "b=c"}},
      {" k = v ", std::pair<std::string, std::string>{" k ", " v "}},
      {"GAIN=-3.5", std::pair<std::string, std::string>{"GAIN", "-3.5"}},
      {"k", std::nullopt},
      {"", std::nullopt},
      {nullptr, std::nullopt},
  };
  for (const PairCase& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? std::string("\"") + c.text + "\"" : "null");
    std::pair<std::string, std::string> pair;
    const bool split = split_key_value(c.text, pair);
    ASSERT_EQ(split, c.pair.has_value());
    if (split) {
      EXPECT_EQ(pair, *c.pair);
    }
  }
}

}  // namespace
