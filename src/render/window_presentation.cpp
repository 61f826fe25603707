// The choice between SDL's texture-backed window surfaces and the video driver's own framebuffer.
#include "render/window_presentation.h"

#include <SDL3/SDL_hints.h>
#include <SDL3/SDL_video.h>

#include <algorithm>
#include <iterator>
#include <string_view>

bool prefersNativeFramebuffer(const char* videoDriver) {
  static constexpr std::string_view kNativeFramebufferDrivers[] = {"x11", "offscreen", "dummy"};
  return videoDriver != nullptr && std::find(std::begin(kNativeFramebufferDrivers), std::end(kNativeFramebufferDrivers),
                                             videoDriver) != std::end(kNativeFramebufferDrivers);
}

void chooseWindowPresentation() {
  if (prefersNativeFramebuffer(SDL_GetCurrentVideoDriver())) SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
}
