#include <gtest/gtest.h>

#include "sdl_video_fixture.h"
#include "ui/window_registry.h"

namespace {

TEST(ScaleTextInputRect, EdgesRoundAwayFromZero) {
  const TextInputArea rect = scaleTextInputRect(1.5, 1.0, {10, 20, 101, 15, 33});
  EXPECT_EQ(rect, (TextInputArea{15, 30, 152, 23, 50}));
}

TEST(ScaleTextInputRect, TinyAreaKeepsOnePixel) {
  const TextInputArea rect = scaleTextInputRect(0.1, 1.0, {10, 10, 1, 1, 1});
  EXPECT_EQ(rect.width, 1);
  EXPECT_EQ(rect.height, 1);
  EXPECT_LE(rect.cursor, rect.width);
}

TEST(ScaleTextInputRect, HugeAreaIsClamped) {
  const TextInputArea rect = scaleTextInputRect(4.0, 1.0, {2147483647, -2147483647 - 1, 2147483647, 5, 0});
  EXPECT_EQ(rect.x, 2147483647);
  EXPECT_EQ(rect.y, -2147483647 - 1);
  EXPECT_EQ(rect.width, 1);
}

class TextInput : public SdlVideoTest {
 protected:
  void SetUp() override {
    id = createWindow(registry, 200, 100);
    ASSERT_NE(id, 0u);
  }
  WindowRegistry registry;
  uint64_t id = 0;
};

TEST_F(TextInput, InvalidAreasAreRefusedWithoutTouchingState) {
  std::string error;
  for (const TextInputArea area : {TextInputArea{0, 0, 0, 10, 0}, TextInputArea{0, 0, 10, 10, 11},
                                   TextInputArea{0, 0, 10, 0, 0}, TextInputArea{0, 0, 10, 10, -1}}) {
    EXPECT_FALSE(registry.setTextInputArea(id, area, error));
    EXPECT_EQ(error, "text input area and cursor must stay inside a positive rectangle");
  }
  EXPECT_FALSE(registry.window(id).textInputArea());
}

TEST_F(TextInput, AreaIsKeptWhileInputIsOffAndAppliedAtStart) {
  std::string error;
  ASSERT_TRUE(registry.setTextInputArea(id, TextInputArea{1, 2, 30, 10, 5}, error)) << error;
  TextInputSpec input;
  input.present = true;
  input.multiline = true;
  SDL_Window* window = registry.window(id).sdlWindow();
  ASSERT_TRUE(SDL_SetTextInputArea(window, nullptr, 0));
  ASSERT_TRUE(registry.setTextInput(id, input, error)) << error;
  EXPECT_TRUE(SDL_TextInputActive(window));
  SDL_Rect placed{};
  int cursor = -1;
  ASSERT_TRUE(SDL_GetTextInputArea(window, &placed, &cursor));
  EXPECT_TRUE(placed.x == 1 && placed.y == 2 && placed.w == 30 && placed.h == 10 && cursor == 5)
      << "the stored area is placed when input starts: " << placed.x << "," << placed.y << " " << placed.w << "x"
      << placed.h << " cursor " << cursor;
  EXPECT_TRUE(registry.setTextInput(id, input, error)) << "an equal request changes nothing";
  ASSERT_TRUE(registry.setTextInput(id, std::nullopt, error)) << error;
  EXPECT_FALSE(SDL_TextInputActive(window));
  EXPECT_TRUE(registry.window(id).textInputArea()) << "the area outlives stop and start";
  EXPECT_TRUE(registry.setTextInputArea(id, std::nullopt, error));
  EXPECT_FALSE(registry.window(id).textInputArea());
}

TEST_F(TextInput, UnknownWindowIsReported) {
  std::string error;
  EXPECT_FALSE(registry.setTextInput(id + 100, TextInputSpec{}, error));
  EXPECT_EQ(error, "window does not exist");
  EXPECT_FALSE(registry.setTextInputArea(id + 100, std::nullopt, error));
  EXPECT_EQ(error, "window does not exist");
}

}  // namespace
