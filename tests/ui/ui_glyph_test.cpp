// Named glyphs: the two kinds and the per-size copies of a font glyph's description.
#include "ui/ui_glyph.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(UiGlyph, SizedFontsAreMadeOncePerSizeWithoutLineGap) {
  auto source = std::make_shared<ui::Font>();
  source->path = "a.ttf";
  source->fallbacks = {"b.ttf"};
  source->embolden = 0.5f;
  source->antialias = false;
  ui::Glyph glyph("check", source, "\u2713");
  const std::shared_ptr<ui::Font> one = glyph.fontForSize(0);
  EXPECT_EQ(glyph.fontForSize(1), one) << "sizes below 1 count as 1";
  EXPECT_EQ(one->size, 1.0f);
  const std::shared_ptr<ui::Font> sixteen = glyph.fontForSize(16);
  EXPECT_EQ(glyph.fontForSize(16), sixteen);
  EXPECT_NE(sixteen, source);
  EXPECT_EQ(sixteen->path, "a.ttf");
  EXPECT_EQ(sixteen->fallbacks, source->fallbacks);
  EXPECT_EQ(sixteen->embolden, 0.5f);
  EXPECT_FALSE(sixteen->antialias);
  EXPECT_FALSE(sixteen->lineGap);
  EXPECT_TRUE(source->lineGap) << "the source keeps its own";
}

TEST(UiGlyph, KindsAndTheirMisuse) {
  const ui::Glyph cross("x", ui::GlyphKind::Cross);
  EXPECT_EQ(cross.kind(), ui::GlyphKind::Cross);
  EXPECT_TRUE(cross.text().empty());
  EXPECT_THROW(ui::Glyph("f", ui::GlyphKind::Font), std::invalid_argument);
  EXPECT_THROW(ui::Glyph("f", nullptr, "a"), std::invalid_argument);
  ui::Glyph shape("y", ui::GlyphKind::TriangleUp);
  EXPECT_THROW(shape.fontForSize(12), std::logic_error);
}

}  // namespace
