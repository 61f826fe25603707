// Text runs, the text caches, positions, clusters, cell layouts and the text commands, on DejaVuSans.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fonts/render_font.h"
#include "render/pixel_ops.h"
#include "render_test_support.h"

namespace {

const char* const kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

class TextLayoutTest : public ::testing::Test {
 protected:
  TextLayoutTest() : rig(400, 100), font(RenderFont::load(kSans, 14.0f, 0.0f)) {}
  void SetUp() override { ASSERT_NE(font, nullptr); }

  RenderCache& cache() { return rig.cache(); }
  std::vector<std::string> runTexts(const char* text) {
    std::vector<std::string> texts;
    for (const TextRun& run : cache().layoutText(font.get(), text).runs) {
      texts.push_back((run.glyphs.empty() ? "u:" : "s:") + run.text);
    }
    return texts;
  }
  int countRecords() {
    int count = 0;
    for (const RenderCommand* command = nullptr; cache().nextCommand(command);) ++count;
    return count;
  }

  CanvasRig rig;
  std::shared_ptr<RenderFont> font;
};

using Runs = std::vector<std::string>;

TEST_F(TextLayoutTest, EmptyTextHasNoRunsAndMeasuresNothing) {
  EXPECT_TRUE(cache().layoutText(font.get(), "").runs.empty());
  EXPECT_EQ(cache().textWidth(font.get(), "", 7), 7);
  EXPECT_EQ(cache().textXOffset(font.get(), "", 1), 0);
  EXPECT_EQ(cache().columnAtX(font.get(), "", 50), 1);
  EXPECT_TRUE(cache().textClusters(font.get(), "").empty());
  EXPECT_EQ(cache().layoutTextCells(font.get(), "").cellCount, 0u);
}

TEST_F(TextLayoutTest, CombiningMarksJoinTheirBaseInAShapedRun) {
  EXPECT_EQ(runTexts("e\xCC\x81"), (Runs{"s:e\xCC\x81"}));
  EXPECT_EQ(runTexts("ab\xCC\x81"), (Runs{"u:a", "s:b\xCC\x81"}));
}

TEST_F(TextLayoutTest, RegionalIndicatorsPairUp) {
  const std::string flags = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB";  // D, E, F
  const auto runs = runTexts(flags.c_str());
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].substr(2), flags.substr(0, 8));
  EXPECT_EQ(runs[1], "u:" + flags.substr(8));
}

TEST_F(TextLayoutTest, KeycapSequencesAndTrailingJoiners) {
  const auto keycap = runTexts("#\xEF\xB8\x8F\xE2\x83\xA3");
  ASSERT_EQ(keycap.size(), 1u);
  EXPECT_EQ(keycap[0].size() - 2, 7u);
  const auto star = runTexts("*\xE2\x83\xA3");
  ASSERT_EQ(star.size(), 1u);
  EXPECT_EQ(star[0].size() - 2, 4u);
  // An emoji followed only by a joiner at the end stays unshaped.
  EXPECT_EQ(runTexts("x\xF0\x9F\x98\x80\xE2\x80\x8D"), (Runs{"u:x\xF0\x9F\x98\x80\xE2\x80\x8D"}));
}

TEST_F(TextLayoutTest, WidthCacheRotatesAndCopiesOldEntriesBack) {
  for (int i = 0; i < 4096; ++i) cache().cachedTextWidth(font.get(), std::to_string(i).c_str());
  uint64_t hits = 0, misses = 0;
  cache().perfStats(&hits, &misses, nullptr, nullptr);
  EXPECT_EQ(misses, 4096u);
  cache().cachedTextWidth(font.get(), "fresh");  // rotates first
  cache().cachedTextWidth(font.get(), "12");     // only in the previous generation
  cache().perfStats(&hits, &misses, nullptr, nullptr);
  EXPECT_EQ(hits, 1u);
  EXPECT_EQ(misses, 4097u);
  cache().resetPerfStats();
  cache().perfStats(&hits, &misses, nullptr, nullptr);
  EXPECT_EQ(hits + misses, 0u);
}

TEST_F(TextLayoutTest, TextsDrawnAgainCountAsLookupsDoAcrossClearsAndRotations) {
  const auto frame = [&](std::initializer_list<const char*> texts) {
    rig.renderer.beginDrawing();
    for (const char* text : texts) cache().drawText(font.get(), text, 0, 0, 0xFFFFFFFFu);
    rig.renderer.endDrawing();
    uint64_t hits = 0, misses = 0;
    cache().perfStats(&hits, &misses, nullptr, nullptr);
    cache().resetPerfStats();
    return std::make_pair(hits, misses);
  };
  EXPECT_EQ(frame({"alpha", "beta"}), std::make_pair(uint64_t{0}, uint64_t{2}));
  EXPECT_EQ(frame({"alpha", "beta"}), std::make_pair(uint64_t{2}, uint64_t{0}));
  EXPECT_EQ(frame({"beta", "alpha", "gamma"}), std::make_pair(uint64_t{2}, uint64_t{1}));
  cache().releaseFont(font);  // empties the caches: what the last frame found is gone
  EXPECT_EQ(frame({"beta", "alpha", "gamma"}), std::make_pair(uint64_t{0}, uint64_t{3}));
  // A full generation moves to the previous one; texts found there count as hits and come back.
  for (int i = 0; i < 4096; ++i) cache().cachedTextWidth(font.get(), std::to_string(i).c_str());
  cache().resetPerfStats();
  EXPECT_EQ(frame({"beta", "alpha", "gamma"}), std::make_pair(uint64_t{3}, uint64_t{0}));
  EXPECT_EQ(frame({"beta", "alpha", "gamma"}), std::make_pair(uint64_t{3}, uint64_t{0}));
}

TEST_F(TextLayoutTest, InvalidatingTheWholeWindowEmptiesTheTextCaches) {
  cache().cachedTextWidth(font.get(), "alpha");
  cache().layoutText(font.get(), "alpha");
  cache().invalidateAll();
  cache().resetPerfStats();
  cache().cachedTextWidth(font.get(), "alpha");
  cache().layoutText(font.get(), "alpha");
  uint64_t widthHits = 0, widthMisses = 0, runHits = 0, runMisses = 0;
  cache().perfStats(&widthHits, &widthMisses, &runHits, &runMisses);
  EXPECT_EQ(widthHits + runHits, 0u);
  EXPECT_EQ(widthMisses, 1u);
  EXPECT_EQ(runMisses, 1u);
}

TEST_F(TextLayoutTest, TransientMeasureMatchesTheCachedWidthWithoutCounting) {
  const char* hebrew = "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";
  const int32_t cached = cache().cachedTextWidth(font.get(), hebrew);
  uint64_t counts[4];
  cache().perfStats(&counts[0], &counts[1], &counts[2], &counts[3]);
  EXPECT_EQ(cache().measureTransientText(font.get(), hebrew, 5), 5 + cached);
  uint64_t after[4];
  cache().perfStats(&after[0], &after[1], &after[2], &after[3]);
  EXPECT_TRUE(std::equal(counts, counts + 4, after));
  EXPECT_GT(cached, 0);
}

TEST_F(TextLayoutTest, ColumnsAndOffsetsRoundTrip) {
  const char* text = "Hello, wide world";
  const int32_t length = static_cast<int32_t>(std::strlen(text));
  for (int32_t column = 1; column <= length + 1; ++column) {
    const int32_t x = cache().textXOffset(font.get(), text, column);
    EXPECT_EQ(cache().columnAtX(font.get(), text, x), column) << column;
  }
  EXPECT_EQ(cache().textXOffset(font.get(), text, 0), 0);
  EXPECT_EQ(cache().textXOffset(font.get(), text, 500), cache().cachedTextWidth(font.get(), text));
  EXPECT_EQ(cache().columnAtX(font.get(), text, -40), 1);
  EXPECT_EQ(cache().columnAtX(font.get(), text, 100000), length + 1);
}

TEST_F(TextLayoutTest, HalfwayPointsGoLeftAndMultiByteColumnsMapBeforeTheCharacter) {
  // A letter of even advance, so that the exact middle between its edges exists.
  std::string pair = "a?";
  for (char c = 'a'; c <= 'z'; ++c) {
    pair[1] = c;
    if (font->codepointAdvance(static_cast<uint32_t>(c)).advance % 2 == 0) break;
  }
  const int32_t left = cache().textXOffset(font.get(), pair.c_str(), 2);
  const int32_t right = cache().textXOffset(font.get(), pair.c_str(), 3);
  ASSERT_EQ((right - left) % 2, 0);
  EXPECT_EQ(cache().columnAtX(font.get(), pair.c_str(), (left + right) / 2), 2);
  EXPECT_EQ(cache().columnAtX(font.get(), pair.c_str(), (left + right) / 2 + 1), 3);
  const char* text = "a\xC3\xA9z";  // e acute is two bytes
  EXPECT_EQ(cache().textXOffset(font.get(), text, 3), cache().textXOffset(font.get(), text, 2));
  EXPECT_LT(cache().textXOffset(font.get(), text, 3), cache().textXOffset(font.get(), text, 4));
}

TEST_F(TextLayoutTest, HebrewClustersComeInColumnOrder) {
  const char* hebrew = "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";
  const auto clusters = cache().textClusters(font.get(), hebrew);
  ASSERT_EQ(clusters.size(), 4u);
  for (size_t i = 0; i < clusters.size(); ++i) {
    EXPECT_EQ(clusters[i].startColumn, 1 + 2 * i);
    EXPECT_EQ(clusters[i].endColumn, 3 + 2 * i);
    if (i > 0) {
      EXPECT_LT(clusters[i].startX, clusters[i - 1].startX);
    }
  }
}

TEST_F(TextLayoutTest, CellLayoutGivesEveryCodepointOneCell) {
  const TextCellLayout& cells = cache().layoutTextCells(font.get(), "a\tb\xCC\x81");
  ASSERT_EQ(cells.cellCount, 4u);
  EXPECT_EQ(cells.cells[1].face, nullptr);
  EXPECT_EQ(cells.cells[2].face, font.get());
  EXPECT_EQ(&cache().layoutTextCells(nullptr, "abc"), &emptyTextCellLayout());
}

TEST_F(TextLayoutTest, TextCommandsAreCulledButAlwaysAdvance) {
  rig.renderer.beginDrawing();
  const int32_t width = cache().cachedTextWidth(font.get(), "abc");
  EXPECT_EQ(cache().drawText(font.get(), "abc", 500, 10, 0xFFFFFFFFu), 500 + width);
  EXPECT_EQ(countRecords(), 0);
  EXPECT_EQ(cache().drawText(font.get(), "abc", 400, 10, 0xFFFFFFFFu), 400 + width);
  EXPECT_EQ(countRecords(), 1);
  EXPECT_EQ(cache().drawTextCells(font.get(), "a\tb", 10, 10, 0xFFFFFFFFu, 0), 10);
  EXPECT_EQ(cache().drawTextCells(nullptr, "a\tb", 10, 10, 0xFFFFFFFFu, 8), 10);
  EXPECT_EQ(countRecords(), 2);
  EXPECT_EQ(cache().drawTextCells(font.get(), "a\tb", 2147483600, 10, 0xFFFFFFFFu, 2147483647), 2147483647);
  EXPECT_EQ(cache().drawGlyph(font.get(), 0, 12, 0, 0xFFFFFFFFu), 12);
  EXPECT_GT(cache().drawGlyph(font.get(), 36, 1000, 0, 0xFFFFFFFFu), 1000);
  EXPECT_EQ(countRecords(), 2);
  const RenderCommand* first = nullptr;
  ASSERT_TRUE(cache().nextCommand(first));
  EXPECT_EQ(first->tabWidth, static_cast<uint32_t>(font->tabWidth()));
  EXPECT_EQ(first->size, 104u);  // 96 + "abc" + NUL, rounded
  rig.renderer.endDrawing();
}

TEST_F(TextLayoutTest, ReplayedTextDrawsInsideItsLine) {
  rig.renderer.beginDrawing();
  cache().fillRect({0, 0, 400, 100}, 0xFF000000u);
  const int32_t end = cache().drawText(font.get(), "Hxy \xD7\xA9\xD7\x9C", 20, 30, 0xFFFFFFFFu);
  rig.renderer.endDrawing();
  int64_t lit = 0;
  for (int32_t y = 0; y < 100; ++y) {
    for (int32_t x = 0; x < 400; ++x) {
      if (rig.at(x, y) == 0xFF000000u) continue;
      ++lit;
      EXPECT_TRUE(x >= 20 && x < end && y >= 30 && y < 30 + font->height()) << x << "," << y;
    }
  }
  EXPECT_GT(lit, 20);
}

TEST(TextReplay, TextNearADirtyCellRedrawsWhereverItsGlyphsReach) {
  // Stacked marks reach above the line box; the replay skips a text only where its glyphs cannot reach. A
  // text with a missing glyph (drawn as a box) is never skipped.
  const auto font = RenderFont::load(kSans, 14.0f, 0.0f);
  ASSERT_NE(font, nullptr);
  const auto frame = [&](CanvasRig& target, int32_t y) {
    target.renderer.beginDrawing();
    target.cache().fillRect({0, 0, 300, 250}, 0xFF102030u);
    target.cache().drawText(font.get(), "A\xCC\x82\xCC\x83\xCC\x84gy \xD7\xA9", 5, y, 0xFFE0E0E0u);
    target.cache().drawText(font.get(), "\xEE\x80\x80x\xCC\x82\xCC\x83", 150, y, 0xFFE0E0E0u);
    target.renderer.endDrawing();
  };
  CanvasRig rig(300, 250);
  // Texts crossing the top and the bottom edge of the second row of cells (pixel rows 96 to 191).
  for (int32_t y = 70; y < 200; y += y == 100 ? 75 : 1) {
    frame(rig, y);
    frame(rig, y);
    // That row of cells is scribbled over and redrawn alone.
    for (int32_t row = 96; row < 192; ++row) {
      for (int32_t x = 0; x < 300; ++x) rig.set(x, row, 0xFFFF00FFu);
    }
    rig.cache().invalidateRect({0, 96, 300, 96});
    frame(rig, y);
    CanvasRig fresh(300, 250);
    frame(fresh, y);
    for (int32_t row = 96; row < 192; ++row) {
      for (int32_t x = 0; x < 300; ++x) ASSERT_EQ(rig.at(x, row), fresh.at(x, row)) << x << "," << row << " y " << y;
    }
  }
}

TEST_F(TextLayoutTest, GroupGlyphsDrawNothingAndKeepThePen) {
  std::vector<std::shared_ptr<RenderFont>> members{RenderFont::load(kSans, 14.0f, 0.0f)};
  const auto group = RenderFont::group(members);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(rig.renderer.drawGlyph(group.get(), 36, 10, 10, 0xFFFFFFFFu), 10);
  EXPECT_EQ(rig.countOther(0), 0);
}

TEST(GlyphDrawing, MissingGlyphBoxHasMinimumSize) {
  CanvasRig rig(20, 20);
  rig.renderer.drawMissingGlyphBox(0, 0, 3, 8, 0xFFFFFFFFu);
  // A hollow 4 x 6 box from (1, 1).
  EXPECT_EQ(rig.at(1, 1), 0xFFFFFFFFu);
  EXPECT_EQ(rig.at(4, 1), 0xFFFFFFFFu);
  EXPECT_EQ(rig.at(1, 6), 0xFFFFFFFFu);
  EXPECT_EQ(rig.at(2, 3), 0u);
  EXPECT_EQ(rig.at(5, 1), 0u);
  EXPECT_EQ(rig.at(1, 7), 0u);
  CanvasRig faint(20, 20);
  faint.renderer.drawMissingGlyphBox(0, 0, 3, 8, 0x10FFFFFFu);
  EXPECT_EQ(faint.at(2, 1), 0x60FFFFFFu);
}

TEST(GlyphDrawing, WideGlyphsSnapInsideTheirCells) {
  const auto font = RenderFont::load(kSans, 14.0f, 0.0f);
  ASSERT_NE(font, nullptr);
  const GlyphBitmapView view = font->glyphBitmapForCodepoint('W');
  ASSERT_TRUE(view.hasBitmap);
  CanvasRig rig(100, 40);
  const int32_t cellWidth = view.width + 1;
  const TextCell cells[] = {{font.get(), ' ', 0, 0}, {font.get(), 'W', 0, font->codepointAdvance('W').advance}};
  EXPECT_EQ(rig.renderer.drawTextCells(cells, 10, 5, 0xFFFFFFFFu, cellWidth), 10 + 2 * cellWidth);
  for (int32_t y = 0; y < 40; ++y) {
    for (int32_t x = 0; x < 100; ++x) {
      if (rig.at(x, y) != 0) {
        EXPECT_TRUE(x >= 10 + cellWidth && x < 10 + 2 * cellWidth) << x;
      }
    }
  }
  EXPECT_GT(rig.countOther(0), 0);
}

}  // namespace

namespace {

TEST_F(TextLayoutTest, ChangedTabSizeRedrawsTheTextWithTheRecordedWidth) {
  const auto frame = [this] {
    rig.renderer.beginDrawing();
    cache().fillRect({0, 0, 400, 100}, 0xFF000000u);
    cache().drawText(font.get(), "a\tb", 10, 10, 0xFFFFFFFFu);
    rig.renderer.endDrawing();
  };
  for (int i = 0; i < 3; ++i) frame();
  const auto litColumns = [this] {
    std::vector<int32_t> columns;
    for (int32_t x = 0; x < 400; ++x) {
      for (int32_t y = 0; y < 100; ++y) {
        if (rig.at(x, y) != 0xFF000000u) {
          columns.push_back(x);
          break;
        }
      }
    }
    return columns;
  };
  const int32_t before = litColumns().back();
  font->setTabSize(font->tabWidth() + 40);
  frame();
  EXPECT_EQ(litColumns().back(), before + 40);
}

TEST(DebugView, TintsEachRedrawnRectangleWithTheNextRandomColour) {
  CanvasRig rig(50, 50, 0xFF000000u);
  rig.cache().setDebugView(true);
  std::srand(7);
  const uint32_t blue = static_cast<uint32_t>(std::rand()) & 0xFFu;
  const uint32_t green = static_cast<uint32_t>(std::rand()) & 0xFFu;
  const uint32_t red = static_cast<uint32_t>(std::rand()) & 0xFFu;
  uint32_t expected = 0xFF000000u;
  blendPixel(&expected, (red << 16) | (green << 8) | blue, 0x32);
  std::srand(7);
  rig.renderer.beginDrawing();
  rig.cache().fillRect({0, 0, 50, 50}, 0xFF000000u);
  rig.renderer.endDrawing();
  EXPECT_EQ(rig.at(20, 20), expected);
}

}  // namespace
