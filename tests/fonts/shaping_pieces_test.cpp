// Where a long text is cut into the pieces HarfBuzz shapes: after white space, else between grapheme
// clusters, else anywhere, each piece within the bound and together the whole text.
#include "fonts/shaping_pieces.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fonts/codepoints.h"

namespace {

std::string repeated(const std::string& piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

size_t codepointCount(const std::string& text, size_t start, size_t length) {
  size_t count = 0;
  for (const char* at = text.c_str() + start; at < text.c_str() + start + length; ++count) {
    uint32_t codepoint = 0;
    at = nextUtf8CodepointUnchecked(at, codepoint);
  }
  return count;
}

// The byte lengths of the pieces.
std::vector<uint32_t> pieceLengths(const std::string& text, size_t bound) {
  const std::vector<ShapingPiece> pieces = shapingPieces(text.c_str(), text.size(), bound);
  std::vector<uint32_t> lengths;
  uint32_t next = 0;
  for (const ShapingPiece& piece : pieces) {
    EXPECT_EQ(piece.start, next) << "pieces follow one another";
    EXPECT_GT(piece.length, 0u);
    EXPECT_LE(codepointCount(text, piece.start, piece.length), bound);
    next = piece.start + piece.length;
    lengths.push_back(piece.length);
  }
  EXPECT_EQ(next, text.size()) << "the pieces make the whole text";
  return lengths;
}

TEST(ShapingPieces, CutAfterSpaceElseBetweenGraphemesElseAnywhere) {
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
      {"a tab and a line break are white space", "ab\tcd\nefghij", 6, {6, 6}},
      {"no-break and ideographic spaces", "ab" + noBreakSpace + "cdefgh" + ideographicSpace + "ij", 8,
       {4, 9, 2}},
      {"no space: between letters", "abcdefghijk", 4, {4, 4, 3}},
      {"no space: before the letter that starts a cluster", "a" + acute + acute + "b" + acute + "cde", 4,
       {5, 5, 1}},
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
  EXPECT_TRUE(shapingPieces(nullptr, 3).empty());
}

// A bad byte is one codepoint, as the decoder reads it, and a piece may end at it.
TEST(ShapingPieces, BadSequencesCountAsOneCodepointPerByte) {
  const std::string text = "ab\xE2\x82xyz\xFF";
  EXPECT_EQ(pieceLengths(text, 3), (std::vector<uint32_t>{3, 3, 2}));
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
