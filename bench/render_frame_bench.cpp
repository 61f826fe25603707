// Frame costs of a 1920 x 1080 offscreen window full of text: a full repaint, an unchanged frame, a
// one-line change and a cursor blink, beside a plain memcpy of one frame. After the run a table gives
// each in microseconds and as a ratio to the full repaint.
#include <SDL3/SDL_hints.h>
#include <SDL3/SDL_init.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fonts/render_font.h"
#include "ratio_reporter.h"
#include "render/render_cache.h"
#include "render/window_presentation.h"
#include "render/window_renderer.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
const char* const kMonoFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

// One window with a screen of text lines, shared by every benchmark of the run.
class TextScreen {
 public:
  TextScreen() {
    SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "offscreen");
    if (!SDL_Init(SDL_INIT_VIDEO)) std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
    chooseWindowPresentation();  // as qz does
    handle_ = WindowRendererHandle(SDL_CreateWindow("bench", kWidth, kHeight, SDL_WINDOW_HIDDEN), SDL_DestroyWindow);
    font_ = RenderFont::load(kMonoFont, 14.0f, 0.0f);
    const std::string pattern = "for (int i = 0; i < count; ++i) total += values[i] * weight; // accumulate ";
    const int columns = kWidth / std::max(1, font_->codepointAdvance('m').advance) + 1;
    for (int y = 0; y + font_->height() <= kHeight; y += font_->height()) {
      std::string line;
      while (static_cast<int>(line.size()) < columns) line += pattern.substr(lines_.size() % 17);
      line.resize(static_cast<size_t>(columns));
      lines_.push_back(line);
    }
  }

  bool ready() const { return handle_.renderer() != nullptr && font_ != nullptr; }
  WindowRenderer& renderer() { return *handle_.renderer(); }

  // Draws one frame; `changedLine` (or -1) gets a different text, `cursor` adds a cursor bar.
  void frame(int changedLine, bool cursor) {
    WindowRenderer& out = renderer();
    RenderCache& cache = *out.renderCache();
    out.beginDrawing();
    cache.fillRect({0, 0, kWidth, kHeight}, 0xFF1E1E1Eu);
    const int lineHeight = font_->height();
    for (size_t i = 0; i < lines_.size(); ++i) {
      const char* text = static_cast<int>(i) == changedLine ? changed_.c_str() : lines_[i].c_str();
      cache.drawText(font_.get(), text, 0, static_cast<int32_t>(i) * lineHeight, 0xFFD4D4D4u);
    }
    if (cursor) cache.fillRect({400, 20 * lineHeight, 2, lineHeight}, 0xFFFFFFFFu);
    out.endDrawing();
  }

  void setChangedText(int variant) {
    changed_ = lines_[20];
    changed_[10] = variant ? 'X' : 'Y';
  }

 private:
  WindowRendererHandle handle_;
  std::shared_ptr<RenderFont> font_;
  std::vector<std::string> lines_;
  std::string changed_;
};

TextScreen& screen() {
  static TextScreen instance;
  return instance;
}

void BM_FullRepaint(benchmark::State& state) {
  TextScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window or font");
  for (auto _ : state) {
    s.renderer().renderCache()->invalidateRect({0, 0, kWidth, kHeight});
    s.frame(-1, false);
  }
}

void BM_UnchangedFrame(benchmark::State& state) {
  TextScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window or font");
  s.frame(-1, false);
  s.frame(-1, false);
  for (auto _ : state) s.frame(-1, false);
}

void BM_OneLineChange(benchmark::State& state) {
  TextScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window or font");
  int variant = 0;
  for (auto _ : state) {
    s.setChangedText(variant ^= 1);
    s.frame(20, false);
  }
}

void BM_CursorBlink(benchmark::State& state) {
  TextScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window or font");
  bool on = false;
  for (auto _ : state) s.frame(-1, on = !on);
}

void BM_FrameMemcpy(benchmark::State& state) {
  std::vector<uint32_t> from(static_cast<size_t>(kWidth) * kHeight, 0xFF1E1E1Eu), to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size() * sizeof(uint32_t));
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_FullRepaint)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UnchangedFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OneLineChange)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CursorBlink)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrameMemcpy)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto full = reporter.microseconds.find("BM_FullRepaint");
  if (full != reporter.microseconds.end() && full->second > 0) {
    std::printf("\n%-20s %12s %10s\n", "frame", "microseconds", "ratio");
    for (const auto& [name, time] : reporter.microseconds) {
      std::printf("%-20s %12.1f %9.2f%%\n", name.c_str(), time, 100.0 * time / full->second);
    }
  }
  benchmark::Shutdown();
  return 0;
}
