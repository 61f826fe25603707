// What the renderer, canvas and Font bindings share: the render-target window's renderer and the guard
// that turns running out of memory into a Lua error.
#pragma once

#include <new>
#include <vector>

#include "render/text_layout.h"

struct lua_State;
class RenderCache;
class WindowRenderer;

// The renderer of the current render-target window; raises "no render target window" when there is none.
WindowRenderer& checkRenderTarget(lua_State* L);
// Its render cache.
RenderCache& checkRenderTargetCache(lua_State* L);

// Pushes {{start_column, end_column, start_x, end_x}, ...}, one array per cluster.
void pushTextClusters(lua_State* L, const std::vector<TextCluster>& clusters);

// Raises "not enough memory to <what>".
[[noreturn]] void raiseOutOfMemory(lua_State* L, const char* what);

// Runs native work that may allocate; std::bad_alloc becomes the Lua error "not enough memory to <what>",
// raised after the exception is gone. Lua errors raised inside pass through unchanged.
template <typename Work>
decltype(auto) guardMemory(lua_State* L, const char* what, Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
  }
  raiseOutOfMemory(L, what);
}
