// Starts SDL video on the offscreen driver for tests that create real windows.
#pragma once

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

class SdlVideoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "offscreen");
    ASSERT_TRUE(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS)) << SDL_GetError();
  }
  static void TearDownTestSuite() { SDL_Quit(); }
};
