// Starts SDL video on the offscreen driver for tests that create real windows.
#pragma once

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "ui/window_registry.h"

class SdlVideoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "offscreen");
    ASSERT_TRUE(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS)) << SDL_GetError();
  }
  static void TearDownTestSuite() { SDL_Quit(); }

  // A window of the given logical size, hidden unless asked; 0 and a test failure when it cannot be made.
  static uint64_t createWindow(WindowRegistry& registry, int32_t width, int32_t height,
                               std::optional<uint64_t> owner = std::nullopt, bool visible = false,
                               WindowFrame frame = WindowFrame::Standard) {
    WindowCreateInfo info;
    info.width = width;
    info.height = height;
    info.owner = owner;
    info.visible = visible;
    info.frame = frame;
    std::string error;
    const std::optional<uint64_t> id = registry.createWindow(info, error);
    EXPECT_TRUE(id) << error;
    return id.value_or(0);
  }
};
