// The handler is set through the X library that SDL already loaded, so qz links no X library of its own.
// SDL sets handlers of its own around a few calls and puts back the one it found, which is this one.
#include "platform/x11_error_report.h"

#include <SDL3/SDL_loadso.h>
#include <SDL3/SDL_video.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstring>

namespace {

using SetErrorHandler = XErrorHandler (*)(XErrorHandler);

int reportError(Display*, XErrorEvent* error) {
  std::fprintf(stderr, "qz: X error %d on request %d.%d ignored\n", static_cast<int>(error->error_code),
               static_cast<int>(error->request_code), static_cast<int>(error->minor_code));
  return 0;
}

}  // namespace

void reportX11ErrorsInsteadOfExiting() {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (driver == nullptr || std::strcmp(driver, "x11") != 0) return;
  // Kept loaded: the library holds the handler for as long as it stays in the process.
  SDL_SharedObject* library = SDL_LoadObject("libX11.so.6");
  if (library == nullptr) return;
  const auto setHandler = reinterpret_cast<SetErrorHandler>(SDL_LoadFunction(library, "XSetErrorHandler"));
  if (setHandler != nullptr) setHandler(reportError);
}
