// Creating the main window at start-up.
#include "app/main_window.h"

#include <SDL3/SDL_video.h>

#include <cmath>

#include "ui/application.h"
#include "ui/window_registry.h"

MainWindowSize mainWindowSizeFor(int32_t modeWidth, int32_t modeHeight, float pixelDensity, float contentScale) {
  const double density = pixelDensity > 0.0f ? pixelDensity : 1.0;
  const double scale = contentScale > 0.0f ? contentScale : 1.0;
  const auto side = [&](int32_t mode) {
    return static_cast<int32_t>(std::lround(static_cast<double>(mode) * density / scale * 4.0 / 5.0));
  };
  return {side(modeWidth), side(modeHeight)};
}

namespace {

MainWindowSize primaryDisplayWindowSize() {
  int32_t width = 1280, height = 720;
  float density = 1.0f;
  const SDL_DisplayID display = SDL_GetPrimaryDisplay();
  if (const SDL_DisplayMode* mode = SDL_GetCurrentDisplayMode(display)) {
    width = mode->w;
    height = mode->h;
    density = mode->pixel_density;
  }
  return mainWindowSizeFor(width, height, density, SDL_GetDisplayContentScale(display));
}

}  // namespace

std::optional<uint64_t> createMainWindow(std::string& failure) {
  const MainWindowSize size = primaryDisplayWindowSize();
  WindowCreateInfo info;
  info.width = size.width;
  info.height = size.height;
  info.resizable = true;
  info.highPixelDensity = true;
  std::string error;
  const std::optional<uint64_t> id = currentApplication()->createWindow(info, error);
  if (!id) {
    failure = "[qz-boot] window creation failed: " + error;
    return std::nullopt;
  }
  WindowRegistry& registry = currentWindowRegistry();
  registry.setMainWindow(*id);
  registry.window(*id).renderer()->setShowAtFirstPresent(true);  // created hidden, shown by its first frame
  TextInputSpec workspaceInput;
  workspaceInput.multiline = true;
  workspaceInput.present = true;
  if (!registry.setTextInput(*id, workspaceInput, error)) {
    failure = "[qz-boot] workspace text input setup failed: " + error;
    return std::nullopt;
  }
  registry.setRenderTarget(*id);
  return id;
}
