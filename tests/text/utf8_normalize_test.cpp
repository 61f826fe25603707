// NFC and grapheme clusters against the conformance files of the installed unicode-data package:
// NormalizationTest.txt (decompressed into the build tree) and GraphemeBreakTest.txt.
#include "text/utf8_normalize.h"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "text/utf8_codec.h"

namespace {

std::string encodeHexSequence(const std::string& hexCodes) {
  std::stringstream stream(hexCodes);
  std::string out;
  for (std::string code; stream >> code;) appendUtf8(out, static_cast<uint32_t>(std::stoul(code, nullptr, 16)));
  return out;
}

std::string nfcOf(const std::string& text) {
  std::string out;
  return normalizeNfc(text, &out) ? text : out;
}

TEST(Utf8Normalize, FollowsNormalizationTest) {
  std::ifstream file(QZ_NORMALIZATION_TEST);
  ASSERT_TRUE(file);
  std::vector<bool> listed(0x110000);
  bool partOne = false;
  int lines = 0;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("@Part", 0) == 0) partOne = line.rfind("@Part1", 0) == 0;
    if (line.empty() || line[0] == '#' || line[0] == '@') continue;
    std::vector<std::string> columns;
    std::stringstream stream(line);
    for (std::string column; columns.size() < 5 && std::getline(stream, column, ';');) {
      columns.push_back(encodeHexSequence(column));
    }
    ASSERT_EQ(columns.size(), 5u) << line;
    if (partOne) listed[std::stoul(line, nullptr, 16)] = true;
    const std::string expected[] = {columns[1], columns[1], columns[1], columns[3], columns[3]};
    for (int k = 0; k < 5; ++k) {
      ASSERT_EQ(nfcOf(columns[k]), expected[k]) << line << " column " << k + 1;
      ASSERT_EQ(isNfc(columns[k]), columns[k] == expected[k]) << line << " column " << k + 1;
    }
    ++lines;
  }
  EXPECT_GT(lines, 18000);
  for (uint32_t c = 0; c < 0x110000; ++c) {
    if (listed[c] || (c >= 0xD800 && c <= 0xDFFF)) continue;
    std::string text;
    appendUtf8(text, c);
    ASSERT_TRUE(isNfc(text)) << std::hex << c;
    ASSERT_EQ(nfcOf(text), text) << std::hex << c;
  }
}

// NFC as utf8proc gives it for the whole text at once.
std::string utf8procNfc(const std::string& text) {
  utf8proc_uint8_t* result = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                   &result, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  std::string out = length >= 0 ? std::string(reinterpret_cast<const char*>(result), static_cast<size_t>(length)) : "";
  std::free(result);
  return out;
}

std::string repeated(const std::string& piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

// Bases, characters that decompose into a base and marks or into marks alone, Hangul jamo, and marks of many
// classes (among them several of one class, whose order must hold).
TEST(Utf8Normalize, OrdersAndComposesMarkRunsAsUtf8procDoesOnTheWholeText) {
  const uint32_t bases[] = {'a', 'e', 0xE9, 0x1E69, 0x1100, 0x1161, 0x11A8, 0xAC00, 0x212B, 0x344, 0xF73, 0xF71, ' '};
  const uint32_t marks[] = {0x300, 0x301, 0x302, 0x308, 0x316, 0x317, 0x323, 0x327, 0x328,  0x334,  0x345, 0x5B0,
                            0x5B9, 0x64B, 0x650, 0x94D, 0x93C, 0xF71, 0xF72, 0xF74, 0x1DCE, 0x20D2, 0x302A};
  std::mt19937 random(361);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int pieces = static_cast<int>(random() % 6);
    for (int piece = 0; piece < pieces; ++piece) {
      appendUtf8(text, bases[random() % std::size(bases)]);
      const size_t run = random() % 8 == 0 ? 20 + random() % 300 : random() % 6;
      for (size_t k = 0; k < run; ++k) appendUtf8(text, marks[random() % std::size(marks)]);
    }
    const std::string expected = utf8procNfc(text);
    ASSERT_EQ(nfcOf(text), expected) << round;
    ASSERT_EQ(isNfc(text), text == expected) << round;
  }
}

TEST(Utf8Normalize, NormalizesARunOfAMillionMarks) {
  // The marks alternate between classes 230 and 220: canonical order puts every 220 first, and the first 230
  // composes with the base.
  const std::string marks = repeated("\xCC\x81\xCC\x96", 500000);
  std::string out;
  ASSERT_FALSE(normalizeNfc("a" + marks, &out));
  const std::string expected = "\xC3\xA1" + repeated("\xCC\x96", 500000) + repeated("\xCC\x81", 499999);
  EXPECT_TRUE(out == expected);
  EXPECT_FALSE(isNfc("a" + marks));
  EXPECT_TRUE(isNfc(expected));
  // U+0F73 decomposes into two marks of classes 129 and 130, which canonical order separates.
  ASSERT_FALSE(normalizeNfc("x" + repeated("\xE0\xBD\xB3", 500000), &out));
  EXPECT_TRUE(out == "x" + repeated("\xE0\xBD\xB1", 500000) + repeated("\xE0\xBD\xB2", 500000));
}

TEST(Utf8Normalize, RefusesInvalidText) {
  for (const std::string text : {"\xFF", "a\xED\xA0\x80", "\xC3", "x\xCC\x96\xCC\x81\x80"}) {
    std::string out;
    EXPECT_THROW(normalizeNfc(text, &out), Utf8Error) << text;
    EXPECT_THROW(isNfc(text), Utf8Error) << text;
  }
}

TEST(Utf8Normalize, AnswersWhetherNfcBeforeABadSequence) {
  for (const std::string text : {"e\xCC\x81\x80", "\xE2\x84\xAB\xFF", "a\xCC\x96\xCC\x80\xCC\x81\xFF"}) {
    std::string out;
    EXPECT_FALSE(isNfc(text)) << text;
    EXPECT_THROW(normalizeNfc(text, &out), Utf8Error) << text;
  }
}

TEST(Utf8Normalize, ClustersFollowGraphemeBreakTest) {
  std::ifstream file(QZ_UCD_DIR "/auxiliary/GraphemeBreakTest.txt");
  ASSERT_TRUE(file);
  int lines = 0;
  for (std::string line; std::getline(file, line);) {
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    std::stringstream stream(line);
    std::string text;
    std::vector<size_t> expectedEnds;
    for (std::string token; stream >> token;) {
      if (token == "\xC3\xB7") {  // the division sign marks a break
        if (!text.empty()) expectedEnds.push_back(text.size());
      } else if (token != "\xC3\x97") {  // the multiplication sign marks none
        appendUtf8(text, static_cast<uint32_t>(std::stoul(token, nullptr, 16)));
      }
    }
    GraphemeCursor cursor;
    std::vector<size_t> ends;
    for (size_t at = 0; at < text.size(); at = ends.back()) ends.push_back(cursor.clusterEnd(text, at));
    ASSERT_EQ(ends, expectedEnds) << line;
    ++lines;
  }
  EXPECT_GT(lines, 600);
}

}  // namespace
