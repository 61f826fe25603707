// A window's text context: font sizes at the window's scale, the rounding of its conversions, and the
// fonts it keeps or drops.
#include "ui/window_text_context.h"

#include <gtest/gtest.h>

#include "fonts/render_font.h"
#include "fonts/ui_font.h"
#include "sdl_video_fixture.h"

namespace {

const char* const kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

std::shared_ptr<ui::Font> font(float size, std::string path = kFont) {
  auto made = std::make_shared<ui::Font>();
  made->path = std::move(path);
  made->size = size;
  return made;
}

TEST(WindowTextContext, PixelSizesFollowTheScaleWithOnePixelAtLeast) {
  EXPECT_FLOAT_EQ(ui::uiFontPixelSize(1.25, 10.0f), 12.5f);
  EXPECT_FLOAT_EQ(ui::uiFontPixelSize(0.05, 10.0f), 1.0f);
  EXPECT_FLOAT_EQ(ui::uiFontPixelSize(NAN, 10.0f), 1.0f);
}

TEST(WindowTextContext, ConversionsRoundHalvesAwayFromZero) {
  EXPECT_EQ(ui::pixelsToLogical(25, 2.0), 13);
  EXPECT_EQ(ui::pixelsToLogical(-25, 2.0), -13);
  EXPECT_EQ(ui::logicalToPixels(INT32_MAX, 2.0), INT32_MAX) << "clamped, never wrapped";
}

class WindowTextContextTest : public SdlVideoTest {
 protected:
  void SetUp() override { id = createWindow(registry, 120, 80); }
  ui::WindowTextContext& context() { return registry.window(id).textContext(); }
  WindowMetrics scaled(double scale) {
    WindowMetrics metrics = registry.window(id).metrics();
    metrics.displayScale = scale;
    return metrics;
  }

  WindowRegistry registry;
  uint64_t id = 0;
};

TEST_F(WindowTextContextTest, LoadsEachDescriptionOnceAtTheScale) {
  context().setMetrics(scaled(1.25));
  const std::shared_ptr<ui::Font> description = font(10.0f);
  RenderFont* loaded = context().renderFontFor(description);
  EXPECT_EQ(loaded->height(), RenderFont::load(kFont, 12.5f, 0.0f)->height());
  EXPECT_EQ(context().renderFontFor(description), loaded);
  EXPECT_NE(context().renderFontFor(font(10.0f)), loaded) << "equal contents, another description";
  EXPECT_EQ(context().loadedFontCount(), 2u);
}

TEST_F(WindowTextContextTest, AnEqualScaleKeepsFontsAndAnotherDropsThem) {
  context().setMetrics(scaled(1.0));
  context().renderFontFor(font(12.0f));
  WindowMetrics resized = scaled(1.0);
  resized.logicalWidth += 10;
  context().setMetrics(resized);
  EXPECT_EQ(context().loadedFontCount(), 1u);
  context().setMetrics(scaled(2.0));
  EXPECT_EQ(context().loadedFontCount(), 0u);
}

TEST_F(WindowTextContextTest, AFontThatCannotLoadThrowsAndIsNotRemembered) {
  try {
    context().renderFontFor(font(12.0f, "/no/such/font.ttf"));
    FAIL() << "expected an exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "failed to load UI font '/no/such/font.ttf'");
  }
  try {
    context().renderFontFor(font(12.0f, std::string(kFont) + std::string("\0.x", 3)));
    FAIL() << "expected an exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_EQ(failure.what(), "failed to load UI font '" + std::string(kFont) + "\\0.x' (the path holds a zero byte)");
  }
  EXPECT_EQ(context().loadedFontCount(), 0u);
  EXPECT_THROW(context().renderFontFor(nullptr), std::runtime_error);
}

TEST_F(WindowTextContextTest, MeasuresInLogicalUnitsUpToTheFirstNul) {
  context().setMetrics(scaled(2.0));
  const std::shared_ptr<ui::Font> description = font(10.0f);
  const ui::TextContext::Extent whole = context().measureText(description, "abc");
  EXPECT_EQ(context().measureText(description, std::string_view("abc\0def", 7)).width, whole.width);
  EXPECT_EQ(whole.height, ui::pixelsToLogical(context().renderFontFor(description)->height(), 2.0));
  EXPECT_EQ(context().textX(description, "abc", -4), 0) << "columns below 1 read as 1";
  EXPECT_EQ(context().textX(description, "abc", 99), whole.width);
}

}  // namespace
