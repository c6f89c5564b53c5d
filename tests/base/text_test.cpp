#include "base/text.h"

#include <gtest/gtest.h>

#include "base/encoding.h"
#include "base/sort_string_array.h"

namespace ordalen {
namespace {

TEST(TextTest, AtoIFollowsLeadingDigitsAndWraps) {
  struct Case {
    const char* text;
    std::int32_t value;
  } cases[] = {{"12", 12},
               {"  7x", 7},
               {"-5", -5},
               {"+3", 3},
               {"abc", 0},
               {"", 0},
               {"4294967297", 1},
               {"-", 0},
               {" \t\n42", 42},
               {"0x10", 0},
               {"2147483648", INT32_MIN}};
  for (const auto& c : cases) EXPECT_EQ(AtoI(c.text), c.value) << c.text;
}

TEST(TextTest, CompareNoCaseFoldsAsciiOnlyAndOrdersHighBytesUnsigned) {
  EXPECT_EQ(CompareNoCase("ABC", "abc"), 0);
  EXPECT_LT(CompareNoCase("abc", "abd"), 0);
  EXPECT_LT(CompareNoCase("ab", "abc"), 0);
  EXPECT_GT(CompareNoCase("\xC3\xA9", "z"), 0);         // é after z: bytes from 0x80 are unsigned
  EXPECT_NE(CompareNoCase("\xC3\x89", "\xC3\xA9"), 0);  // É and é are not folded
}

TEST(TextTest, IpAndMacTexts) {
  EXPECT_EQ(IpText(0xC0A8010A), "192.168.1.10");
  EXPECT_EQ(IpText(0xFFFFFFFF), "255.255.255.255");
  const std::uint8_t mac[] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
  EXPECT_EQ(MacText(mac), "00:1A:2B:3C:4D:5E");
  EXPECT_EQ(MacText(std::span<const std::uint8_t>(mac, 5)), "");
}

TEST(TextTest, ParseDottedQuadTakesOnlyWhatIpTextWrites) {
  const struct {
    const char* text;
    std::optional<std::uint32_t> address;
  } cases[] = {
      {"192.168.1.10", 0xC0A8010A},    {"0.0.0.0", 0},
      {"255.255.255.255", 0xFFFFFFFF}, {"010.1.1.1", 0x0A010101},  // leading zeros are decimal
      {"256.1.1.1", std::nullopt},     {"1.2.3", std::nullopt},
      {"1.2.3.4.", std::nullopt},      {"1..3.4", std::nullopt},
      {"0001.2.3.4", std::nullopt},    {"0x1.2.3.4", std::nullopt},
      {" 1.2.3.4", std::nullopt},      {"1.2.3.4 ", std::nullopt},
      {"1.2.3.-4", std::nullopt},      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDottedQuad(c.text), c.address) << c.text;
}

TEST(SortStringArrayTest, SortsCaseInsensitivelyAndKeepsEqualsInOrder) {
  CSortStringArray list{"10.0.0.9", "10.0.0.10", "b", "A", "a", "B"};
  list.Sort();
  EXPECT_EQ(list, (CSortStringArray{"10.0.0.10", "10.0.0.9", "A", "a", "b", "B"}));
}

TEST(EncodingTest, DecodeUtf8TakesOnlyWellFormedSequences) {
  struct Case {
    std::string bytes;
    std::uint32_t code_point;  // with length 0: nullopt
    std::size_t length;
  } cases[] = {
      {"A", 0x41, 1},
      {std::string("\0", 1), 0, 1},
      {"\xC2\x80", 0x80, 2},
      {"\xDF\xBF", 0x7FF, 2},
      {"\xE0\xA0\x80", 0x800, 3},
      {"\xE6\x97\xA5tail", 0x65E5, 3},  // only the first character
      {"\xED\x9F\xBF", 0xD7FF, 3},
      {"\xEE\x80\x80", 0xE000, 3},
      {"\xEF\xBF\xBE", 0xFFFE, 3},  // a noncharacter is still UTF-8
      {"\xF0\x90\x80\x80", 0x10000, 4},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
      {"", 0, 0},
      {"\x80", 0, 0},  // continuation byte first
      {"\xBFx", 0, 0},
      {"\xC0\x80", 0, 0},          // overlong NUL
      {"\xC1\xBF", 0, 0},          // overlong
      {"\xE0\x9F\xBF", 0, 0},      // overlong
      {"\xF0\x8F\xBF\xBF", 0, 0},  // overlong
      {"\xED\xA0\x80", 0, 0},      // surrogates
      {"\xED\xBF\xBF", 0, 0},
      {"\xF4\x90\x80\x80", 0, 0},  // past U+10FFFF
      {"\xF5\x80\x80\x80", 0, 0},
      {"\xF8\x88\x80\x80\x80", 0, 0},  // five bytes
      {"\xFE", 0, 0},
      {"\xE6\x97", 0, 0},  // cut short
      {"\xF0\x9F\x98", 0, 0},
      {"\xE6\x97x", 0, 0},  // a continuation byte missing
      {"\xC3\xC3\xA9", 0, 0},
  };
  for (const auto& c : cases) {
    const auto got = DecodeUtf8(c.bytes);
    if (c.length == 0) {
      EXPECT_FALSE(got.has_value()) << testing::PrintToString(c.bytes);
      continue;
    }
    ASSERT_TRUE(got.has_value()) << testing::PrintToString(c.bytes);
    EXPECT_EQ(got->code_point, c.code_point) << testing::PrintToString(c.bytes);
    EXPECT_EQ(got->length, c.length) << testing::PrintToString(c.bytes);
  }
}

TEST(EncodingTest, Utf8IsKeptCp932IsDecodedAndJunkIsReplaced) {
  EXPECT_EQ(ToUtf8Lenient("plain"), "plain");
  EXPECT_EQ(ToUtf8Lenient("\xE6\x97\xA5"), "\xE6\x97\xA5");  // 日 in UTF-8 stays
  EXPECT_EQ(ToUtf8Lenient("\x93\xfa"), "\xE6\x97\xA5");      // 日 in CP932
  EXPECT_EQ(ToUtf8Lenient("\x81\x60"), "\xEF\xBD\x9E");      // CP932 0x8160 is U+FF5E
  EXPECT_EQ(ToUtf8Lenient("a\x80"), "a\xEF\xBF\xBD");        // 0x80 is nothing in CP932
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));                     // overlong
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));                 // surrogate
  ASSERT_TRUE(Cp932ToUtf8("\x5c").has_value());
  EXPECT_EQ(*Cp932ToUtf8("\x5c"), "\\");
}

}  // namespace
}  // namespace ordalen
