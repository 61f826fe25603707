#include "platform/text_conversion.h"

#include <gtest/gtest.h>

namespace {

TEST(TextConversion, EmptyInputGivesEmptyOutput) {
  EXPECT_EQ(utf8ToWide(""), u"");
  EXPECT_EQ(wideToUtf8(u""), "");
}

TEST(TextConversion, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e-acute, euro, emoji
  EXPECT_EQ(utf8ToWide(text), u"a\u00E9\u20AC\U0001F600");
  EXPECT_EQ(wideToUtf8(utf8ToWide(text)), text);
}

TEST(TextConversion, NulUnitsAreConverted) {
  const std::string text("a\0b", 3);
  EXPECT_EQ(utf8ToWide(text), std::u16string(u"a\0b", 3));
  EXPECT_EQ(wideToUtf8(std::u16string(u"a\0b", 3)), text);
}

TEST(TextConversion, MalformedUtf8BecomesReplacementCharacters) {
  struct Case {
    std::string input;
    std::u16string expected;
  };
  const Case cases[] = {
      {"a\x80z", u"a\uFFFDz"},                            // lone continuation byte
      {"\xC0\x80", u"\uFFFD\uFFFD"},                      // overlong lead is never valid
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82", u"\uFFFD"},                            // truncated sequence is one maximal subpart
      {"\xE2\x82z", u"\uFFFDz"},
      {"\xFF", u"\uFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8ToWide(c.input), c.expected) << c.input;
}

TEST(TextConversion, UnpairedSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(wideToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(wideToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
}

TEST(TextConversion, Latin1BytesBecomeTheirCodePointsInUtf8) {
  struct Case {
    std::string latin1;
    std::string utf8;
  };
  const Case cases[] = {
      {"", ""},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"caf\xE9", "caf\xC3\xA9"},
      {"\x7F\x80\xA0\xFF", "\x7F\xC2\x80\xC2\xA0\xC3\xBF"},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(latin1ToUtf8(each.latin1), each.utf8);
    EXPECT_EQ(latin1AsUtf8Size(each.latin1), each.utf8.size());
  }
}

}  // namespace
