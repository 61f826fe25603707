// Frame times of the example viewer (examples/data/core/viewer.lua) over a 10,000-line file in a
// 1920 x 1080 main window, presented as qz presents it: a full-screen repaint, a one-line scroll (every
// visible line moves) and an unchanged frame, each through the viewer's Lua code and natively (the same
// frames drawn into the window's RenderCache), and presenting the whole window on its own. After the run a
// table gives wall-clock and CPU time and each frame's share of its path's full repaint. Before the frames, a
// 200 MB file is opened: the time to its first frame and the memory it holds are printed after the table,
// and its one-line scroll in the middle of the file is timed with the frames. The video driver is offscreen
// unless SDL_VIDEO_DRIVER names another (bench/README.md: on Xvfb).
#include <SDL3/SDL.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "example_host.h"
#include "fonts/render_font.h"
#include "frame_table.h"
#include "host/lua_api.h"
#include "platform/process_memory.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"
#include "ui/application.h"
#include "ui/window_registry.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kLines = 10000;
constexpr int kPadding = 8;  // as the viewer's
constexpr uint64_t kLargeFileBytes = 200ull << 20;
constexpr double kMegabyte = 1 << 20;
const char* const kMonoFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

std::string lineText(int number) {
  return "  for (int i = 0; i < count; ++i) total += values[i] * weight;  // accumulate row " + std::to_string(number);
}

// What the viewer's View:draw records, drawn natively over the same lines.
class NativeViewer {
 public:
  bool load() {
    font_ = RenderFont::load(kMonoFont, 14.0f, 0.0f);
    if (!font_) return false;
    font_->setTabSize(4 * std::max(1, font_->textWidth(" ")));
    lineHeight_ = std::max(1, font_->height());
    for (int i = 1; i <= kLines; ++i) {
      numbers_.push_back(std::to_string(i));
      texts_.push_back(lineText(i));
    }
    gutter_ = font_->textWidth(numbers_.back().c_str()) + 2 * kPadding;
    return true;
  }

  void draw(WindowRenderer& out, int top) {
    RenderCache& cache = *out.renderCache();
    out.beginDrawing();
    cache.setClipRect({0, 0, kWidth, kHeight});
    cache.fillRect({0, 0, kWidth, kHeight}, 0xFF1E2024u);
    cache.fillRect({0, 0, gutter_, kHeight}, 0xFF26282Eu);
    const int last = std::min(kLines, top + kHeight / lineHeight_);
    int32_t y = 0;
    for (int index = top; index <= last; ++index) {
      const char* number = numbers_[static_cast<size_t>(index - 1)].c_str();
      const int32_t x = gutter_ - kPadding - cache.textWidth(font_.get(), number, 0);
      cache.drawText(font_.get(), number, x, y, 0xFF6E737Du);
      cache.drawText(font_.get(), texts_[static_cast<size_t>(index - 1)].c_str(), gutter_ + kPadding, y, 0xFFDCDCD2u);
      y += lineHeight_;
    }
    out.endDrawing();
  }

 private:
  std::shared_ptr<RenderFont> font_;
  std::vector<std::string> numbers_;
  std::vector<std::string> texts_;
  int32_t lineHeight_ = 1;
  int32_t gutter_ = 0;
};

std::string luaQuoted(const std::string& text) { return "[==[" + text + "]==]"; }

// What opening the 200 MB file cost: the time to its first frame and the process's memory around it.
struct LargeFileFigures {
  bool measured = false;
  std::string lines;
  double seconds = 0;
  ProcessMemory before, after;
};

// The viewer's view of the file, shown in the example host's main window.
class ViewerScreen {
 public:
  ViewerScreen()
      : file_(std::filesystem::temp_directory_path() / ("qz_viewer_bench_" + std::to_string(getpid()) + ".txt")),
        host_({"--new-instance"}) {
    std::ofstream out(file_);
    for (int i = 1; i <= kLines; ++i) out << lineText(i) << "\n";
    out.close();
    if (!host_.ready() || !native_.load()) return;
    SDL_SetWindowSize(host_.mainWindow(), kWidth, kHeight);
    SDL_SyncWindow(host_.mainWindow());
    if (!host_.run("dofile(BOOT_FILE)").empty()) return;
    measureLargeFile();
    const std::string error = host_.run(
        "local viewer = require('core.viewer')\n"
        "local font = renderer.font.load('/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf', 14)\n"
        "bench_view = viewer.new_view(viewer.open_documents({" +
        luaQuoted(file_.string()) +
        "}), font)\n"
        "bench_view:draw()\n"
        "local w, h = renderer.get_size() assert(w == 1920 and h == 1080, w .. 'x' .. h)\n"
        "local step = 1\n"
        "function bench_full_repaint() renderer.invalidate_rect(0, 0, 1920, 1080) bench_view:draw() end\n"
        "function bench_scroll() step = -step bench_view:scroll(step) bench_view:draw() end\n"
        "function bench_unchanged() bench_view:draw() end\n"
        "function bench_large_scroll() step = -step large_view:scroll(step) large_view:draw() end\n");
    ready_ = error.empty();
    if (!ready_) std::fprintf(stderr, "viewer setup: %s\n", error.c_str());
  }
  ~ViewerScreen() { std::filesystem::remove(file_); }

  const LargeFileFigures& largeFile() const { return large_; }
  bool ready() const { return ready_; }
  bool run(const char* chunk) { return host_.run(chunk).empty(); }
  // Calls a global function of the setup; false when it failed.
  bool call(const char* function) {
    lua_State* L = host_.lua();
    lua_getglobal(L, function);
    if (lua_pcall(L, 0, 0, 0) == LUA_OK) return true;
    std::fprintf(stderr, "%s: %s\n", function, lua_tostring(L, -1));
    lua_pop(L, 1);
    return false;
  }
  WindowRenderer& renderer() { return currentWindowRegistry().renderTargetRenderer(); }
  NativeViewer& native() { return native_; }

 private:
  // Opens a 200 MB file of the benchmark's lines as `./dev.sh run` would and draws its first frame; the
  // view stays for the large-file frames. The peak is counted from just before the file is opened.
  void measureLargeFile() {
    const std::filesystem::path path = file_.string() + ".large";
    {
      std::ofstream out(path);
      uint64_t written = 0;
      for (int i = 1; written < kLargeFileBytes; ++i) {
        const std::string line = lineText(i) + "\n";
        out << line;
        written += line.size();
      }
    }
    std::ofstream("/proc/self/clear_refs") << "5";  // restarts the peak resident count
    const auto before = queryProcessMemory();
    const auto start = std::chrono::steady_clock::now();
    large_.lines = host_.run(
        "local viewer = require('core.viewer')\n"
        "large_view = viewer.new_view(viewer.open_documents({" +
        luaQuoted(path.string()) +
        "}), viewer.load_font(14))\n"
        "large_view:draw()\n"
        "return large_view.docs[1].line_count");
    large_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto after = queryProcessMemory();
    std::filesystem::remove(path);
    if (!before || !after) return;
    large_ = {true, large_.lines, large_.seconds, *before, *after};
    host_.run("large_view.top = large_view.row_count // 2 large_view:draw()");
  }

  std::filesystem::path file_;
  qztest::ExampleHost host_;
  NativeViewer native_;
  LargeFileFigures large_;
  bool ready_ = false;
};

ViewerScreen& screen() {
  static ViewerScreen instance;
  return instance;
}

void runLuaFrames(benchmark::State& state, const char* function) {
  ViewerScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("the viewer did not start");
  s.run("bench_view.top = 5000 bench_view:draw() bench_view:draw()");
  for (auto _ : state) {
    if (!s.call(function)) return state.SkipWithError("the frame failed");
  }
}

// kind: 0 full repaint, 1 one-line scroll, 2 unchanged.
void runNativeFrames(benchmark::State& state, int kind) {
  ViewerScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("the viewer did not start");
  WindowRenderer& out = s.renderer();
  int top = 5000, step = 1;
  s.native().draw(out, top);
  s.native().draw(out, top);
  for (auto _ : state) {
    if (kind == 0) out.renderCache()->invalidateRect({0, 0, kWidth, kHeight});
    if (kind == 1) top += (step = -step);
    s.native().draw(out, top);
  }
}

void presentWindow(benchmark::State& state) {
  ViewerScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("the viewer did not start");
  const RenderRect all{0, 0, kWidth, kHeight};
  for (auto _ : state) s.renderer().present(&all, 1);
}

void registerBenchmarks() {
  const struct {
    const char* name;
    const char* luaFunction;
  } frames[] = {
      {"full repaint", "bench_full_repaint"},
      {"one-line scroll", "bench_scroll"},
      {"unchanged frame", "bench_unchanged"},
  };
  for (int kind = 0; kind < 3; ++kind) {
    const std::string native = std::string("native/") + frames[kind].name;
    const std::string lua = std::string("lua/") + frames[kind].name;
    registerFrame(native, runNativeFrames, kind);
    registerFrame(lua, runLuaFrames, frames[kind].luaFunction);
  }
  registerFrame("present/full screen", presentWindow);
  registerFrame("200 MB file/one-line scroll", runLuaFrames, "bench_large_scroll");
}

void printLargeFileFigures() {
  const LargeFileFigures& large = screen().largeFile();
  if (!large.measured) {
    std::printf("\n200 MB file: not measured\n");
    return;
  }
  std::printf(
      "\n200 MB file (%s lines): first frame after %.2f s; resident %.0f MB (%.0f MB more than before), "
      "peak %.0f MB\n",
      large.lines.c_str(), large.seconds, large.after.workingSetBytes / kMegabyte,
      (static_cast<double>(large.after.workingSetBytes) - static_cast<double>(large.before.workingSetBytes)) /
          kMegabyte,
      large.after.peakWorkingSetBytes / kMegabyte);
}

}  // namespace

int main(int argc, char** argv) {
  registerBenchmarks();
  const int result = runWithFrameTable(argc, argv, {"present", "200 MB file"});
  printLargeFileFigures();
  return result;
}
