// The message of a failed SDL call: SDL's own text when it set one, else the call's name.
#include "platform/sdl_error.h"

#include <gtest/gtest.h>

namespace {

TEST(SdlFailureText, IsSdlsTextOrNamesTheCallWhenSdlLeftNone) {
  SDL_SetError("%s", "window too large");
  EXPECT_EQ(sdlFailureText("SDL_SetWindowSize"), "window too large");
  SDL_ClearError();
  EXPECT_EQ(sdlFailureText("SDL_GetWindowDisplayScale"), "SDL_GetWindowDisplayScale failed");
}

}  // namespace
