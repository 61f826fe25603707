// The X library calls that qz makes on a connection of its own, found in the libX11 that SDL's x11 driver
// already loaded, so that qz links no X library of its own.
#pragma once

#include <SDL3/SDL_loadso.h>
#include <X11/Xlib.h>

#include <memory>

struct X11Library {
  decltype(&XOpenDisplay) openDisplay = nullptr;
  decltype(&XCloseDisplay) closeDisplay = nullptr;
  decltype(&XDisplayString) displayString = nullptr;
  decltype(&XConnectionNumber) connectionNumber = nullptr;
  decltype(&XDefaultRootWindow) defaultRootWindow = nullptr;
  decltype(&XInternAtom) internAtom = nullptr;
  decltype(&XGetSelectionOwner) getSelectionOwner = nullptr;
  decltype(&XCreateSimpleWindow) createSimpleWindow = nullptr;
  decltype(&XSelectInput) selectInput = nullptr;
  decltype(&XConvertSelection) convertSelection = nullptr;
  decltype(&XChangeProperty) changeProperty = nullptr;
  decltype(&XDeleteProperty) deleteProperty = nullptr;
  decltype(&XGetWindowProperty) getWindowProperty = nullptr;
  decltype(&XFlush) flush = nullptr;
  decltype(&XSync) sync = nullptr;
  decltype(&XPending) pending = nullptr;
  decltype(&XNextEvent) nextEvent = nullptr;
  decltype(&XFree) free = nullptr;

  // Opens libX11.so.6 and finds every call above; false when the library or any call is missing.
  bool load();

 private:
  struct Unloader {
    void operator()(SDL_SharedObject* object) const { SDL_UnloadObject(object); }
  };
  std::unique_ptr<SDL_SharedObject, Unloader> library_;
};
