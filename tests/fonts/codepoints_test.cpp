// The strict UTF-8 decoder and the codepoint tests used by fallback and shaping.
#include "fonts/codepoints.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint32_t> decodeAll(const std::string& text) {
  std::vector<uint32_t> codepoints;
  const char* cursor = text.c_str();
  const char* end = cursor + text.size();
  while (cursor < end) {
    uint32_t codepoint = 0;
    const char* next = nextUtf8Codepoint(cursor, &codepoint);
    EXPECT_GT(next, cursor);
    codepoints.push_back(codepoint);
    cursor = next;
  }
  return codepoints;
}

TEST(Utf8Decoder, DecodesEachSequenceLength) {
  EXPECT_EQ(decodeAll("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), (std::vector<uint32_t>{0x41, 0xE9, 0x20AC, 0x1F600}));
  EXPECT_EQ(decodeAll("\xF4\x8F\xBF\xBF"), (std::vector<uint32_t>{0x10FFFF}));
  EXPECT_EQ(decodeAll(std::string("\0", 1)), (std::vector<uint32_t>{0}));
}

TEST(Utf8Decoder, BadSequencesGiveReplacementForOneByteEach) {
  const uint32_t r = kReplacementCharacter;
  EXPECT_EQ(decodeAll("\xC0\x80"), (std::vector<uint32_t>{r, r}));                // overlong NUL
  EXPECT_EQ(decodeAll("\xED\xA0\x80"), (std::vector<uint32_t>{r, r, r}));         // surrogate
  EXPECT_EQ(decodeAll("\xF4\x90\x80\x80"), (std::vector<uint32_t>{r, r, r, r}));  // beyond U+10FFFF
  EXPECT_EQ(decodeAll("\xE0\x9F\xBF"), (std::vector<uint32_t>{r, r, r}));         // overlong 3-byte
  EXPECT_EQ(decodeAll("\xF0\x8F\xBF\xBF"), (std::vector<uint32_t>{r, r, r, r}));  // overlong 4-byte
  EXPECT_EQ(decodeAll("\xC1\xBF\xF5\xFF"), (std::vector<uint32_t>{r, r, r, r}));
  EXPECT_EQ(decodeAll("\xE2\x82Z"), (std::vector<uint32_t>{r, r, 'Z'}));  // cut sequence
}

TEST(Utf8Decoder, NullArgumentsLeaveThePointer) {
  uint32_t codepoint = 7;
  EXPECT_EQ(nextUtf8Codepoint(nullptr, &codepoint), nullptr);
  EXPECT_EQ(codepoint, 7u);
  const char* text = "A";
  EXPECT_EQ(nextUtf8Codepoint(text, nullptr), text);
}

TEST(Codepoints, VisibleMeansPrintingAndNotZeroAdvance) {
  EXPECT_FALSE(isVisibleCodepoint(' '));
  EXPECT_TRUE(isVisibleCodepoint('!'));
  EXPECT_FALSE(isVisibleCodepoint(0x0301));
  EXPECT_FALSE(isVisibleCodepoint(0x200D));
  EXPECT_FALSE(isVisibleCodepoint(0xE0100));
  EXPECT_FALSE(isVisibleCodepoint(0x1F3FB));
  EXPECT_TRUE(isVisibleCodepoint(0x200C));
  EXPECT_TRUE(isVisibleCodepoint(0x110000));
}

TEST(Codepoints, KeycapSequences) {
  EXPECT_TRUE(isKeycapSequence("#\xEF\xB8\x8F\xE2\x83\xA3"));  // "#", U+FE0F, U+20E3
  EXPECT_TRUE(isKeycapSequence("7\xE2\x83\xA3"));
  EXPECT_TRUE(isKeycapSequence("*\xF3\xA0\x84\x80\xE2\x83\xA3"));  // with U+E0100
  EXPECT_FALSE(isKeycapSequence("#\xE2\x83\xA3x"));
  EXPECT_FALSE(isKeycapSequence("A\xE2\x83\xA3"));
  EXPECT_FALSE(isKeycapSequence("#"));
  EXPECT_FALSE(isKeycapSequence("#\xEF\xB8\x8F"));
  EXPECT_FALSE(isKeycapSequence(""));
  EXPECT_FALSE(isKeycapSequence(nullptr));
}

TEST(Codepoints, TextNeedsShapingOnlyForTheListedRanges) {
  EXPECT_TRUE(textNeedsShaping("e\xCC\x81"));  // e + U+0301
  EXPECT_FALSE(textNeedsShaping("\xC3\xA9"));  // precomposed é
  EXPECT_FALSE(textNeedsShaping("plain ascii"));
  EXPECT_FALSE(textNeedsShaping(""));
  EXPECT_FALSE(textNeedsShaping(nullptr));
  EXPECT_TRUE(textNeedsShaping("abc \xD7\xA9"));                      // Hebrew
  EXPECT_TRUE(textNeedsShaping("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"));  // regional indicators
  EXPECT_FALSE(textNeedsShaping("\xF0\x9F\x98\x80"));                 // a lone emoji
  EXPECT_FALSE(textNeedsShaping("\xED\xA0\x80"));                     // bad bytes decode to U+FFFD
}

TEST(Codepoints, Utf16BigEndianNamesBecomeUtf8) {
  const uint8_t version[] = {0x00, 0x31, 0x00, 0x2E, 0x00, 0x30};
  EXPECT_EQ(utf16BigEndianToUtf8(version, sizeof version), "1.0");
  const uint8_t loneSurrogate[] = {0xD8, 0x00, 0x00, 0x41, 0x7F};
  EXPECT_EQ(utf16BigEndianToUtf8(loneSurrogate, sizeof loneSurrogate),
            "\xEF\xBF\xBD"
            "A");
  const uint8_t pair[] = {0xD8, 0x3D, 0xDE, 0x00};
  EXPECT_EQ(utf16BigEndianToUtf8(pair, sizeof pair), "\xF0\x9F\x98\x80");
}

}  // namespace
