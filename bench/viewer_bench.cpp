// Frame times of the example viewer (examples/data/core/viewer.lua) over a 10,000-line file in its 1920 x 1080
// window, painted as qz paints it (the UI host lays the form out and calls the controls' Lua callbacks, which
// draw through the draw list) and presented: a full repaint, a one-line scroll (every visible line moves)
// and an unchanged frame (every control draws again, nothing changed), through the viewer and natively (the
// same strip, lines and status bar drawn straight into the window's RenderCache), and presenting the whole
// window on its own. After the run a table gives wall-clock and CPU time and each frame's share of its path's
// full repaint. Before the frames a 200 MB file is opened in a second viewer: the time to its first painted
// frame and the memory it holds are printed after the table, and its one-line scroll in the middle of the
// file is timed with the frames. The video driver is offscreen unless SDL_VIDEO_DRIVER names another
// (bench/README.md: on Xvfb).
#include <SDL3/SDL.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
constexpr int kPadding = 8;       // as the viewer's
constexpr int kStripHeight = 30;  // the tab strip's and the status bar's heights, as the viewer's
constexpr int kStatusHeight = 24;
constexpr uint64_t kLargeFileBytes = 200ull << 20;
constexpr double kMegabyte = 1 << 20;
const char* const kMonoFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
const char* const kLabelFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

std::string lineText(int number) {
  return "  for (int i = 0; i < count; ++i) total += values[i] * weight;  // accumulate row " + std::to_string(number);
}

std::string luaQuoted(const std::string& text) { return "[==[" + text + "]==]"; }

void writeLines(const std::filesystem::path& path, uint64_t bytes, int lines) {
  std::ofstream out(path);
  uint64_t written = 0;
  for (int i = 1; i <= lines || written < bytes; ++i) {
    const std::string line = lineText(i) + "\n";
    out << line;
    written += line.size();
  }
}

// What the viewer's controls draw, drawn natively over the same lines: the tab strip with one tab, the
// gutter and the text, and the status bar.
class NativeViewer {
 public:
  bool load() {
    font_ = RenderFont::load(kMonoFont, 14.0f, 0.0f);
    label_ = RenderFont::load(kLabelFont, 13.0f, 0.0f);
    if (!font_ || !label_) return false;
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
    cache.fillRect({0, 0, kWidth, kStripHeight}, 0xFF18191Du);
    cache.fillRect({4, 4, 120, kStripHeight - 4}, 0xFF1E2024u);
    cache.fillRect({4, 4, 120, 2}, 0xFF78AAF0u);
    cache.drawText(label_.get(), "lines.txt", 4 + kPadding, 9, 0xFFEBEBE6u);
    const int textHeight = kHeight - kStripHeight - kStatusHeight;
    cache.fillRect({0, kStripHeight, gutter_, textHeight}, 0xFF26282Eu);
    cache.fillRect({gutter_, kStripHeight, kWidth - gutter_, textHeight}, 0xFF1E2024u);
    const int last = std::min(kLines, top + textHeight / lineHeight_);
    int32_t y = kStripHeight;
    for (int index = top; index <= last; ++index) {
      const char* number = numbers_[static_cast<size_t>(index - 1)].c_str();
      const int32_t x = gutter_ - kPadding - cache.textWidth(font_.get(), number, 0);
      cache.drawText(font_.get(), number, x, y, 0xFF6E737Du);
      cache.drawText(font_.get(), texts_[static_cast<size_t>(index - 1)].c_str(), gutter_ + kPadding, y, 0xFFDCDCD2u);
      y += lineHeight_;
    }
    cache.fillRect({0, kHeight - kStatusHeight, kWidth, kStatusHeight}, 0xFF2C2F36u);
    cache.drawText(label_.get(), "/tmp/lines.txt", kPadding, kHeight - kStatusHeight + 4, 0xFFAAAFB9u);
    cache.drawText(label_.get(), "UTF-8, 10000 lines, showing 5000-5076", kWidth - 300, kHeight - kStatusHeight + 4,
                   0xFFAAAFB9u);
    out.endDrawing();
  }

 private:
  std::shared_ptr<RenderFont> font_;
  std::shared_ptr<RenderFont> label_;
  std::vector<std::string> numbers_;
  std::vector<std::string> texts_;
  int32_t lineHeight_ = 1;
  int32_t gutter_ = 0;
};

// What opening the 200 MB file cost: the time to its first painted frame and the process's memory.
struct LargeFileFigures {
  bool measured = false;
  std::string lines;
  double seconds = 0;
  ProcessMemory before, after;
};

// Two viewers in the example host: one over the 10,000-line file, one over the 200 MB file.
class ViewerScreen {
 public:
  ViewerScreen()
      : file_(std::filesystem::temp_directory_path() / ("qz_viewer_bench_" + std::to_string(getpid()) + ".txt")),
        host_({"--new-instance"}) {
    writeLines(file_, 0, kLines);
    if (!host_.ready() || !native_.load() || !host_.run("dofile(BOOT_FILE)").empty()) return;
    measureLargeFile();
    const std::string window = host_.run(
        "local viewer = require('core.viewer')\n"
        "bench_viewer = viewer.open({ 'qz', " +
        luaQuoted(file_.string()) +
        " }, nil, { width = 1920, height = 1080 })\n"
        "bench_viewer:drain_events()\n"
        "local step = 1\n"
        "local function scroll(v) step = -step v:view().top = v:view().top + step control.redraw(v.form, v.text) "
        "v:drain_events() end\n"
        "function bench_full_repaint() window.invalidate(bench_viewer.window) bench_viewer:drain_events() end\n"
        "function bench_scroll() scroll(bench_viewer) end\n"
        "function bench_unchanged() control.redraw(bench_viewer.form, bench_viewer.text) "
        "bench_viewer:drain_events() end\n"
        "function bench_large_scroll() scroll(large_viewer) end\n"
        "return bench_viewer.window");
    ready_ = !window.empty() && window.rfind("error", 0) != 0;
    if (ready_) {
      window_ = std::stoull(window);
    } else {
      std::fprintf(stderr, "viewer setup: %s\n", window.c_str());
    }
  }
  ~ViewerScreen() { std::filesystem::remove(file_); }

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
  WindowRenderer& renderer() { return *currentWindowRegistry().window(window_).renderer(); }
  NativeViewer& native() { return native_; }
  const LargeFileFigures& largeFile() const { return large_; }

 private:
  // Opens a 200 MB file of the benchmark's lines as `./dev.sh run` would, up to its first painted frame; the
  // viewer stays for the large-file frames. The peak is counted from just before the file is opened.
  void measureLargeFile() {
    const std::filesystem::path path = file_.string() + ".large";
    writeLines(path, kLargeFileBytes, 0);
    std::ofstream("/proc/self/clear_refs") << "5";  // restarts the peak resident count
    const auto before = queryProcessMemory();
    const auto start = std::chrono::steady_clock::now();
    large_.lines = host_.run("large_viewer = require('core.viewer').open({ 'qz', " + luaQuoted(path.string()) +
                             " }, nil, { width = 1920, height = 1080 })\n"
                             "large_viewer:drain_events()\n"
                             "return large_viewer.docs[1].line_count");
    large_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto after = queryProcessMemory();
    std::filesystem::remove(path);
    if (!before || !after) return;
    large_ = {true, large_.lines, large_.seconds, *before, *after};
    host_.run("large_viewer:view().top = large_viewer.docs[1].line_count // 2 large_viewer:drain_events()");
  }

  std::filesystem::path file_;
  qztest::ExampleHost host_;
  NativeViewer native_;
  LargeFileFigures large_;
  uint64_t window_ = 0;
  bool ready_ = false;
};

ViewerScreen& screen() {
  static ViewerScreen instance;
  return instance;
}

void runLuaFrames(benchmark::State& state, const char* function) {
  ViewerScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("the viewer did not start");
  s.run("bench_viewer:view().top = 5000 bench_full_repaint() bench_unchanged()");
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
