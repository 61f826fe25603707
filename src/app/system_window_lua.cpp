// The window functions of the `system` module: title, window mode and focus of the main workspace window,
// the mouse cursor, the workspace's text input area, the clipboard, and raising the window to the front.
#include <SDL3/SDL_clipboard.h>
#include <SDL3/SDL_stdinc.h>
#include <SDL3/SDL_video.h>

#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "app/event_names.h"
#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "app/workspace_text_input.h"
#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "platform/clipboard_limit.h"
#include "platform/sdl_error.h"
#include "platform/x11_clipboard_read.h"
#include "ui/application.h"
#include "ui/cursor_cache.h"
#include "ui/mouse_backend.h"
#include "ui/window_registry.h"

namespace {

constexpr const char* kNoMainWindow = "main workspace window does not exist";

// The cursor names in option order; "grab" and "grabbing" are the two hands, the others SDL's own cursors.
constexpr const char* kCursorNames[] = {"arrow",      "ibeam",   "wait",    "crosshair", "wait_arrow", "size_nw_se",
                                        "size_ne_sw", "size_we", "size_ns", "size_all",  "sizeh",      "sizev",
                                        "no",         "hand",    "grab",    "grabbing",  nullptr};
constexpr SDL_SystemCursor kSystemCursors[] = {
    SDL_SYSTEM_CURSOR_DEFAULT,     SDL_SYSTEM_CURSOR_TEXT,      SDL_SYSTEM_CURSOR_WAIT,
    SDL_SYSTEM_CURSOR_CROSSHAIR,   SDL_SYSTEM_CURSOR_PROGRESS,  SDL_SYSTEM_CURSOR_NWSE_RESIZE,
    SDL_SYSTEM_CURSOR_NESW_RESIZE, SDL_SYSTEM_CURSOR_EW_RESIZE, SDL_SYSTEM_CURSOR_NS_RESIZE,
    SDL_SYSTEM_CURSOR_MOVE,        SDL_SYSTEM_CURSOR_EW_RESIZE, SDL_SYSTEM_CURSOR_NS_RESIZE,
    SDL_SYSTEM_CURSOR_NOT_ALLOWED, SDL_SYSTEM_CURSOR_POINTER,   SDL_SYSTEM_CURSOR_MOVE,
    SDL_SYSTEM_CURSOR_MOVE,
};
static_assert(std::size(kCursorNames) == std::size(kSystemCursors) + 1);
constexpr int kGrabCursor = 14;
constexpr int kGrabbingCursor = 15;

constexpr const char* kWindowModes[] = {"normal", "maximized", "fullscreen", nullptr};
constexpr int kNormalMode = 0;
constexpr int kMaximizedMode = 1;
constexpr int kFullscreenMode = 2;

struct SdlFree {
  void operator()(char* text) const { SDL_free(text); }
};

// The window registry; the application exists for as long as the scripts run.
WindowRegistry& registryOf(lua_State* L) {
  if (currentApplication() == nullptr) luaL_error(L, "%s", kNoMainWindow);
  return currentWindowRegistry();
}

SDL_Window* mainWindowOf(lua_State* L) {
  SDL_Window* window = mainWorkspaceWindow();
  if (window == nullptr) luaL_error(L, "%s", kNoMainWindow);
  return window;
}

}  // namespace

// system.set_mouse_cursor([name])
int systemSetMouseCursor(lua_State* L) {
  const int option = luaL_checkoption(L, 1, "arrow", kCursorNames);
  CursorCache& cursors = registryOf(L).cursors();
  SDL_Cursor* cursor = nullptr;
  if (option == kGrabCursor || option == kGrabbingCursor) {
    cursor = cursors.handCursor(option == kGrabCursor ? HandCursor::Open : HandCursor::Closed);
  }
  if (cursor == nullptr) cursor = cursors.systemCursor(kSystemCursors[option]);
  if (cursor != nullptr) mouseBackend().setCursor(cursor);
  return 0;
}

// system.set_window_title(title)
int systemSetWindowTitle(lua_State* L) {
  const std::string_view title = checkTextWithoutZero(L, 1);
  SDL_SetWindowTitle(mainWindowOf(L), title.data());
  return 0;
}

// system.set_window_mode([mode])
int systemSetWindowMode(lua_State* L) {
  const int mode = luaL_checkoption(L, 1, "normal", kWindowModes);
  SDL_Window* window = mainWindowOf(L);
  SDL_SetWindowFullscreen(window, mode == kFullscreenMode);
  if (mode == kNormalMode) SDL_RestoreWindow(window);
  if (mode == kMaximizedMode) SDL_MaximizeWindow(window);
  return 0;
}

// system.get_window_mode() -> "normal", "maximized", "fullscreen" or "minimized"
int systemGetWindowMode(lua_State* L) {
  pushStringView(L, windowModeName(SDL_GetWindowFlags(mainWindowOf(L))));
  return 1;
}

// system.window_has_focus() -> boolean
int systemWindowHasFocus(lua_State* L) {
  lua_pushboolean(L, (SDL_GetWindowFlags(mainWindowOf(L)) & SDL_WINDOW_INPUT_FOCUS) != 0);
  return 1;
}

// system.get_clipboard() -> text, or nil and a message
int systemGetClipboard(lua_State* L) {
  return guardMemory(L, "read the clipboard", [&] {
    if (const std::optional<ClipboardText> read = readX11ClipboardText(mainWorkspaceWindow())) {
      if (!read->read) return pushFailure(L, read->text.c_str());
      const std::string_view text = read->text;
      pushStringView(L, text.substr(0, text.find('\0')));  // as text, up to a zero byte
      return 1;
    }
    SDL_ClearError();
    const std::unique_ptr<char, SdlFree> text(SDL_GetClipboardText());
    if (!text) return pushFailure(L, sdlFailureText("SDL_GetClipboardText").c_str());
    // SDL hands out "" both for an empty clipboard and for an owner that did not answer; only the second
    // leaves an error behind.
    if (text.get()[0] == '\0' && SDL_GetError()[0] != '\0') return pushFailure(L, SDL_GetError());
    lua_pushstring(L, text.get());
    return 1;
  });
}

// system.set_clipboard(text) -> true, or nil and a message
int systemSetClipboard(lua_State* L) {
  const std::string_view text = checkTextWithoutZero(L, 1);
  const std::optional<size_t> limit = clipboardTextLimit(mainWorkspaceWindow());
  if (limit && text.size() > *limit) {
    return pushFailure(L, lua_pushfstring(L, "clipboard text is too large for the display (%I bytes, at most %I)",
                                          static_cast<lua_Integer>(text.size()), static_cast<lua_Integer>(*limit)));
  }
  SDL_ClearError();
  if (!SDL_SetClipboardText(text.data())) return pushFailure(L, sdlFailureText("SDL_SetClipboardText").c_str());
  lua_pushboolean(L, 1);
  return 1;
}

// system.set_text_input_area(x, y, width, height, cursor) -> true, or nil and a message
int systemSetTextInputArea(lua_State* L) {
  TextInputArea pixels;
  pixels.x = checkCppInteger(L, 1);
  pixels.y = checkCppInteger(L, 2);
  pixels.width = checkCppInteger(L, 3);
  pixels.height = checkCppInteger(L, 4);
  pixels.cursor = checkCppInteger(L, 5);
  luaL_argcheck(L, pixels.width >= 1, 3, "text input area width must be positive");
  luaL_argcheck(L, pixels.height >= 1, 4, "text input area height must be positive");
  luaL_argcheck(L, pixels.cursor >= 0 && pixels.cursor <= pixels.width, 5,
                "text input cursor must stay inside the area");

  WindowRegistry& registry = registryOf(L);
  const std::optional<uint64_t> main = registry.mainWindowId();
  if (!main || !registry.exists(*main)) return pushFailure(L, kNoMainWindow);
  NativeWindow& window = registry.window(*main);
  SDL_ClearError();
  if (!window.updateDisplayScale()) return pushFailure(L, sdlFailureText("SDL_GetWindowSizeInPixels").c_str());
  const std::optional<TextInputArea> area = workspaceTextInputArea(pixels, window.metrics());
  if (!area) return pushFailure(L, "text input area must stay inside the main workspace");
  std::string error;
  if (!registry.setTextInputArea(*main, area, error)) return pushFailure(L, error.c_str());
  lua_pushboolean(L, 1);
  return 1;
}

// system.raise_window(): restores the main window when minimised and brings it to the front
int systemRaiseWindow(lua_State* L) {
  SDL_Window* window = mainWindowOf(L);
  if ((SDL_GetWindowFlags(window) & SDL_WINDOW_MINIMIZED) != 0) SDL_RestoreWindow(window);
  SDL_RaiseWindow(window);
  return 0;
}
