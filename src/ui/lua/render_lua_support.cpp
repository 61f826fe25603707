// The render target as the drawing modules see it. Start-up makes the main window the render target; a
// script can still find none (the window was closed), which is reported instead of followed.
#include "ui/lua/render_lua_support.h"

#include <cstdlib>

#include "host/lua_api.h"
#include "render/window_renderer.h"
#include "ui/application.h"
#include "ui/window_registry.h"

WindowRenderer& checkRenderTarget(lua_State* L) {
  if (currentApplication() != nullptr) {
    if (WindowRenderer* renderer = currentWindowRegistry().findRenderTargetRenderer()) return *renderer;
  }
  luaL_error(L, "no render target window");
  std::abort();  // unreachable: luaL_error raises
}

RenderCache& checkRenderTargetCache(lua_State* L) { return *checkRenderTarget(L).renderCache(); }

void raiseOutOfMemory(lua_State* L, const char* what) {
  luaL_error(L, "not enough memory to %s", what);
  std::abort();  // unreachable: luaL_error raises
}
