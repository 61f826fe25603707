// NFC and grapheme clusters against the conformance files of the installed unicode-data package:
// NormalizationTest.txt (decompressed into the build tree) and GraphemeBreakTest.txt.
#include "text/utf8_normalize.h"

#include <gtest/gtest.h>

#include <fstream>
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
