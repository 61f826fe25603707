// Frame times of the example viewer (examples/data/core/viewer.lua) over a 10,000-line file in a
// 1920 x 1080 main window (offscreen driver, window surface in memory), through the whole Lua path:
// a full-screen repaint, a one-line scroll (every visible line moves) and an unchanged frame.
#include <SDL3/SDL.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "example_host.h"
#include "host/lua_api.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// The viewer's view of the file, shown in the example host's main window.
class ViewerScreen {
 public:
  ViewerScreen()
      : file_(std::filesystem::temp_directory_path() / ("qz_viewer_bench_" + std::to_string(getpid()) + ".txt")),
        host_({"--new-instance"}) {
    std::ofstream out(file_);
    for (int i = 1; i <= 10000; ++i) {
      out << "  for (int i = 0; i < count; ++i) total += values[i] * weight;  // accumulate row " << i << "\n";
    }
    out.close();
    if (!host_.ready()) return;
    SDL_SetWindowSize(host_.mainWindow(), kWidth, kHeight);
    const std::string error = host_.run(
        "dofile(BOOT_FILE)\n"
        "local viewer = require('core.viewer')\n"
        "local font = renderer.font.load('/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf', 14)\n"
        "bench_view = viewer.new_view(viewer.lines_of({" +
        luaQuoted(file_.string()) +
        "}), font)\n"
        "bench_view:draw()\n"
        "local w, h = renderer.get_size() assert(w == 1920 and h == 1080, w .. 'x' .. h)");
    ready_ = error.empty();
    if (!ready_) std::fprintf(stderr, "viewer setup: %s\n", error.c_str());
  }
  ~ViewerScreen() { std::filesystem::remove(file_); }

  bool ready() const { return ready_; }
  // Runs a chunk that was checked to work; the benchmark stops on an error.
  bool run(const char* chunk) { return host_.run(chunk).empty(); }

 private:
  static std::string luaQuoted(const std::string& text) { return "[==[" + text + "]==]"; }

  std::filesystem::path file_;
  qztest::ExampleHost host_;
  bool ready_ = false;
};

ViewerScreen& screen() {
  static ViewerScreen instance;
  return instance;
}

void runFrames(benchmark::State& state, const char* frameChunk) {
  ViewerScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("the viewer did not start");
  for (auto _ : state) {
    if (!s.run(frameChunk)) return state.SkipWithError("the frame failed");
  }
}

void BM_ViewerFullScreen(benchmark::State& state) {
  runFrames(state, "renderer.invalidate_rect(0, 0, 1920, 1080) bench_view:draw()");
}

void BM_ViewerOneLineScroll(benchmark::State& state) {
  screen().run("bench_view.top = 5000 step = 1");
  runFrames(state, "step = -step bench_view:scroll(step) bench_view:draw()");
}

void BM_ViewerUnchangedFrame(benchmark::State& state) { runFrames(state, "bench_view:draw()"); }

BENCHMARK(BM_ViewerFullScreen)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ViewerOneLineScroll)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ViewerUnchangedFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
