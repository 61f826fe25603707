// The render target as the drawing modules see it. Start-up makes the main window the render target; a
// script can still find none (the window was closed), which is reported instead of followed.
#include "ui/lua/render_lua_support.h"

#include <algorithm>
#include <cstdint>
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

void pushTextClusters(lua_State* L, const std::vector<TextCluster>& clusters) {
  lua_createtable(L, static_cast<int>(std::min<size_t>(clusters.size(), INT32_MAX)), 0);
  lua_Integer index = 0;
  for (const TextCluster& cluster : clusters) {
    lua_createtable(L, 4, 0);
    const lua_Integer values[] = {cluster.startColumn, cluster.endColumn, cluster.startX, cluster.endX};
    for (int i = 0; i < 4; ++i) {
      lua_pushinteger(L, values[i]);
      lua_rawseti(L, -2, i + 1);
    }
    lua_rawseti(L, -2, ++index);
  }
}

void raiseOutOfMemory(lua_State* L, const char* what) {
  luaL_error(L, "not enough memory to %s", what);
  std::abort();  // unreachable: luaL_error raises
}
