#include "foundation/StringExtensions.h"

#include <gtest/gtest.h>

namespace ulmora {
namespace {

TEST(StringExtensionsTest, DecryptsTheStoredForm) {
  struct Case {
    std::string stored, text;
  } cases[] = {
      {"", ""},
      // 'a' 'b' 'c' are stored as U+00C2 U+00C4 U+00C6.
      {"\xC3\x82\xC3\x84\xC3\x86", "abc"},
      // Odd units lose their lowest bit.
      {"\x63", "1"},
      // A surrogate pair in the stored form is two units, each shifted.
      {"\xF0\x9F\x98\x80", "\xE6\xB0\x9E\xE6\xBC\x80"},
  };
  for (const auto& c : cases) EXPECT_EQ(decryptedString(c.stored), c.text) << c.stored;
}

TEST(StringExtensionsTest, EncryptionRoundTrips) {
  const std::string texts[] = {
      "password",
      "p\xC3\xA4ssw\xC3\xB6rd \xE2\x82\xAC",  // Latin-1 and the euro sign
      "\xE6\x97\xA5\xE6\x9C\xAC",             // two CJK characters below U+8000
      "\xE6\xB0\x80",                         // U+6C00: its stored unit is a lone surrogate
      "\xE6\xB0\x80\xE6\xB8\x80",             // U+6C00 U+6E00: stored as a valid pair
      std::string("nul\0inside", 10),
  };
  for (const auto& text : texts) {
    std::string stored = encryptedString(text);
    EXPECT_NE(stored, text);
    EXPECT_EQ(decryptedString(stored), text) << text;
  }
}

TEST(StringExtensionsTest, DecryptionOfMalformedTextGivesValidText) {
  // An undecodable byte reads as U+FFFD, whose shifted unit is U+7FFE; a lone
  // surrogate in its 3-byte form is a unit like any other.
  struct Case {
    std::string stored, text;
  } cases[] = {
      {"\xFF", "\xE7\xBF\xBE"},
      {"a\xC3", "0\xE7\xBF\xBE"},
      {"\xE0\x80\x80", "\xE7\xBF\xBE\xE7\xBF\xBE\xE7\xBF\xBE"},
      {"\xED\xA0\x80", "\xE6\xB0\x80"},
  };
  for (const auto& c : cases) EXPECT_EQ(decryptedString(c.stored), c.text) << c.stored;
}

TEST(StringExtensionsTest, PercentEscapesAQueryValue) {
  struct Case {
    std::string text, escaped;
  } cases[] = {
      {"", ""},
      {"AZaz09-._~", "AZaz09-._~"},
      {"a b&c=d/e?f+g%h#", "a%20b%26c%3Dd%2Fe%3Ff%2Bg%25h%23"},
      {"caf\xC3\xA9", "caf%C3%A9"},
      {std::string("\0\xFF", 2), "%00%FF"},
  };
  for (const auto& c : cases) EXPECT_EQ(stringByAddingRFC3875PercentEscapes(c.text), c.escaped);
}

TEST(StringExtensionsTest, URLDecode) {
  struct Case {
    std::string text, decoded;
  } cases[] = {
      {"a+b%20c", "a b c"},
      {"%41%4a%4A", "AJJ"},
      {"%2B", "+"},
      {"caf%C3%A9", "caf\xC3\xA9"},
      {"%FF", "\xFF"},
      {"100%", "100%"},
      {"%4", "%4"},
      {"%G1x", "%G1x"},
      {"%%41", "%A"},
      {"%00", std::string("\0", 1)},
  };
  for (const auto& c : cases) EXPECT_EQ(URLDecode(c.text), c.decoded) << c.text;
}

TEST(StringExtensionsTest, DecodeUndoesEscape) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
  EXPECT_EQ(URLDecode(stringByAddingRFC3875PercentEscapes(everyByte)), everyByte);
}

}  // namespace
}  // namespace ulmora

namespace ulmora {
namespace {

TEST(JsonNestingDepth, CountsBracketsOutsideStringsOnly) {
  const std::pair<std::string, int> cases[] = {
      {"", 0},
      {"5", 0},
      {"{}", 1},
      {"[[{\"a\":[1]}]]", 4},
      {"{\"a\":\"[[[[\"}", 1},           // inside a text
      {"{\"a\":\"\\\"[[\"}", 1},         // after an escaped quote, still a text
      {"[]]]]][", 1},                    // stray closers do not go below zero
      {std::string(100000, '['), 100000},
  };
  for (const auto& [text, depth] : cases) EXPECT_EQ(jsonNestingDepth(text), depth) << text.substr(0, 40);
}

}  // namespace
}  // namespace ulmora
