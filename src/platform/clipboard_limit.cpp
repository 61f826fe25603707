// The X server's maximum request, read through the X library that SDL already loaded. When it cannot be
// read, the limit is that of a server without big requests, which every server accepts.
#include "platform/clipboard_limit.h"

#include <SDL3/SDL_loadso.h>
#include <SDL3/SDL_properties.h>

#include <cstring>
#include <memory>

namespace {

// Without big requests a request has at most 65,535 four-byte units; the property request that carries
// the text has a header of 24 bytes, 28 with big requests (some slack is left above both).
constexpr size_t kCoreRequestUnits = 65535;
constexpr size_t kRequestHeaderBytes = 64;

using RequestSizeFunction = long (*)(void* display);

struct ObjectUnloader {
  void operator()(SDL_SharedObject* object) const { SDL_UnloadObject(object); }
};

size_t largestRequestUnits(void* display) {
  const std::unique_ptr<SDL_SharedObject, ObjectUnloader> library(SDL_LoadObject("libX11.so.6"));
  if (!library || display == nullptr) return kCoreRequestUnits;
  for (const char* name : {"XExtendedMaxRequestSize", "XMaxRequestSize"}) {
    const auto function = reinterpret_cast<RequestSizeFunction>(SDL_LoadFunction(library.get(), name));
    const long units = function != nullptr ? function(display) : 0;
    if (units > 0) return static_cast<size_t>(units);
  }
  return kCoreRequestUnits;
}

}  // namespace

std::optional<size_t> clipboardTextLimit(SDL_Window* window) {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (driver == nullptr || std::strcmp(driver, "x11") != 0) return std::nullopt;
  void* display = window != nullptr ? SDL_GetPointerProperty(SDL_GetWindowProperties(window),
                                                             SDL_PROP_WINDOW_X11_DISPLAY_POINTER, nullptr)
                                    : nullptr;
  return largestRequestUnits(display) * 4 - kRequestHeaderBytes;
}
