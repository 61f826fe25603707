// Where a long text is cut into the pieces HarfBuzz shapes: where HarfBuzz says it is safe, else after white
// space, else between grapheme clusters, else anywhere, each piece within the bound and together the whole
// text; the windows shaped add up to a few times the text wherever HarfBuzz calls places safe.
#include "fonts/shaping_pieces.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fonts/codepoints.h"
#include "shaping_test_text.h"

namespace {

using shapingtest::codepointCount;
using shapingtest::repeated;

// The byte lengths of the pieces of the text when HarfBuzz calls no place safe: each is its window, within
// the bound, and the pieces make the whole text.
std::vector<uint32_t> pieceLengths(const std::string& text, size_t bound) {
  std::vector<uint32_t> lengths;
  ShapingWalk walk(text.c_str(), text.size(), bound);
  size_t start = 0;
  while (!walk.done()) {
    const ShapingWindow window = walk.window();
    EXPECT_EQ(window.start, start);
    EXPECT_LE(codepointCount(text, start, window.end - start), bound);
    const uint32_t end = walk.endPiece(0);
    EXPECT_EQ(end, window.end);
    EXPECT_GT(end, start);
    lengths.push_back(static_cast<uint32_t>(end - start));
    start = end;
  }
  EXPECT_EQ(start, text.size()) << "the pieces make the whole text";
  return lengths;
}

TEST(ShapingPieces, WithNoSafeCutAfterSpaceElseBetweenGraphemesElseAnywhere) {
  const std::string acute = "\xCC\x81";                    // U+0301, 2 bytes
  const std::string noBreakSpace = "\xC2\xA0";             // U+00A0, white space too
  const std::string ideographicSpace = "\xE3\x80\x80";     // U+3000
  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";  // man ZWJ woman: one cluster
  const struct {
    const char* name;
    std::string text;
    size_t bound;
    std::vector<uint32_t> lengths;
  } cases[] = {
      {"shorter than the bound", "abc def", 8, {7}},
      {"exactly the bound", "abcdefgh", 8, {8}},
      {"after the last space in the window", "ab cd ef gh", 8, {6, 5}},
      {"a space that ends the window", "abcdefg hij", 8, {8, 3}},
      {"not after a space a mark follows", "ab " + acute + "cdefghij", 8, {9, 4}},
      {"not after a space a mark follows past the window", "abcdefg " + acute + "hij", 8, {7, 6}},
      {"a tab and a line break are white space", "ab\tcd\nefghij", 6, {6, 6}},
      {"no-break and ideographic spaces", "ab" + noBreakSpace + "cdefgh" + ideographicSpace + "ij", 8, {4, 9, 2}},
      {"no space: between letters", "abcdefghijk", 4, {4, 4, 3}},
      {"no space: before the letter that starts a cluster", "a" + acute + acute + "b" + acute + "cde", 4, {5, 5, 1}},
      {"a cluster the window ends in is left whole", "ab" + acute + acute + acute + "c", 4, {1, 7, 1}},
      {"one cluster longer than the bound: anywhere", "a" + repeated(acute, 9), 4, {7, 8, 4}},
      {"an emoji sequence stays whole", "ab" + family, 3, {2, 11}},
      {"a bound of one", "ab" + acute, 1, {1, 1, 2}},
      {"the empty text", "", 4, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pieceLengths(c.text, c.bound), c.lengths);
  }
  EXPECT_TRUE(ShapingWalk(nullptr, 3).done());
}

// A bad byte is one codepoint, as the decoder reads it, and a piece may end at it.
TEST(ShapingPieces, BadSequencesCountAsOneCodepointPerByte) {
  const std::string text = "ab\xE2\x82xyz\xFF";
  EXPECT_EQ(pieceLengths(text, 3), (std::vector<uint32_t>{3, 3, 2}));
}

// A window's shortest cut lies past the bound's first quarter and its latest cut an eighth of the bound
// before its end (each at least one codepoint); the last window trusts HarfBuzz up to its end.
TEST(ShapingPieces, AWindowTrustsSafeCutsFromAQuarterOfTheBoundToAnEighthBeforeItsEnd) {
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  const std::string eAcute = "\xC3\xA9";
  const struct {
    std::string text;
    size_t bound;
    uint32_t end, shortestCut, latestCut;
  } cases[] = {
      {letters, 16, 16, 4, 14},
      {letters, 15, 15, 3, 14},
      {letters, 8, 8, 2, 7},
      {letters, 3, 3, 1, 2},
      {letters, 1, 1, 1, 0},
      {letters, 26, 26, 6, 26},
      {letters, 40, 26, 10, 26},
      {"ab cdefghijklmnopqrstuvwxyz", 16, 3, 3, 1},
      {"ab", 16, 2, 2, 2},
      {"", 16, 0, 0, 0},
      {repeated(eAcute, 20), 8, 16, 4, 14},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text + ", bound " + std::to_string(c.bound));
    const ShapingWalk walk(c.text.c_str(), c.text.size(), c.bound);
    EXPECT_EQ(walk.window().start, 0u);
    EXPECT_EQ(walk.window().end, c.end);
    EXPECT_EQ(walk.window().shortestCut, c.shortestCut);
    EXPECT_EQ(walk.window().latestCut, c.latestCut);
    EXPECT_EQ(walk.done(), c.text.empty());
  }
}

// A safe cut after the window's start and by its latest cut ends the piece (the first window may take even
// a short one); one past the latest cut, or inside a codepoint, does not, and the piece is the window. The
// last window is one piece whatever HarfBuzz says.
TEST(ShapingPieces, ASafeCutEndsThePieceWhenHarfBuzzCanBeTrustedThere) {
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";  // bound 16: end 16, shortest cut 4, latest cut 14
  const std::string eAcutes = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
  const struct {
    const char* name;
    std::string text;
    size_t bound;
    size_t safeCut;
    uint32_t end;
  } cases[] = {
      {"none", letters, 16, 0, 16},
      {"right after the start", letters, 16, 1, 1},
      {"at the shortest cut", letters, 16, 4, 4},
      {"at the latest cut", letters, 16, 14, 14},
      {"past the latest cut", letters, 16, 15, 16},
      {"at the window's end", letters, 16, 16, 16},
      {"past the window's end", letters, 16, 17, 16},
      {"inside a codepoint", eAcutes, 8, 5, 16},
      {"at a codepoint", eAcutes, 8, 6, 6},
      {"the last window", "abc", 16, 1, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ShapingWalk walk(c.text.c_str(), c.text.size(), c.bound);
    EXPECT_EQ(walk.endPiece(c.safeCut), c.end);
    EXPECT_EQ(walk.window().start, c.end) << "the next window begins where the piece ends";
  }
}

// A safe cut short of the shortest cut is taken while the codepoints shaped, with the window's, stay within
// four times those covered, with the piece's, and one window more (16 codepoints here).
TEST(ShapingPieces, AShortSafeCutIsTakenWhileTheWorkStaysWithinFourTimesTheText) {
  const std::string letters = "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz";
  ShapingWalk walk(letters.c_str(), letters.size(), 16);
  const struct {
    size_t safeCut;
    uint32_t end;
    size_t shaped;  // codepoints in the windows, with the next one
  } steps[] = {
      {3, 3, 32},     // 16 shaped <= 4 x 3 covered + 16
      {5, 5, 48},     // 32 <= 4 x 5 + 16
      {7, 21, 64},    // 48 > 4 x 7 + 16: the whole window
      {23, 23, 80},   // 64 <= 4 x 23 + 16
      {25, 25, 96},   // 80 <= 4 x 25 + 16
      {27, 27, 112},  // 96 <= 4 x 27 + 16
      {29, 29, 128},  // 112 <= 4 x 29 + 16
      {31, 31, 144},  // 128 <= 4 x 31 + 16
      {33, 33, 160},  // 144 <= 4 x 33 + 16
      {35, 49, 163},  // 160 > 4 x 35 + 16; the last window holds 3 codepoints
      {51, 52, 163},  // the last window is one piece
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.safeCut);
    EXPECT_EQ(walk.endPiece(step.safeCut), step.end);
    EXPECT_EQ(walk.shapedCodepoints(), step.shaped);
  }
  EXPECT_TRUE(walk.done());
}

// However HarfBuzz calls places safe (never, right after each window's start, just short of or at the
// shortest cut, at fixed places in the text), the windows add up to a few times the text, for words, an
// unspaced run, stacks of marks and texts whose windows end early.
TEST(ShapingPieces, TheWindowsAddUpToAFewTimesTheText) {
  using SafeCut = size_t (*)(const std::string&, const ShapingWindow&);
  const struct {
    const char* name;
    SafeCut safeCut;
  } oracles[] = {
      {"never", [](const std::string&, const ShapingWindow&) -> size_t { return 0; }},
      {"right after the start",
       [](const std::string& text, const ShapingWindow& w) -> size_t {
         uint32_t codepoint = 0;
         return static_cast<size_t>(nextUtf8CodepointUnchecked(text.c_str() + w.start, codepoint) - text.c_str());
       }},
      {"just short of the shortest cut",
       [](const std::string& text, const ShapingWindow& w) -> size_t {
         size_t before = w.start;
         for (size_t at = w.start; at < w.shortestCut;) {
           before = at;
           uint32_t codepoint = 0;
           at = static_cast<size_t>(nextUtf8CodepointUnchecked(text.c_str() + at, codepoint) - text.c_str());
         }
         return before;
       }},
      {"at the shortest cut", [](const std::string&, const ShapingWindow& w) -> size_t { return w.shortestCut; }},
      {"every 300 bytes",
       [](const std::string&, const ShapingWindow& w) -> size_t {
         return w.latestCut / 300 * 300 > w.start ? w.latestCut / 300 * 300 : 0;
       }},
  };
  const std::string texts[] = {repeated("lorem ipsum ", 2000),         repeated("abcdefghij", 2400),
                               "a" + repeated("\xCC\x81", 24000),      repeated("x" + repeated("\xCC\x81", 300), 80),
                               repeated(" " + repeated("a", 300), 80), repeated(" a" + repeated("\xCC\x81", 300), 80)};
  for (const std::string& text : texts) {
    const size_t textCodepoints = codepointCount(text, 0, text.size());
    for (const auto& oracle : oracles) {
      SCOPED_TRACE(oracle.name);
      ShapingWalk walk(text.c_str(), text.size());
      size_t shaped = 0;
      while (!walk.done()) {
        const ShapingWindow window = walk.window();
        shaped += codepointCount(text, window.start, window.end - window.start);
        ASSERT_GT(walk.endPiece(oracle.safeCut(text, window)), window.start);
      }
      EXPECT_EQ(walk.shapedCodepoints(), shaped);
      EXPECT_LE(shaped, 5 * textCodepoints) << textCodepoints << " codepoints";
    }
  }
}

// Safe places that lie no further apart than the part of a window HarfBuzz is trusted in are where every
// piece ends, even where every other piece is short (safe places 200, then 40 codepoints apart, over and
// over: a window from the first of a pair reaches only the second).
TEST(ShapingPieces, SparseSafePlacesAreWhereEveryPieceEnds) {
  const std::string text = repeated("abcdefghij", 2000);
  const auto isSafePlace = [](size_t at) { return at % 240 == 0 || at % 240 == 200; };
  ShapingWalk walk(text.c_str(), text.size());
  while (!walk.done()) {
    const ShapingWindow window = walk.window();
    size_t safeCut = 0;
    for (size_t at = window.start + 1; at <= window.latestCut; ++at) {
      if (isSafePlace(at)) safeCut = at;
    }
    const uint32_t end = walk.endPiece(safeCut);
    if (end < text.size()) {
      EXPECT_TRUE(isSafePlace(end)) << end;
    }
  }
  EXPECT_LE(walk.shapedCodepoints(), 3 * text.size());
}

// The default bound over texts of thousands of codepoints: every piece but the last is close to the bound
// where cuts are plentiful, so a long text is shaped in few pieces.
TEST(ShapingPieces, LongTextsComeInPiecesNearTheBound) {
  const std::string words = repeated("lorem ipsum ", 1000);
  const std::vector<uint32_t> lengths = pieceLengths(words, kShapingPieceCodepoints);
  ASSERT_GT(lengths.size(), 1u);
  size_t end = 0;
  for (size_t i = 0; i + 1 < lengths.size(); ++i) {
    EXPECT_GE(lengths[i], kShapingPieceCodepoints - 12) << i;
    end += lengths[i];
    EXPECT_EQ(words[end - 1], ' ') << i;
  }
  const std::string marks = "a" + repeated("\xD9\x8E\xEF\xBB\xBF", 5000);  // fatha, U+FEFF
  for (const uint32_t length : pieceLengths(marks, kShapingPieceCodepoints)) {
    EXPECT_LE(length, 3 * kShapingPieceCodepoints);
  }
}

}  // namespace
