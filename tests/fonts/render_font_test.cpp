// Loading faces: metrics, info strings, size handling, bitmap strikes, HarfBuzz objects and memory.
#include <gtest/gtest.h>
#include <hb.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "font_test_support.h"
#include "fonts/bitmap_strikes.h"
#include "fonts/codepoints.h"

namespace {

using fonttest::FontTest;

TEST_F(FontTest, Load_DejaVuSansAt14HasItsMetricsAndInfo) {
  auto font = loadOrFail(fonttest::kSans, 14);
  EXPECT_FALSE(font->isGroup());
  EXPECT_TRUE(font->isReady());
  EXPECT_EQ(font->height(), 17);
  EXPECT_EQ(font->baseline(), 13);
  EXPECT_EQ(font->tabWidth(), 16);
  EXPECT_TRUE(font->lineGap());
  EXPECT_TRUE(font->antialias());
  EXPECT_EQ(font->path(), fonttest::kSans);
  const FontInfo& info = font->info();
  EXPECT_EQ(info.familyName, "DejaVu Sans");
  EXPECT_EQ(info.styleName, "Book");
  EXPECT_EQ(info.version, "Version 2.37");
  EXPECT_EQ(info.outlineFormat, "TrueType");
  EXPECT_EQ(info.glyphCount, 6253);
  EXPECT_EQ(info.faceCount, 1);
  EXPECT_EQ(info.faceIndex, 0);
  EXPECT_EQ(info.scalable, 1);
  EXPECT_EQ(info.color, 0);
}

TEST_F(FontTest, Load_FailsForMissingEmptyAndUnreadableFiles) {
  EXPECT_EQ(RenderFont::load(nullptr, 14, 0), nullptr);
  EXPECT_EQ(RenderFont::load("", 14, 0), nullptr);
  EXPECT_EQ(RenderFont::load("/nonexistent/DejaVuSans.ttf", 14, 0), nullptr);
  fonttest::TempPath empty("empty_font");
  { std::ofstream(empty.path()).flush(); }
  EXPECT_EQ(RenderFont::load(empty.c_str(), 14, 0), nullptr);
  fonttest::TempPath garbage("garbage_font");
  { std::ofstream(garbage.path()) << "this is not a font file"; }
  EXPECT_EQ(RenderFont::load(garbage.c_str(), 14, 0), nullptr);
  EXPECT_EQ(RenderFont::load(::testing::TempDir().c_str(), 14, 0), nullptr);
}

TEST_F(FontTest, Load_RefusesNonFiniteAndHugeSizes) {
  EXPECT_EQ(RenderFont::load(fonttest::kSans, std::numeric_limits<float>::quiet_NaN(), 0), nullptr);
  EXPECT_EQ(RenderFont::load(fonttest::kSans, std::numeric_limits<float>::infinity(), 0), nullptr);
  EXPECT_EQ(RenderFont::load(fonttest::kSans, 1e30f, 0), nullptr);
  EXPECT_EQ(RenderFont::load(fonttest::kSans, 70000.0f, 0), nullptr);
  setFontLoadTiming(true, 10.0);
  EXPECT_EQ(RenderFont::load(fonttest::kSans, std::numeric_limits<float>::quiet_NaN(), 0), nullptr);
  char line[DiagnosticRing::kTextBytes];
  ASSERT_TRUE(takeFontLoadLog(line, sizeof line));
  EXPECT_EQ(std::string(line).rfind("[font-load] fail", 0), 0u) << line;
}

TEST_F(FontTest, Load_LogNamesAPathWithAZeroByteWhole) {
  // The text before the zero byte names a loadable font, which the line must not name instead.
  setFontLoadTiming(true, 10.0);
  const std::string path = std::string(fonttest::kSans) + std::string("\0.ignored", 9);
  EXPECT_EQ(RenderFont::load(path, 14, 0), nullptr);
  char line[DiagnosticRing::kTextBytes];
  ASSERT_TRUE(takeFontLoadLog(line, sizeof line));
  const std::string text = line;
  EXPECT_NE(text.find(" file=" + std::string(fonttest::kSans) + "\\0.ignored (the path holds a zero byte)"),
            std::string::npos)
      << text;
}

TEST_F(FontTest, Load_TinySizesStillGetACharHeight) {
  auto font = loadOrFail(fonttest::kSans, 0.001f);
  EXPECT_GE(font->height(), 0);
  EXPECT_GE(font->tabWidth(), 0);
}

TEST_F(FontTest, Load_ClampsEmbolden) {
  EXPECT_FLOAT_EQ(loadOrFail(fonttest::kSans, 14, -1.0f)->embolden(), 0.0f);
  EXPECT_FLOAT_EQ(loadOrFail(fonttest::kSans, 14, 5.0f)->embolden(), 2.0f);
  EXPECT_FLOAT_EQ(loadOrFail(fonttest::kSans, 14, std::numeric_limits<float>::quiet_NaN())->embolden(), 0.0f);
}

// A valid font padded past the cap, and a file too big for memory, are refused by their size before any byte
// is read or allocated.
TEST_F(FontTest, Load_RefusesFilesAboveTheSizeCapBeforeReadingThem) {
  fonttest::TempPath padded("padded_font");
  padded.copyFrom(fonttest::kSans);
  ASSERT_NE(RenderFont::load(padded.c_str(), 14, 0), nullptr);  // FreeType ignores what follows the tables
  for (const off_t size : {off_t{kMaxFontFileBytes} + 1, off_t{1} << 43}) {
    if (truncate(padded.c_str(), size) != 0) GTEST_SKIP() << "no sparse file of " << size << " bytes here";
    EXPECT_EQ(RenderFont::load(padded.c_str(), 14, 0), nullptr) << size;
  }
}

TEST_F(FontTest, Serial_IsUniquePerFont) {
  auto a = loadOrFail(fonttest::kSans, 14);
  auto b = loadOrFail(fonttest::kSans, 14);
  EXPECT_NE(a->serial(), b->serial());
  EXPECT_NE(a->serial(), 0u);
}

TEST(BitmapStrikes, NearestStrikeWinsAndTheEarlierOnATie) {
  EXPECT_EQ(nearestStrikeIndex({109, 136}, 120.0f), 0);  // 11 against 16
  EXPECT_EQ(nearestStrikeIndex({109, 136}, 130.0f), 1);
  EXPECT_EQ(nearestStrikeIndex({10, 14}, 12.0f), 0);
  EXPECT_EQ(nearestStrikeIndex({1, 2}, 0.4f), 0);  // the target is at least 1
  EXPECT_EQ(nearestStrikeIndex({}, 12.0f), -1);
}

TEST(BitmapStrikes, FitBitmapSizeScalesWithinTheLimit) {
  int32_t w = 0;
  int32_t h = 0;
  ASSERT_TRUE(fitBitmapSize(128, 136, true, 0.1176f, w, h));
  EXPECT_EQ(w, 16);
  EXPECT_EQ(h, 15);
  EXPECT_FALSE(fitBitmapSize(128, 136, true, 40.0f, w, h));  // 5440 > 4096
  EXPECT_FALSE(fitBitmapSize(128, 136, true, 0.0f, w, h));
  EXPECT_FALSE(fitBitmapSize(128, 136, true, std::nanf(""), w, h));
  ASSERT_TRUE(fitBitmapSize(3, 2, true, 0.01f, w, h));
  EXPECT_EQ(w, 1);
  EXPECT_EQ(h, 1);
  ASSERT_TRUE(fitBitmapSize(4096, 4096, false, 0.0f, w, h));
  EXPECT_FALSE(fitBitmapSize(4097, 1, false, 1.0f, w, h));
  EXPECT_FALSE(fitBitmapSize(0, 5, false, 1.0f, w, h));
}

TEST_F(FontTest, PcfStrike_IsScaledToTheRequestedSize) {
  setAllowFontBitmapGlyphs(true);
  auto font = loadOrFail(fonttest::kFixed10x20, 40);
  EXPECT_TRUE(font->bitmapStrike());
  EXPECT_FLOAT_EQ(font->strikeScale(), 2.0f);
  EXPECT_EQ(font->info().outlineFormat, "PCF");
  EXPECT_EQ(font->info().scalable, 0);
  EXPECT_EQ(font->height(), 40);
  EXPECT_EQ(font->codepointAdvance('A').advance, 20);
  EXPECT_EQ(font->tabWidth(), 80);
}

TEST_F(FontTest, StrikeFont_WithoutBitmapPermissionTakesTheCharSizeRoad) {
  auto exact = loadOrFail(fonttest::kFixed10x20, 20);  // FreeType accepts the strike's own size
  EXPECT_FALSE(exact->bitmapStrike());
  EXPECT_FLOAT_EQ(exact->strikeScale(), 1.0f);
  EXPECT_EQ(RenderFont::load(fonttest::kFixed10x20, 14, 0), nullptr);  // no 14-pixel strike
}

TEST_F(FontTest, ColourStrike_LoadFlagsAskForColourOnlyWhenPermitted) {
  auto plain = loadOrFail(fonttest::kColorEmoji, 109);  // the strike's own size, permissions off
  EXPECT_TRUE(plain->colourFace());
  EXPECT_EQ(plain->loadFlags() & (1 << 20), 0);
  setAllowFontBitmapGlyphs(true);
  auto colour = loadOrFail(fonttest::kColorEmoji, 14);
  EXPECT_TRUE(colour->bitmapStrike());
  EXPECT_NE(colour->loadFlags() & (1 << 20), 0);
  EXPECT_EQ(colour->info().color, 1);
}

TEST_F(FontTest, HarfBuzzObjects_AreMadeForFacesOnly) {
  auto font = loadOrFail(fonttest::kSans, 14);
  EXPECT_NE(font->harfBuzzFont(), nullptr);
  EXPECT_NE(font->harfBuzzFace(), nullptr);
  font->releaseHarfBuzz();
  EXPECT_TRUE(font->ensureHarfBuzzFont());
  auto group = RenderFont::group({font});
  EXPECT_FALSE(group->ensureHarfBuzzFont());
  EXPECT_EQ(group->harfBuzzFont(), nullptr);
}

TEST_F(FontTest, HarfBuzz_TakesANewHintingModeAtTheNextUse) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const uint32_t glyph = font->glyphIndexFor('a');
  const hb_position_t hinted = hb_font_get_glyph_h_advance(font->harfBuzzFont(), glyph);
  EXPECT_EQ(hinted % 64, 0);  // hinted advances are whole pixels
  FontQuality quality;
  quality.hinting = kHintingNone;
  setFontQuality(quality);
  EXPECT_NE(hb_font_get_glyph_h_advance(font->harfBuzzFont(), glyph), hinted);
}

TEST_F(FontTest, MemoryBytes_CountsASharedMemberOnce) {
  auto shared = loadOrFail(fonttest::kSansMono, 14);
  const uint64_t alone = fontMemoryBytes(shared.get());
  EXPECT_GT(alone, shared->fileBytes().size());
  std::vector<std::shared_ptr<RenderFont>> firstMembers{shared};
  std::vector<std::shared_ptr<RenderFont>> secondMembers{shared};
  auto first = RenderFont::group(firstMembers);
  auto second = RenderFont::group(secondMembers);
  auto outer = RenderFont::group({first, second});
  const uint64_t groupMaps = kUnicodeLimit * 3;
  const uint64_t total = fontMemoryBytes(outer.get());
  EXPECT_GE(total, alone + 3 * groupMaps);
  EXPECT_LT(total, 2 * alone + 3 * groupMaps);
  EXPECT_EQ(fontMemoryBytes(nullptr), 0u);
}

}  // namespace
