// Atlas page placement: page sizes, shelves, the gaps between glyphs and the pixels copied in.
#include <gtest/gtest.h>

#include "font_test_support.h"

namespace {

using fonttest::FontTest;

struct Stored {
  uint16_t page;
  uint16_t x;
  uint16_t y;
  bool missing;
};

Stored store(RenderFont& font, int32_t width, int32_t height, uint32_t fill = 0xFF112233u) {
  RenderFont::GlyphMetricEntry entry;
  entry.width = width;
  entry.height = height;
  std::vector<uint32_t> pixels(static_cast<size_t>(std::max(width, 0)) * static_cast<size_t>(std::max(height, 0)),
                               fill);
  font.storeGlyphBitmap(pixels, entry);
  return {entry.atlasPage, entry.atlasX, entry.atlasY, entry.missing != 0};
}

TEST_F(FontTest, Atlas_FirstGlyphsShareAShelfWithAGap) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const Stored first = store(*font, 10, 12);
  EXPECT_EQ(first.page, 0);
  EXPECT_EQ(first.x, 0);
  EXPECT_EQ(first.y, 0);
  ASSERT_EQ(font->atlasPages().size(), 1u);
  EXPECT_EQ(font->atlasPages()[0].width, 128);
  EXPECT_EQ(font->atlasPages()[0].image->width, 128);
  const Stored second = store(*font, 5, 5);
  EXPECT_EQ(second.x, 11);
  EXPECT_EQ(second.y, 0);
}

TEST_F(FontTest, Atlas_PagesGrowWithTheFontAndNeverShrink) {
  auto font = loadOrFail(fonttest::kSans, 100);  // ceil(200) + 2 = 202: 256 pages
  store(*font, 250, 250);
  EXPECT_EQ(font->atlasPages()[0].width, 256);
  const Stored big = store(*font, 300, 300);
  EXPECT_EQ(big.page, 1);
  EXPECT_EQ(font->atlasPages()[1].width, 512);
  EXPECT_EQ(font->atlasPageSize(), 512);
  const Stored third = store(*font, 220, 220);  // room on neither page: a new one, at least 512
  EXPECT_EQ(third.page, 2);
  ASSERT_EQ(font->atlasPages().size(), 3u);
  EXPECT_EQ(font->atlasPages()[2].width, 512);
  auto smallGlyphs = loadOrFail(fonttest::kSans, 100);
  store(*smallGlyphs, 4, 4);
  EXPECT_EQ(smallGlyphs->atlasPages()[0].width, 256);
  EXPECT_NE(font->atlasPages()[1].image->id, font->atlasPages()[2].image->id);
}

TEST_F(FontTest, Atlas_GlyphTooWideForTheShelfStartsANewOneBelowAGap) {
  auto font = loadOrFail(fonttest::kSans, 14);
  store(*font, 119, 14);  // cursor now at x 120 on a shelf 14 high
  const Stored next = store(*font, 20, 10);
  EXPECT_EQ(next.page, 0);
  EXPECT_EQ(next.x, 0);
  EXPECT_EQ(next.y, 15);
}

TEST_F(FontTest, Atlas_SideLimitIs4096) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const Stored widest = store(*font, 4096, 1);
  EXPECT_FALSE(widest.missing);
  EXPECT_EQ(widest.x, 0);
  EXPECT_EQ(font->atlasPages()[widest.page].width, 4096);
  const Stored tooWide = store(*font, 4097, 1);
  EXPECT_TRUE(tooWide.missing);
  EXPECT_EQ(tooWide.page, kNoAtlasPage);
  EXPECT_TRUE(store(*font, 0, 5).missing);
  EXPECT_TRUE(store(*font, -3, 5).missing);
}

TEST_F(FontTest, Atlas_ShortPixelBufferMarksTheGlyphMissing) {
  auto font = loadOrFail(fonttest::kSans, 14);
  RenderFont::GlyphMetricEntry entry;
  entry.width = 4;
  entry.height = 4;
  font->storeGlyphBitmap(std::vector<uint32_t>(15, 0u), entry);
  EXPECT_TRUE(entry.missing);
  EXPECT_EQ(entry.width, 0);
  EXPECT_EQ(entry.height, 0);
  EXPECT_TRUE(font->atlasPages().empty());
}

TEST_F(FontTest, Atlas_GlyphTooTallForTheFirstPageGoesToALaterOne) {
  auto font = loadOrFail(fonttest::kSans, 14);
  store(*font, 120, 100);                     // page 0: shelf of 100 rows, cursor at x 121
  ASSERT_EQ(store(*font, 300, 300).page, 1);  // page 1: 512, cursor at x 301
  const GlyphAtlasPage before = {
      nullptr, 0, 0, font->atlasPages()[0].cursorX, font->atlasPages()[0].cursorY, font->atlasPages()[0].rowHeight};
  const Stored later = store(*font, 20, 30);  // a new shelf on page 0 would start at 101: too low
  EXPECT_EQ(later.page, 1);
  EXPECT_EQ(later.x, 301);
  EXPECT_EQ(later.y, 0);
  EXPECT_EQ(font->atlasPages()[0].cursorX, before.cursorX);
  EXPECT_EQ(font->atlasPages()[0].cursorY, before.cursorY);
  EXPECT_EQ(font->atlasPages()[0].rowHeight, before.rowHeight);
}

TEST_F(FontTest, Atlas_CopiesThePixelsRowByRowAndLeavesTheRestClear) {
  auto font = loadOrFail(fonttest::kSans, 14);
  store(*font, 3, 2, 0xFFAAAAAAu);
  RenderFont::GlyphMetricEntry entry;
  entry.width = 2;
  entry.height = 2;
  font->storeGlyphBitmap({1, 2, 3, 4}, entry);
  ASSERT_FALSE(entry.missing);
  EXPECT_EQ(entry.atlasX, 4);
  const CanvasBitmap& image = *font->atlasPages()[0].image;
  auto at = [&image](int x, int y) { return image.pixels[static_cast<size_t>(y) * image.width + x]; };
  EXPECT_EQ(at(2, 1), 0xFFAAAAAAu);
  EXPECT_EQ(at(3, 0), 0u);  // the gap
  EXPECT_EQ(at(4, 0), 1u);
  EXPECT_EQ(at(5, 0), 2u);
  EXPECT_EQ(at(4, 1), 3u);
  EXPECT_EQ(at(5, 1), 4u);
  EXPECT_EQ(at(4, 2), 0u);
}

}  // namespace
