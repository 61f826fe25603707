// The handler is set through the X library that SDL already loaded, so qz links no X library of its own.
// SDL sets handlers of its own around a few calls and puts back the one it found, which is this one.
#include "platform/x11_error_report.h"

#include <SDL3/SDL_events.h>
#include <SDL3/SDL_loadso.h>
#include <SDL3/SDL_properties.h>
#include <SDL3/SDL_system.h>
#include <SDL3/SDL_video.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

using SetErrorHandler = XErrorHandler (*)(XErrorHandler);

// The errors reported lately, oldest overwritten first. Plain storage: errors still come while the
// process exits, after the destructors of static objects have run.
constexpr size_t kRememberedErrors = 256;
uint64_t rememberedErrors[kRememberedErrors];
size_t rememberedCount = 0;
std::mutex rememberedLock;

bool onX11() {
  const char* driver = SDL_GetCurrentVideoDriver();
  return driver != nullptr && std::strcmp(driver, "x11") == 0;
}

// Errors whose resource id names the resource that failed; for the others it holds no resource.
bool namesResource(int code) {
  switch (code) {
    case BadWindow:
    case BadPixmap:
    case BadCursor:
    case BadFont:
    case BadDrawable:
    case BadColor:
    case BadGC:
      return true;
    default:
      return false;
  }
}

// What makes two errors one for reporting: the resource, or else the error and the request.
uint64_t errorKey(const XErrorEvent& error) {
  if (namesResource(error.error_code)) return static_cast<uint64_t>(error.resourceid);
  return (uint64_t{1} << 63) | (uint64_t{error.error_code} << 16) | (uint64_t{error.request_code} << 8) |
         uint64_t{error.minor_code};
}

// True the first time an error of this key comes (within the remembered ones).
bool firstOfItsKind(uint64_t key) {
  const std::lock_guard<std::mutex> guard(rememberedLock);
  const size_t held = std::min(rememberedCount, kRememberedErrors);
  if (std::find(rememberedErrors, rememberedErrors + held, key) != rememberedErrors + held) return false;
  rememberedErrors[rememberedCount++ % kRememberedErrors] = key;
  return true;
}

int reportError(Display*, XErrorEvent* error) {
  if (!firstOfItsKind(errorKey(*error))) return 0;
  std::fprintf(stderr, "qz: X error %d on request %d.%d ignored\n", static_cast<int>(error->error_code),
               static_cast<int>(error->request_code), static_cast<int>(error->minor_code));
  return 0;
}

Window x11WindowOf(SDL_Window* window) {
  return static_cast<Window>(
      SDL_GetNumberProperty(SDL_GetWindowProperties(window), SDL_PROP_WINDOW_X11_WINDOW_NUMBER, 0));
}

// SDL selects structure events on its windows, so each one's own destruction reaches this hook once; a
// window that SDL destroyed for good is no longer among its windows by then. One that SDL rebuilds (for
// OpenGL) still is, and still names the X window it had until the rebuild ends, which may be after this
// hook ran: the close request carries the destroyed X window, to be checked once the rebuild is over.
bool closeDestroyedWindow(void*, XEvent* event) {
  if (event->type != DestroyNotify || event->xdestroywindow.event != event->xdestroywindow.window) return true;
  int count = 0;
  SDL_Window** windows = SDL_GetWindows(&count);
  for (int i = 0; windows != nullptr && i < count; ++i) {
    if (x11WindowOf(windows[i]) != event->xdestroywindow.window) continue;
    SDL_Event close{};
    close.window.type = SDL_EVENT_WINDOW_CLOSE_REQUESTED;
    close.window.windowID = SDL_GetWindowID(windows[i]);
    close.window.data1 = static_cast<Sint32>(event->xdestroywindow.window);  // ids take 29 bits
    SDL_PushEvent(&close);
  }
  SDL_free(windows);
  return true;
}

}  // namespace

void reportX11ErrorsInsteadOfExiting() {
  if (!onX11()) return;
  // Kept loaded: the library holds the handler for as long as it stays in the process.
  SDL_SharedObject* library = SDL_LoadObject("libX11.so.6");
  if (library == nullptr) return;
  const auto setHandler = reinterpret_cast<SetErrorHandler>(SDL_LoadFunction(library, "XSetErrorHandler"));
  if (setHandler != nullptr) setHandler(reportError);
}

void closeWindowsDestroyedByOtherClients() {
  if (onX11()) SDL_SetX11EventHook(closeDestroyedWindow, nullptr);
}

bool closesReplacedWindow(const SDL_Event& event) {
  if (event.type != SDL_EVENT_WINDOW_CLOSE_REQUESTED || event.window.data1 == 0) return false;
  SDL_Window* window = SDL_GetWindowFromID(event.window.windowID);
  return window != nullptr && x11WindowOf(window) != static_cast<Window>(event.window.data1);
}
