// The shared helpers. System texts come from the standard library's system error category, which gives the
// C library's message for an errno value.
#include "app/system_lua_support.h"

#include <string>
#include <system_error>

#include "host/lua_api.h"
#include "ui/application.h"
#include "ui/window_registry.h"

std::string systemErrorText(int code) {
  std::string text = std::system_category().message(code);
  while (text.size() > 3 && (text.back() == '.' || text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string_view checkStringView(lua_State* L, int index) {
  size_t length = 0;
  const char* text = luaL_checklstring(L, index, &length);
  return {text, length};
}

SDL_Window* mainWorkspaceWindow() {
  if (currentApplication() == nullptr) return nullptr;
  WindowRegistry& registry = currentWindowRegistry();
  const std::optional<uint64_t> main = registry.mainWindowId();
  return main && registry.exists(*main) ? registry.mainSdlWindow().window() : nullptr;
}

void pushStringView(lua_State* L, std::string_view text) { lua_pushlstring(L, text.data(), text.size()); }

int pushFailure(lua_State* L, const char* message) {
  lua_pushnil(L);
  lua_pushstring(L, message);
  return 2;
}

int pushPlatformError(lua_State* L, const char* what, int code) {
  std::string text = systemErrorText(code);
  if (text.empty()) text = "unknown platform error";
  lua_pushnil(L);
  lua_pushfstring(L, "%s: %s (%d)", what, text.c_str(), code);
  return 2;
}

int formatWindowsError(lua_State* L, const char* what, int code) {
  std::string text = systemErrorText(code);
  if (text.empty()) text = "system error " + std::to_string(static_cast<unsigned>(code));
  lua_pushnil(L);
  lua_pushfstring(L, "%s: %s", what, text.c_str());
  return 2;
}
