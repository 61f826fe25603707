// Window creation: the SDL window is created hidden through a property set, sized so that its logical size
// is the one asked for (keeping its centre), wrapped in its renderer handle and registered.
#include <SDL3/SDL_timer.h>
#include <SDL3/SDL_video.h>

#include <algorithm>
#include <cstdint>

#include "platform/sdl_error.h"
#include "platform/sdl_properties.h"
#include "ui/scaled_rounding.h"
#include "ui/window_registry.h"

namespace {

struct SdlWindowDeleter {
  void operator()(SDL_Window* window) const { SDL_DestroyWindow(window); }
};

// length x scale / density, rounded half away from zero, at least 1.
int32_t windowLength(int32_t logical, float scale, float density) {
  const int32_t length = nearestInt32(static_cast<long double>(logical) * scale / density);
  return length <= 0 ? 1 : length;
}

// Where a side must start so that its centre stays put when its length changes.
int32_t centredStart(int start, int oldLength, int32_t newLength) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(int64_t{start} + (int64_t{oldLength} - newLength) / 2, INT32_MIN, INT32_MAX));
}

// The SDL setter that failed, or null.
const char* setCreationProperties(SDL_PropertiesID props, const WindowCreateInfo& info, SDL_Window* owner) {
  if (!SDL_SetStringProperty(props, SDL_PROP_WINDOW_CREATE_TITLE_STRING, info.title.c_str())) {
    return "SDL_SetStringProperty";
  }
  if (!SDL_SetNumberProperty(props, SDL_PROP_WINDOW_CREATE_WIDTH_NUMBER, info.width) ||
      !SDL_SetNumberProperty(props, SDL_PROP_WINDOW_CREATE_HEIGHT_NUMBER, info.height)) {
    return "SDL_SetNumberProperty";
  }
  const bool flags =
      SDL_SetBooleanProperty(props, SDL_PROP_WINDOW_CREATE_RESIZABLE_BOOLEAN, info.resizable) &&
      SDL_SetBooleanProperty(props, SDL_PROP_WINDOW_CREATE_HIGH_PIXEL_DENSITY_BOOLEAN, info.highPixelDensity) &&
      SDL_SetBooleanProperty(props, SDL_PROP_WINDOW_CREATE_HIDDEN_BOOLEAN, true);
  if (!flags) return "SDL_SetBooleanProperty";
  if (owner != nullptr && !SDL_SetPointerProperty(props, SDL_PROP_WINDOW_CREATE_PARENT_POINTER, owner)) {
    return "SDL_SetPointerProperty";
  }
  if (info.modality == WindowModality::OwnerModal &&
      !SDL_SetBooleanProperty(props, SDL_PROP_WINDOW_CREATE_MODAL_BOOLEAN, true)) {
    return "SDL_SetBooleanProperty";
  }
  return nullptr;
}

// Sizes the window so that its logical size is the one asked for, keeping the window's centre; the SDL call
// that failed, or null.
const char* applyLogicalSize(SDL_Window* window, const WindowCreateInfo& info) {
  const float scale = SDL_GetWindowDisplayScale(window);
  if (!(scale > 0.0f)) return "SDL_GetWindowDisplayScale";
  const float density = SDL_GetWindowPixelDensity(window);
  if (!(density > 0.0f)) return "SDL_GetWindowPixelDensity";
  const int32_t w = windowLength(info.width, scale, density);
  const int32_t h = windowLength(info.height, scale, density);
  int x = 0, y = 0, oldW = 0, oldH = 0;
  const bool placed = SDL_GetWindowPosition(window, &x, &y) && SDL_GetWindowSize(window, &oldW, &oldH);
  if (!SDL_SetWindowSize(window, w, h)) return "SDL_SetWindowSize";
  if (placed) SDL_SetWindowPosition(window, centredStart(x, oldW, w), centredStart(y, oldH, h));
  return SDL_SyncWindow(window) ? nullptr : "SDL_SyncWindow";
}

}  // namespace

std::optional<uint64_t> WindowRegistry::createWindow(const WindowCreateInfo& info, std::string& error) {
  error.clear();
  const auto fail = [&error](std::string message) -> std::optional<uint64_t> {
    error = std::move(message);
    return std::nullopt;
  };
  if (info.width <= 0 || info.height <= 0) return fail("window dimensions must be positive");
  SDL_Window* owner = nullptr;
  if (info.owner) {
    if (!exists(*info.owner)) return fail("window owner does not exist");
    owner = window(*info.owner).sdlWindow();
  }
  if (info.modality == WindowModality::OwnerModal && owner == nullptr) {
    return fail("owner-modal windows require an owner");
  }

  SDL_ClearError();  // a text left by an earlier failure is not this creation's
  PropertySet props;
  if (props.id() == 0) return fail(sdlFailureText("SDL_CreateProperties"));
  if (const char* failed = setCreationProperties(props.id(), info, owner)) return fail(sdlFailureText(failed));
  const uint64_t createdNs = SDL_GetTicksNS();
  std::unique_ptr<SDL_Window, SdlWindowDeleter> created(SDL_CreateWindowWithProperties(props.id()));
  if (!created) return fail(sdlFailureText("SDL_CreateWindowWithProperties"));
  // A dialog frame has no sizing border whatever `resizable` asked for.
  if (info.frame == WindowFrame::Dialog && !SDL_SetWindowResizable(created.get(), false)) {
    return fail(sdlFailureText("SDL_SetWindowResizable"));
  }
  if (const char* failed = applyLogicalSize(created.get(), info)) return fail(sdlFailureText(failed));

  WindowRendererHandle handle(created.release(), SDL_DestroyWindow);
  const uint32_t sdlId = SDL_GetWindowID(handle.window());
  if (sdlId == 0) return fail(sdlFailureText("SDL_GetWindowID"));
  const uint64_t id = nextWindowId_++;
  // A window created hidden stays hidden when it is first painted; the main window turns this back on.
  if (!info.visible) handle.renderer()->setShowAtFirstPresent(false);
  auto nativeWindow = std::make_unique<NativeWindow>(id, std::move(handle));
  windows_[id] = WindowEntry{id, sdlId, createdNs, info.owner, info.modality, info.frame, std::move(nativeWindow)};
  sdlIds_[sdlId] = id;

  if (info.visible && !SDL_ShowWindow(window(id).sdlWindow())) {
    error = sdlFailureText("SDL_ShowWindow");
    closeWindow(id);
    return std::nullopt;
  }
  return id;
}
