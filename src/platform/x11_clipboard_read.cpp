// The reader asks the owner to convert the clipboard into a property of a window of its own, as every X
// client does, and waits for the answer as SDL would: up to a second for each step. The X library is the
// one SDL already loaded, so qz links no X library of its own. Giving up only closes the reader's own
// connection; an owner that answers late meets a window that has gone, which is its own affair.
#include "platform/x11_clipboard_read.h"

#include <SDL3/SDL_events.h>
#include <SDL3/SDL_loadso.h>
#include <SDL3/SDL_properties.h>
#include <SDL3/SDL_timer.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

namespace {

constexpr Uint64 kAnswerMilliseconds = 1000;
constexpr Uint64 kPumpMilliseconds = 10;
// An owner that sends in chunks could send without end; more text than this is refused.
constexpr size_t kMostTextBytes = size_t{1} << 30;

const char* const kTimeout = "Selection timeout";

struct ObjectUnloader {
  void operator()(SDL_SharedObject* object) const { SDL_UnloadObject(object); }
};

// The X library calls the reader makes.
struct XLibrary {
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
  decltype(&XFlush) flush = nullptr;
  decltype(&XSync) sync = nullptr;
  decltype(&XPending) pending = nullptr;
  decltype(&XNextEvent) nextEvent = nullptr;
  decltype(&XGetWindowProperty) getWindowProperty = nullptr;
  decltype(&XFree) free = nullptr;

  bool load(SDL_SharedObject* library) {
    return find(library, "XOpenDisplay", openDisplay) && find(library, "XCloseDisplay", closeDisplay) &&
           find(library, "XDisplayString", displayString) && find(library, "XConnectionNumber", connectionNumber) &&
           find(library, "XDefaultRootWindow", defaultRootWindow) && find(library, "XInternAtom", internAtom) &&
           find(library, "XGetSelectionOwner", getSelectionOwner) &&
           find(library, "XCreateSimpleWindow", createSimpleWindow) && find(library, "XSelectInput", selectInput) &&
           find(library, "XConvertSelection", convertSelection) && find(library, "XFlush", flush) &&
           find(library, "XSync", sync) && find(library, "XPending", pending) &&
           find(library, "XNextEvent", nextEvent) && find(library, "XGetWindowProperty", getWindowProperty) &&
           find(library, "XFree", free);
  }

 private:
  template <typename Function>
  static bool find(SDL_SharedObject* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(SDL_LoadFunction(library, name));
    return function != nullptr;
  }
};

// One connection with its window that receives the text; closing the connection destroys the window.
class Reader {
 public:
  Reader(const XLibrary& x, Display* display) : x_(x), display_(display) {}
  ~Reader() { x_.closeDisplay(display_); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  ClipboardText read() {
    const Atom clipboard = atom("CLIPBOARD");
    if (x_.getSelectionOwner(display_, clipboard) == None) return {true, ""};
    window_ = x_.createSimpleWindow(display_, x_.defaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    x_.selectInput(display_, window_, PropertyChangeMask);
    property_ = atom("QZ_CLIPBOARD");
    for (const char* target : {"UTF8_STRING", "text/plain;charset=utf-8"}) {
      const Atom wanted = atom(target);
      x_.convertSelection(display_, clipboard, wanted, property_, window_, CurrentTime);
      x_.flush(display_);
      XEvent answer;
      if (!awaitEvent(SelectionNotify, answer)) return {false, kTimeout};
      if (answer.xselection.property == None) continue;  // not offered in this form
      Atom type = None;
      std::string text;
      if (!take(type, text)) return {true, ""};
      if (type == atom("INCR")) return readInChunks(wanted);
      return {true, type == wanted ? std::move(text) : std::string()};
    }
    return {true, ""};
  }

 private:
  Atom atom(const char* name) { return x_.internAtom(display_, name, False); }

  // Waits for an event of type on the window (for PropertyNotify: a new value of the property) for up to
  // a second, pumping SDL's events meanwhile.
  bool awaitEvent(int type, XEvent& event) {
    const Uint64 deadline = SDL_GetTicks() + kAnswerMilliseconds;
    for (;;) {
      while (x_.pending(display_) > 0) {
        x_.nextEvent(display_, &event);
        if (event.type != type || event.xany.window != window_) continue;
        if (type != PropertyNotify ||
            (event.xproperty.atom == property_ && event.xproperty.state == PropertyNewValue)) {
          return true;
        }
      }
      const Uint64 now = SDL_GetTicks();
      if (now >= deadline) return false;
      SDL_PumpEvents();
      pollfd readable{x_.connectionNumber(display_), POLLIN, 0};
      poll(&readable, 1, static_cast<int>(std::min(deadline - now, kPumpMilliseconds)));
    }
  }

  // The property's value as bytes, deleted once read (which asks an owner that sends in chunks for the
  // next one). False when it cannot be read.
  bool take(Atom& type, std::string& bytes) {
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (x_.getWindowProperty(display_, window_, property_, 0, INT_MAX / 4, True, AnyPropertyType, &type, &format,
                             &count, &after, &data) != Success) {
      return false;
    }
    const std::unique_ptr<unsigned char, decltype(x_.free)> owned(data, x_.free);
    if (format == 8 && data != nullptr) bytes.assign(reinterpret_cast<const char*>(data), count);
    return true;
  }

  ClipboardText readInChunks(Atom wanted) {
    std::string text;
    for (;;) {
      XEvent event;
      if (!awaitEvent(PropertyNotify, event)) return {false, kTimeout};
      Atom type = None;
      std::string chunk;
      if (!take(type, chunk)) return {true, ""};
      if (chunk.empty()) return {true, type == wanted ? std::move(text) : std::string()};
      if (chunk.size() > kMostTextBytes - text.size()) return {false, "clipboard text is too large (over 1 GiB)"};
      text += chunk;
    }
  }

  const XLibrary& x_;
  Display* display_;
  Window window_ = None;
  Atom property_ = None;
};

}  // namespace

std::optional<ClipboardText> readX11ClipboardText(SDL_Window* window) {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (driver == nullptr || std::strcmp(driver, "x11") != 0) return std::nullopt;
  const std::unique_ptr<SDL_SharedObject, ObjectUnloader> library(SDL_LoadObject("libX11.so.6"));
  XLibrary x;
  if (!library || !x.load(library.get())) return std::nullopt;
  auto* sdlDisplay = window != nullptr
                         ? static_cast<Display*>(SDL_GetPointerProperty(SDL_GetWindowProperties(window),
                                                                        SDL_PROP_WINDOW_X11_DISPLAY_POINTER, nullptr))
                         : nullptr;
  Display* display = x.openDisplay(sdlDisplay != nullptr ? x.displayString(sdlDisplay) : nullptr);
  if (display == nullptr) return std::nullopt;
  // Whatever SDL asked of the server, the clipboard's ownership among it, is done before the reader asks.
  if (sdlDisplay != nullptr) x.sync(sdlDisplay, False);
  Reader reader(x, display);
  return reader.read();
}
