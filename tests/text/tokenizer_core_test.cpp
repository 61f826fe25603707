#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/outline.h"
#include "text/pattern_matcher.h"
#include "text/tokenizer_rules.h"
#include "text/utf8_attach.h"

namespace {

std::string candidateBytes(const std::string& pattern) {
  std::string bytes;
  for (int b = 1; b < 256; ++b) {
    if (candidateStartBytes(pattern).has(static_cast<unsigned char>(b))) bytes += static_cast<char>(b);
  }
  return bytes;
}

TEST(CandidateLists, OptionalItemsLetTheWalkGoOn) {
  EXPECT_EQ(candidateBytes("%s*a"), std::string("\t\n\v\f\r a"));
  EXPECT_EQ(candidateBytes("x?y-z"), "xyz");
  EXPECT_EQ(candidateBytes("ab+"), "a");
  EXPECT_EQ(candidateBytes("a*").size(), 255u);  // can match empty
}

TEST(CandidateLists, SetsWithEscapedBracketsEndAtTheRightBracket) {
  EXPECT_EQ(candidateBytes("[%]a]b"), "]a");
  EXPECT_EQ(candidateBytes("[]x]"), "]x");
  EXPECT_EQ(candidateBytes("[^%d]").size(), 245u);
  EXPECT_EQ(candidateBytes("[ab").size(), 255u);  // unterminated: kept everywhere
}

TEST(CandidateLists, AnchorsCapturesWildcardsAndSpecialItemsMatchEveryByte) {
  for (const char* pattern : {"^a", "$", "(a)", ".", "%bxy", "%f[%w]a", "%1", "%"}) {
    EXPECT_EQ(candidateBytes(pattern).size(), 255u) << pattern;
  }
}

TEST(CandidateLists, ByteZeroListsEveryRuleInOrder) {
  PreparedTokenizer tokenizer;
  for (const char* pattern : {"a", "%d+", "[xy]"}) tokenizer.rules.emplace_back().startPattern = pattern;
  buildCandidateLists(tokenizer);
  EXPECT_EQ(tokenizer.candidates[0], (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(tokenizer.candidates[static_cast<unsigned char>('a')], (std::vector<uint32_t>{0}));
  EXPECT_EQ(tokenizer.candidates[static_cast<unsigned char>('7')], (std::vector<uint32_t>{1}));
  EXPECT_TRUE(tokenizer.candidates[static_cast<unsigned char>('z')].empty());
}

size_t attached(const std::string& before, const std::string& token) {
  const std::string line = before + token;
  return attachedPrefixLength(line.data(), line.data() + before.size(), line.data() + line.size());
}

TEST(Utf8Attach, MarksJoinersAndSecondRegionalIndicatorsAttach) {
  EXPECT_EQ(attached("e", "\u0301x"), 2u);
  EXPECT_EQ(attached("e", "\u0301\u0302"), 4u);
  EXPECT_EQ(attached("\U0001F1FA", "\U0001F1F8"), 4u);
  EXPECT_EQ(attached("x", "\U0001F1F8"), 0u);
  EXPECT_EQ(attached("a", "\u200D\U0001F469"), 3u);
  EXPECT_EQ(attached("\U0001F44D", "\U0001F3FD"), 4u);
  EXPECT_EQ(attached("a", "\xFE\x01"), 0u);
  EXPECT_EQ(attached("\xCC", "\u0301"), 0u);  // the code point before cannot be decoded
}

TEST(Utf8Attach, StrictDecodingRefusesBadSequences) {
  uint32_t cp = 0;
  const auto decode = [&](const std::string& s) { return decodeUtf8Strict(s.data(), s.data() + s.size(), &cp); };
  EXPECT_EQ(decode("\xC0\x80"), 0u);
  EXPECT_EQ(decode("\xED\xA0\x80"), 0u);
  EXPECT_EQ(decode("\xF4\x90\x80\x80"), 0u);
  EXPECT_EQ(decode("\xE2\x82"), 0u);
  EXPECT_EQ(decode("\xE2\x82\xAC"), 3u);
  EXPECT_EQ(cp, 0x20ACu);
}

TEST(Outline, ErrorIndexStaysOnTheFailingRule) {
  PreparedOutline outline;
  outline.rules.resize(3);
  const char* const patterns[] = {"a", "b", "%f"};
  for (size_t k = 0; k < 3; ++k) {
    outline.rules[k].hasPattern = true;
    outline.rules[k].pattern = patterns[k];
    compileOutlinePattern(outline.rules[k]);
  }
  EXPECT_THROW(scanOutline(outline, "zzz", std::nullopt, std::nullopt, OutlineKind::Any), PatternError);
  EXPECT_EQ(outline.errorIndex, 3u);
  EXPECT_EQ(scanOutline(outline, "b", std::nullopt, std::nullopt, OutlineKind::Any).rule, &outline.rules[1]);
  EXPECT_EQ(outline.errorIndex, 0u);
}

}  // namespace
