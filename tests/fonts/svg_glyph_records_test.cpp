// Fonts whose 'SVG ' table lies about where a glyph's document is: the glyph becomes missing, on the main
// thread and in the worker's job, and nothing is read outside the table; the table's other documents stay
// usable.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "font_test_support.h"
#include "fonts/fallback_probe.h"
#include "fonts/freetype_library.h"
#include "fonts/svg_glyph_worker.h"

namespace {

using fonttest::FontTest;
using fonttest::TempPath;

uint32_t readU32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

void writeU32(std::string& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

// The fixture font's bytes and where its first document record and that document are.
struct SvgFixture {
  std::string bytes;
  size_t tableStart = 0, tableLength = 0, documentList = 0;
  size_t firstRecord() const { return documentList + 2; }
  size_t firstDocument() const { return documentList + readU32(bytes, firstRecord() + 4); }
  uint32_t firstLength() const { return readU32(bytes, firstRecord() + 8); }
};

SvgFixture loadSvgFixture() {
  SvgFixture fixture;
  std::ifstream in(QZ_SVG_FIXTURE_FONT, std::ios::binary);
  fixture.bytes.assign(std::istreambuf_iterator<char>(in), {});
  const size_t tables = static_cast<uint8_t>(fixture.bytes[4]) << 8 | static_cast<uint8_t>(fixture.bytes[5]);
  for (size_t i = 0; i < tables; ++i) {
    if (fixture.bytes.compare(12 + 16 * i, 4, "SVG ") != 0) continue;
    fixture.tableStart = readU32(fixture.bytes, 12 + 16 * i + 8);
    fixture.tableLength = readU32(fixture.bytes, 12 + 16 * i + 12);
  }
  fixture.documentList = fixture.tableStart + readU32(fixture.bytes, fixture.tableStart + 2);
  return fixture;
}

// The glyph of codepoint A (in the first document) as the main thread and a worker job settle it, whether
// groups and the fallback probe count it as usable, and whether a job for E (in the second document) still
// renders.
struct Outcome {
  bool mainMissing, jobSucceeded, usableInGroups, usableToProbe, otherDocumentRenders;
};

Outcome settleGlyphs(const std::string& fontBytes) {
  const TempPath path("lying_svg_records.ttf");
  std::ofstream(path.path(), std::ios::binary) << fontBytes;
  setAllowFontSvgGlyphs(true);
  const std::shared_ptr<RenderFont> font = RenderFont::load(path.c_str(), 20.0f, 0.0f);
  EXPECT_NE(font, nullptr);
  if (!font) return {};
  FT_LibraryRec_* library = sharedFreeTypeLibrary();
  Outcome outcome{};
  outcome.jobSucceeded = runSvgGlyphJob(font, 'A', false, library).succeeded != 0;
  outcome.otherDocumentRenders = runSvgGlyphJob(font, 'E', false, library).succeeded != 0;
  outcome.usableInGroups = font->hasCodepoint('A');
  ProbeCounts counts;
  outcome.usableToProbe = FallbackProbeCache().probe(path.path(), 'A', counts) == ProbeResult::Usable;
  font->glyphBitmapForCodepoint('A');
  const GlyphMetricEntry& entry = font->glyphMetrics('A');
  outcome.mainMissing = entry.missing && entry.bitmapSettled && !entry.bitmapUnavailable;
  return outcome;
}

TEST_F(FontTest, SvgRecordThatLiesMakesTheGlyphMissing) {
  const SvgFixture fixture = loadSvgFixture();
  ASSERT_GT(fixture.tableLength, 0u);
  const size_t record = fixture.firstRecord();
  const uint32_t offset = readU32(fixture.bytes, record + 4);
  const uint32_t toTableEnd = static_cast<uint32_t>(fixture.tableStart + fixture.tableLength - fixture.firstDocument());
  // The first record's offset (relative to the document list) and length.
  const auto recordSays = [record](uint32_t at, uint32_t length) {
    return [=](std::string& bytes) {
      writeU32(bytes, record + 4, at);
      writeU32(bytes, record + 8, length);
    };
  };
  const struct {
    const char* what;
    std::function<void(std::string&)> lie;
  } lies[] = {
      {"length past the file", recordSays(offset, 0x7fffffff)},
      {"length one byte past the table", recordSays(offset, toTableEnd + 1)},
      {"offset past the file", recordSays(0xfffffff0, 16)},
      {"a gzip document whose last four bytes declare 4 GiB uncompressed",
       [&fixture](std::string& bytes) {
         std::memcpy(bytes.data() + fixture.firstDocument(), "\x1f\x8b\x08", 3);
         writeU32(bytes, fixture.firstDocument() + fixture.firstLength() - 4, 0xffffffff);
       }},
  };
  for (const auto& lie : lies) {
    std::string bytes = fixture.bytes;
    lie.lie(bytes);
    const Outcome outcome = settleGlyphs(bytes);
    EXPECT_TRUE(outcome.mainMissing) << lie.what;
    EXPECT_FALSE(outcome.jobSucceeded) << lie.what;
    EXPECT_FALSE(outcome.usableInGroups) << lie.what;
    EXPECT_FALSE(outcome.usableToProbe) << lie.what;
    EXPECT_TRUE(outcome.otherDocumentRenders) << lie.what;
  }
}

TEST_F(FontTest, SvgRecordIsFoundAsFreeTypeFindsIt) {
  // FreeType tests a record's first glyph before its last: a last record listing glyphs 100 to 0 does not
  // end the search for glyph 13 (E), which then finds the second record, lying about its offset.
  const SvgFixture fixture = loadSvgFixture();
  std::string bytes = fixture.bytes;
  const size_t second = fixture.firstRecord() + 12, third = second + 12;
  writeU32(bytes, second + 4, 0xfffffff0);
  writeU32(bytes, third, 100u << 16);
  const TempPath path("reversed_svg_range.ttf");
  std::ofstream(path.path(), std::ios::binary) << bytes;
  setAllowFontSvgGlyphs(true);
  const std::shared_ptr<RenderFont> font = RenderFont::load(path.c_str(), 20.0f, 0.0f);
  ASSERT_NE(font, nullptr);
  EXPECT_EQ(runSvgGlyphJob(font, 'E', false, sharedFreeTypeLibrary()).succeeded, 0);
  EXPECT_FALSE(font->hasCodepoint('E'));
  font->glyphBitmapForCodepoint('E');
  EXPECT_TRUE(font->glyphMetrics('E').missing);
  EXPECT_NE(runSvgGlyphJob(font, 'A', false, sharedFreeTypeLibrary()).succeeded, 0);
}

TEST_F(FontTest, SvgRecordsOfTheFixtureAreSound) {
  const Outcome outcome = settleGlyphs(loadSvgFixture().bytes);
  EXPECT_TRUE(outcome.jobSucceeded);
  EXPECT_TRUE(outcome.otherDocumentRenders);
  EXPECT_TRUE(outcome.usableInGroups);
  EXPECT_TRUE(outcome.usableToProbe);
  EXPECT_FALSE(outcome.mainMissing);
}

}  // namespace
