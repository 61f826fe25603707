// The collector and canvas pixels, which live outside Lua's allocator: a loop of loads whose canvases are
// dropped at once stays within a few canvases' memory, on its own and inside a frame, in a child process
// whose memory is capped; a loop that keeps them fails there with a message.
#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "host/lua_api.h"
#include "memory_limited_child.h"
#include "platform/process_memory.h"
#include "render/png_writer.h"
#include "sanitizer_build.h"
#include "scratch_dir.h"
#include "ui/application.h"
#include "ui/lua/canvas_lua.h"
#include "ui/lua/renderer_lua.h"
#include "ui/window_registry.h"

namespace {

constexpr size_t kCanvasBytes = size_t{4096} * 4096 * 4;  // 64 MiB
// Room for the canvases a collection lets wait (about three), the decoder's own copy and the heap: half the
// canvases the loop loads. Under AddressSanitizer its quarantine keeps another 256 MiB of what was freed.
#ifdef QZ_TEST_UNDER_ASAN
constexpr size_t kAllowance = 12 * kCanvasBytes;
#else
constexpr size_t kAllowance = 8 * kCanvasBytes;
#endif

class CanvasMemoryTest : public ScratchDirTest {};

// The window a chunk draws into: SDL's offscreen video, the application and one window as render target.
class OffscreenWindow {
 public:
  OffscreenWindow() {
    SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, "offscreen", SDL_HINT_OVERRIDE);
    if (!SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS)) return;
    installApplication(std::make_unique<Application>());
    WindowCreateInfo info;
    info.width = 64;
    info.height = 32;
    std::string error;
    if (const std::optional<uint64_t> id = currentApplication()->createWindow(info, error)) {
      currentWindowRegistry().setRenderTarget(*id);
      ready_ = true;
    }
  }
  ~OffscreenWindow() {
    takeApplication().reset();
    SDL_Quit();
  }
  bool ready() const { return ready_; }

 private:
  bool ready_ = false;
};

// Runs the chunk in a fresh state with the canvas and renderer modules; 0 when it ran, 1 with its error on
// standard error, 2 when the process's resident memory grew past the allowance, 3 without a window.
int runCountingMemory(const std::string& chunk) {
  const OffscreenWindow window;
  if (!window.ready()) return 3;
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts from here, not from the parent's
  const uint64_t residentBefore = queryProcessMemory().value_or(ProcessMemory{}).workingSetBytes;
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "canvas", luaopen_canvas, 1);
  luaL_requiref(L, "renderer", luaopen_renderer, 1);
  lua_pop(L, 2);
  const bool ran = luaL_dostring(L, chunk.c_str()) == LUA_OK;
  if (!ran) std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
  lua_close(L);
  if (!ran) return 1;
  const uint64_t peak = queryProcessMemory().value_or(ProcessMemory{}).peakWorkingSetBytes;
  return peak > residentBefore + kAllowance ? 2 : 0;
}

// Whether the loop runs on its own or inside a frame that draws other things (whose end would keep what
// it draws, and only that).
TEST_F(CanvasMemoryTest, ALoopOfLoadsWhoseCanvasesAreDroppedFinishesWithinAFewCanvasesMemory) {
  CanvasBitmap big(4096, 4096);
  std::fill(big.pixels.begin(), big.pixels.end(), 0xFF336699u);
  const std::string file = path("big.png");
  ASSERT_EQ(savePngWithMetadata(big, file, {}), std::nullopt);
  big = CanvasBitmap(0, 0);
  const std::string loop =
      "for i = 1, 16 do\n"
      "  local c, err = canvas.load_image('" +
      file +
      "')\n"
      "  assert(c, err)\n"
      "end\n";
  const struct {
    const char* where;
    std::string chunk;
  } cases[] = {
      {"on its own", loop},
      {"inside a frame",
       "renderer.begin_frame()\nrenderer.draw_rect(0, 0, 8, 8, {1, 2, 3})\n" + loop + "renderer.end_frame()"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runInMemoryLimitedChild(kAllowance, [&] { return runCountingMemory(c.chunk); }), 0)
        << c.where << " -- 1: a load failed, 2: memory grew past the allowance, 3: no window, above 128: a signal";
  }
}

// The other side of the bound: a loop that keeps every canvas it makes needs their memory, and under the same
// cap making one fails with a message (nil and the reason from a load, an error from render_to_canvas)
// rather than ending the process; once the script lets them go, canvases can be made again.
TEST_F(CanvasMemoryTest, ALoopThatKeepsEveryCanvasFailsWithAMessageOnceMemoryRunsOut) {
#ifdef QZ_TEST_UNDER_ASAN
  GTEST_SKIP() << "under AddressSanitizer the child runs without a memory cap";
#endif
  CanvasBitmap big(4096, 4096);
  std::fill(big.pixels.begin(), big.pixels.end(), 0xFF336699u);
  const std::string file = path("big.png");
  ASSERT_EQ(savePngWithMetadata(big, file, {}), std::nullopt);
  big = CanvasBitmap(0, 0);
  const std::string loop = R"(
local keep, failure = {}, nil
for i = 1, 100 do
  local ok, c, err = pcall(make)
  if not ok or not c then failure = ok and err or c break end
  keep[i] = c
end
assert(failure, 'all 100 canvases fit')
assert(failure:lower():find('memory'), failure)
assert(#keep >= 2, failure)
keep = nil
collectgarbage()
assert(make()))";
  for (const char* make : {"canvas.load_image(file)", "renderer.render_to_canvas(4096, 4096, function() end)"}) {
    SCOPED_TRACE(make);
    const std::string chunk =
        "local file = '" + file + "'\nlocal function make() return " + std::string(make) + " end" + loop;
    EXPECT_EQ(runInMemoryLimitedChild(kAllowance, [&] { return runCountingMemory(chunk); }), 0)
        << "1: the script failed, 2: memory grew past the allowance, 3: no window, above 128: a signal";
  }
}

}  // namespace
