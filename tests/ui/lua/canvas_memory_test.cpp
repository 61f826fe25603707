// The collector and canvas pixels, which live outside Lua's allocator: a loop of loads whose canvases are
// dropped at once stays within a few canvases' memory, in a child process whose memory is capped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "host/lua_api.h"
#include "memory_limited_child.h"
#include "platform/process_memory.h"
#include "render/png_writer.h"
#include "sanitizer_build.h"
#include "scratch_dir.h"
#include "ui/lua/canvas_lua.h"

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

// Runs the chunk in a fresh state with the canvas module; 0 when it ran, 1 with its error on standard error,
// 2 when the process's resident memory grew past the allowance.
int runCountingMemory(const std::string& chunk) {
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts from here, not from the parent's
  const uint64_t residentBefore = queryProcessMemory().value_or(ProcessMemory{}).workingSetBytes;
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "canvas", luaopen_canvas, 1);
  lua_pop(L, 1);
  const bool ran = luaL_dostring(L, chunk.c_str()) == LUA_OK;
  if (!ran) std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
  lua_close(L);
  if (!ran) return 1;
  const uint64_t peak = queryProcessMemory().value_or(ProcessMemory{}).peakWorkingSetBytes;
  return peak > residentBefore + kAllowance ? 2 : 0;
}

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
      "end";
  EXPECT_EQ(runInMemoryLimitedChild(kAllowance, [&] { return runCountingMemory(loop); }), 0)
      << "1: a load failed, 2: memory grew past the allowance, above 128: a signal";
}

}  // namespace
