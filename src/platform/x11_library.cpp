// Each call is looked up by name; the library stays open as long as the object that holds the calls.
#include "platform/x11_library.h"

namespace {

template <typename Function>
bool find(SDL_SharedObject* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(SDL_LoadFunction(library, name));
  return function != nullptr;
}

}  // namespace

bool X11Library::load() {
  library_.reset(SDL_LoadObject("libX11.so.6"));
  SDL_SharedObject* library = library_.get();
  return library != nullptr && find(library, "XOpenDisplay", openDisplay) &&
         find(library, "XCloseDisplay", closeDisplay) && find(library, "XDisplayString", displayString) &&
         find(library, "XConnectionNumber", connectionNumber) &&
         find(library, "XDefaultRootWindow", defaultRootWindow) && find(library, "XInternAtom", internAtom) &&
         find(library, "XGetSelectionOwner", getSelectionOwner) &&
         find(library, "XCreateSimpleWindow", createSimpleWindow) && find(library, "XSelectInput", selectInput) &&
         find(library, "XConvertSelection", convertSelection) && find(library, "XChangeProperty", changeProperty) &&
         find(library, "XDeleteProperty", deleteProperty) && find(library, "XGetWindowProperty", getWindowProperty) &&
         find(library, "XFlush", flush) && find(library, "XSync", sync) && find(library, "XPending", pending) &&
         find(library, "XNextEvent", nextEvent) && find(library, "XFree", free);
}
