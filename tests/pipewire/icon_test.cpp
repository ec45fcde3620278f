// The icon: the base64 decoder as the host needs it, and the embedded images themselves.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "icon.h"

namespace {

struct DecodeCase {
  const char* name;
  std::string text;
  std::string bytes;
};

void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.name; }

class Base64 : public testing::TestWithParam<DecodeCase> {};

TEST_P(Base64, decodes) { EXPECT_EQ(base64_decode(GetParam().text), GetParam().bytes); }

INSTANTIATE_TEST_SUITE_P(
    Texts, Base64,
    testing::Values(DecodeCase{"empty", "", ""}, DecodeCase{"padding_first", "=", ""},
                    DecodeCase{"padding_first_then_data", "=TWFu", ""},
                    DecodeCase{"group_of_one_adds_nothing", "T", ""},
                    DecodeCase{"group_of_two_gives_one_byte", "TW", "M"},
                    DecodeCase{"group_of_three_gives_two_bytes", "TWF", "Ma"},
                    DecodeCase{"group_of_four_gives_three_bytes", "TWFu", "Man"},
                    DecodeCase{"padded_end", "TWE=", "Ma"},
                    DecodeCase{
                        "whole_alphabet",
                        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/",
                        std::string("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93"
                                    "\x51\x55\x97\x61\x96\x9b\x71\xd7\x9f\x82\x18\xa3\x92\x59\xa7"
                                    "\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb"
                                    "\xf3\xdf\xbf",
                                    48)},
                    DecodeCase{"line_feeds_returns_and_spaces_are_skipped", "\nT W\r\nFu\n", "Man"},
                    DecodeCase{"a_tab_ends_it", "TWFu\tTWFu", "Man"},
                    DecodeCase{"padding_ends_it_even_before_more_data", "TQ==TWFu", "M"},
                    DecodeCase{"a_foreign_byte_ends_it", "TWFu-TWFu", "Man"},
                    DecodeCase{"a_high_byte_ends_it", "TWFu\xc3\xa9TWFu", "Man"}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

// A newline first, then full lines of 76 characters and one shorter last line.
void expect_layout(const std::string& text, size_t lines, size_t last_line) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.front(), '\n');
  EXPECT_EQ(text.back(), '\n');
  std::vector<size_t> lengths;
  size_t start = 1;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lengths.push_back(end - start);
  ASSERT_EQ(lengths.size(), lines);
  for (size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_EQ(lengths[i], 76u) << "line " << i;
  EXPECT_EQ(lengths.back(), last_line);
}

uint32_t little32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}
uint32_t little16(const std::string& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}
uint32_t big32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

TEST(IconData, ico_is_one_24_by_24_32_bit_bitmap_of_2462_bytes) {
  const std::string text = icon_ico_base64;
  EXPECT_EQ(text.size(), 3329u);
  expect_layout(text, 44, 16);
  EXPECT_EQ(text.substr(text.size() - 3, 2).find('='), 1u);  // one "=" at the very end
  EXPECT_NE(text[text.size() - 3], '=');
  const std::string ico = base64_decode(text);
  ASSERT_EQ(ico.size(), 2462u);
  EXPECT_EQ(little16(ico, 0), 0u);  // reserved
  EXPECT_EQ(little16(ico, 2), 1u);  // icon
  EXPECT_EQ(little16(ico, 4), 1u);  // one image
  EXPECT_EQ(static_cast<unsigned char>(ico[6]), 24);
  EXPECT_EQ(static_cast<unsigned char>(ico[7]), 24);
  EXPECT_EQ(little16(ico, 12), 32u);  // bits per pixel
  EXPECT_EQ(little32(ico, 14), 2440u);
  EXPECT_EQ(little32(ico, 18), 22u);
  EXPECT_EQ(little32(ico, 22), 40u);  // BITMAPINFOHEADER
  EXPECT_EQ(little32(ico, 26), 24u);
  EXPECT_EQ(little32(ico, 30), 48u);  // the colour and the mask bitmap
  EXPECT_EQ(little16(ico, 36), 32u);
}

TEST(IconData, png_is_128_by_128_rgba_and_ends_with_iend) {
  const std::string text = icon_png_base64;
  ASSERT_GT(text.size(), 1u);
  const size_t encoded = text.size() - 1 - (text.size() + 75) / 77;  // without the newlines
  expect_layout(text, (encoded + 75) / 76, encoded % 76 == 0 ? 76 : encoded % 76);
  const std::string png = base64_decode(text);
  ASSERT_GT(png.size(), 45u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(big32(png, 16), 128u);
  EXPECT_EQ(big32(png, 20), 128u);
  EXPECT_EQ(static_cast<unsigned char>(png[24]), 8);  // bit depth
  EXPECT_EQ(static_cast<unsigned char>(png[25]), 6);  // RGBA
  EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
}

}  // namespace
