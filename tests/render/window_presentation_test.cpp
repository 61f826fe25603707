// The presentation choice: drivers with a native framebuffer present window surfaces through it (no SDL
// renderer behind the window), and a user's SDL_FRAMEBUFFER_ACCELERATION variable still decides.
#include "render/window_presentation.h"

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "render/render_cache.h"
#include "render/window_renderer.h"

namespace {

constexpr char kVariable[] = "SDL_FRAMEBUFFER_ACCELERATION";

TEST(WindowPresentation, NativeFramebufferDriversAreX11OffscreenAndDummy) {
  const struct {
    const char* driver;
    bool native;
  } cases[] = {{"x11", true},     {"offscreen", true}, {"dummy", true}, {"wayland", false},
               {"kmsdrm", false}, {"X11", false},      {"", false},     {nullptr, false}};
  for (const auto& c : cases) EXPECT_EQ(prefersNativeFramebuffer(c.driver), c.native) << (c.driver ? c.driver : "null");
}

// SDL reads hints from its own copy of the environment: a run sets the user's variable there, starts SDL on
// the driver and makes the choice; it quits SDL and restores the variable the test environment had.
class PresentationRun {
 public:
  PresentationRun(const char* driver, std::optional<std::string> userValue) {
    SDL_Environment* environment = SDL_GetEnvironment();
    if (const char* value = SDL_GetEnvironmentVariable(environment, kVariable)) saved_ = value;
    if (userValue) {
      SDL_SetEnvironmentVariable(environment, kVariable, userValue->c_str(), true);
    } else {
      SDL_UnsetEnvironmentVariable(environment, kVariable);
    }
    SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, driver, SDL_HINT_OVERRIDE);
    started_ = SDL_Init(SDL_INIT_VIDEO);
    if (started_) chooseWindowPresentation();
  }
  ~PresentationRun() {
    SDL_Quit();
    SDL_Environment* environment = SDL_GetEnvironment();
    if (saved_) {
      SDL_SetEnvironmentVariable(environment, kVariable, saved_->c_str(), true);
    } else {
      SDL_UnsetEnvironmentVariable(environment, kVariable);
    }
  }
  PresentationRun(const PresentationRun&) = delete;
  PresentationRun& operator=(const PresentationRun&) = delete;

  bool started() const { return started_; }

 private:
  std::optional<std::string> saved_;
  bool started_ = false;
};

TEST(WindowPresentation, SurfaceWindowsDrawWithoutAnSdlRenderer) {
  for (const char* driver : {"offscreen", "dummy"}) {
    PresentationRun run(driver, std::nullopt);
    ASSERT_TRUE(run.started()) << SDL_GetError();
    EXPECT_STREQ(SDL_GetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION), "0") << driver;
    WindowRendererHandle handle(SDL_CreateWindow("choice", 64, 48, SDL_WINDOW_HIDDEN), SDL_DestroyWindow);
    WindowRenderer& renderer = *handle.renderer();
    renderer.beginDrawing();
    renderer.renderCache()->fillRect({0, 0, 64, 48}, 0xFF204060u);
    renderer.endDrawing();
    EXPECT_EQ(SDL_GetRenderer(handle.window()), nullptr) << driver;
    const SDL_Surface* surface = renderer.targetSurface();
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(static_cast<const uint32_t*>(surface->pixels)[0] & 0xFFFFFFu, 0x204060u) << driver;
  }
}

TEST(WindowPresentation, AUsersVariableWins) {
  PresentationRun run("offscreen", "1");
  ASSERT_TRUE(run.started()) << SDL_GetError();
  EXPECT_STREQ(SDL_GetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION), "1");
}

}  // namespace
