// Frame costs of a 1920 x 1080 window full of text (qz's main window, presented as qz presents it): a full
// repaint, an unchanged frame, a one-line change and a cursor blink, each drawn natively into the window's
// RenderCache and through the Lua renderer module (the same frames), presentation included; beside them the
// cost of presenting the whole window and one 96-pixel band on their own, a plain memcpy of one frame, and
// the image compositor showing an 8,000 x 8,000 canvas (the frame that first shows it, and the next ones),
// 4,096 small canvases through the compositor with their tiles in the tile budget or twice over it, and a
// 1,000 x 1,000 canvas zoomed 1.37, 2.5, 10, 40 and 160 times into a smaller window.
// After the run a table gives wall-clock and CPU time and each frame's share of its path's full repaint.
// The video driver is offscreen unless SDL_VIDEO_DRIVER names another (bench/README.md: on Xvfb).
#include <SDL3/SDL.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "example_host.h"
#include "fonts/render_font.h"
#include "frame_table.h"
#include "host/lua_api.h"
#include "render/canvas_bitmap.h"
#include "render/image_tile_cache.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"
#include "ui/application.h"
#include "ui/window_registry.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kChangedLine = 20;
const char* const kMonoFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

// The Lua side of the frames: bench_frame(invalidate, variant, cursor) draws what TextScreen::nativeFrame
// draws, through the renderer module.
constexpr const char kLuaFrame[] = R"(
local font = renderer.font.load(BENCH_FONT, 14)
local lines, changed = bench_lines, bench_changed
local width, height = 1920, 1080
local line_height = math.floor(font:get_height())
local draw_text, draw_rect = renderer.draw_text, renderer.draw_rect
local background, foreground, cursor_color = { 30, 30, 30 }, { 212, 212, 212 }, { 255, 255, 255 }
function bench_frame(invalidate, variant, cursor)
  if invalidate then renderer.invalidate_rect(0, 0, width, height) end
  renderer.begin_frame()
  draw_rect(0, 0, width, height, background)
  for i = 1, #lines do
    local text = lines[i]
    if variant and i == 21 then text = changed[variant + 1] end
    draw_text(font, text, 0, (i - 1) * line_height, foreground)
  end
  if cursor then draw_rect(400, 20 * line_height, 2, line_height, cursor_color) end
  renderer.end_frame()
end
)";

enum class Frame { FullRepaint, Unchanged, OneLineChange, CursorBlink };

// qz's main window with a screen of text lines, shared by every benchmark of the run.
class TextScreen {
 public:
  TextScreen() : host_({"--new-instance"}) {
    if (!host_.ready()) return;
    SDL_SetWindowSize(host_.mainWindow(), kWidth, kHeight);
    SDL_SyncWindow(host_.mainWindow());
    font_ = RenderFont::load(kMonoFont, 14.0f, 0.0f);
    if (!font_) return;
    const std::string pattern = "for (int i = 0; i < count; ++i) total += values[i] * weight; // accumulate ";
    const int columns = kWidth / std::max(1, font_->codepointAdvance('m').advance) + 1;
    for (int y = 0; y + font_->height() <= kHeight; y += font_->height()) {
      std::string line;
      while (static_cast<int>(line.size()) < columns) line += pattern.substr(lines_.size() % 17);
      line.resize(static_cast<size_t>(columns));
      lines_.push_back(line);
    }
    for (int variant = 0; variant < 2; ++variant) {
      changed_[variant] = lines_[kChangedLine];
      changed_[variant][10] = variant ? 'X' : 'Y';
    }
    ready_ = prepareLua();
  }

  bool ready() const { return ready_; }
  WindowRenderer& renderer() { return currentWindowRegistry().renderTargetRenderer(); }
  int32_t lineTop(int line) const { return line * font_->height(); }

  // Draws a frame; variant 0 or 1 changes one line, -1 none; `cursor` adds a cursor bar.
  void nativeFrame(bool invalidate, int variant, bool cursor) {
    WindowRenderer& out = renderer();
    RenderCache& cache = *out.renderCache();
    if (invalidate) cache.invalidateRect({0, 0, kWidth, kHeight});
    out.beginDrawing();
    cache.fillRect({0, 0, kWidth, kHeight}, 0xFF1E1E1Eu);
    const int lineHeight = font_->height();
    for (size_t i = 0; i < lines_.size(); ++i) {
      const bool changed = variant >= 0 && static_cast<int>(i) == kChangedLine;
      const char* text = changed ? changed_[variant].c_str() : lines_[i].c_str();
      cache.drawText(font_.get(), text, 0, static_cast<int32_t>(i) * lineHeight, 0xFFD4D4D4u);
    }
    if (cursor) cache.fillRect({400, kChangedLine * lineHeight, 2, lineHeight}, 0xFFFFFFFFu);
    out.endDrawing();
  }

  // The same frame through the renderer module; false when the Lua call failed.
  bool luaFrame(bool invalidate, int variant, bool cursor) {
    lua_State* L = host_.lua();
    lua_getglobal(L, "bench_frame");
    lua_pushboolean(L, invalidate);
    if (variant >= 0) {
      lua_pushinteger(L, variant);
    } else {
      lua_pushnil(L);
    }
    lua_pushboolean(L, cursor);
    if (lua_pcall(L, 3, 0, 0) == LUA_OK) return true;
    std::fprintf(stderr, "bench_frame: %s\n", lua_tostring(L, -1));
    lua_pop(L, 1);
    return false;
  }

 private:
  bool prepareLua() {
    lua_State* L = host_.lua();
    lua_createtable(L, static_cast<int>(lines_.size()), 0);
    for (size_t i = 0; i < lines_.size(); ++i) {
      lua_pushlstring(L, lines_[i].data(), lines_[i].size());
      lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
    }
    lua_setglobal(L, "bench_lines");
    lua_createtable(L, 2, 0);
    for (int variant = 0; variant < 2; ++variant) {
      lua_pushlstring(L, changed_[variant].data(), changed_[variant].size());
      lua_rawseti(L, -2, variant + 1);
    }
    lua_setglobal(L, "bench_changed");
    lua_pushstring(L, kMonoFont);
    lua_setglobal(L, "BENCH_FONT");
    const std::string error = host_.run(kLuaFrame);
    if (!error.empty()) std::fprintf(stderr, "Lua frame: %s\n", error.c_str());
    return error.empty();
  }

  qztest::ExampleHost host_;
  std::shared_ptr<RenderFont> font_;
  std::vector<std::string> lines_;
  std::string changed_[2];
  bool ready_ = false;
};

TextScreen& screen() {
  static TextScreen instance;
  return instance;
}

// Times one kind of frame on one path; two frames of the unchanged screen come first, so that the path's
// fonts and caches are warm and the previous benchmark's frames are forgotten.
void timeFrames(benchmark::State& state, bool lua, Frame kind) {
  TextScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window, font or Lua frame");
  const auto draw = [&s, lua](bool invalidate, int variant, bool cursor) {
    return lua ? s.luaFrame(invalidate, variant, cursor) : (s.nativeFrame(invalidate, variant, cursor), true);
  };
  draw(false, -1, false);
  draw(false, -1, false);
  int variant = 0;
  bool cursor = false;
  for (auto _ : state) {
    bool drawn = true;
    switch (kind) {
      case Frame::FullRepaint:
        drawn = draw(true, -1, false);
        break;
      case Frame::Unchanged:
        drawn = draw(false, -1, false);
        break;
      case Frame::OneLineChange:
        drawn = draw(false, variant ^= 1, false);
        break;
      case Frame::CursorBlink:
        drawn = draw(false, -1, cursor = !cursor);
        break;
    }
    if (!drawn) return state.SkipWithError("the Lua frame failed");
  }
}

// Presents the window as it stands: all of it, or the band of cells that the changed line lies in.
void timePresent(benchmark::State& state, bool band) {
  TextScreen& s = screen();
  if (!s.ready()) return state.SkipWithError("no window, font or Lua frame");
  s.nativeFrame(false, -1, false);
  const int32_t bandTop = s.lineTop(kChangedLine) / RenderCache::kCellSize * RenderCache::kCellSize;
  const RenderRect area =
      band ? RenderRect{0, bandTop, kWidth, RenderCache::kCellSize} : RenderRect{0, 0, kWidth, kHeight};
  for (auto _ : state) s.renderer().present(&area, 1);
}

// A second window that shows an 8,000 x 8,000 canvas through the image compositor, at level of detail 1
// (drawn at its own size) or 4 (at 2,000 x 2,000), under a frame of one background fill.
class CompositorScreen {
 public:
  CompositorScreen()
      : handle_(SDL_CreateWindow("compositor", kWidth, kHeight, SDL_WINDOW_HIDDEN), SDL_DestroyWindow),
        image_(kImageSize, kImageSize) {
    for (size_t i = 0; i < image_.pixels.size(); ++i)
      image_.pixels[i] = 0xFF000000u | static_cast<uint32_t>(i * 2654435761u >> 8);
  }

  // Draws the frame; false when the compositor refused the image.
  bool frame(int32_t lod) {
    WindowRenderer& out = *handle_.renderer();
    const RenderRect dest{0, 0, kImageSize / lod, kImageSize / lod};
    out.beginDrawing();
    out.renderCache()->fillRect({0, 0, kWidth, kHeight}, 0xFF1E1E1Eu);
    const bool placed = out.addImagePlacement(&image_, {0, 0, kImageSize, kImageSize}, dest, {0, 0, kWidth, kHeight}, 8,
                                              0xFF808080u, 0xFFC0C0C0u);
    if (placed) out.renderCache()->clearRect(dest);
    out.endDrawing();
    return placed;
  }
  void forgetTiles() { handle_.renderer()->imageTileCache()->forgetImage(image_.id); }
  const ImageTileCache& tiles() { return *handle_.renderer()->imageTileCache(); }

 private:
  static constexpr int32_t kImageSize = 8000;
  WindowRendererHandle handle_;
  CanvasBitmap image_;
};

// first: every frame makes its tiles anew (the frame that first shows the image); else the tiles are kept.
void timeCompositor(benchmark::State& state, int32_t lod, bool first) {
  if (!screen().ready()) return state.SkipWithError("no window, font or Lua frame");  // SDL is up from here
  static CompositorScreen compositor;
  if (!compositor.frame(lod) || !compositor.frame(lod)) {
    return state.SkipWithError("no compositor");
  }
  for (auto _ : state) {
    if (first) compositor.forgetTiles();
    compositor.frame(lod);
  }
  const char* name = SDL_GetRendererName(compositor.tiles().renderer());
  state.SetLabel(name != nullptr ? name : "");
  state.counters["tile_MiB"] = static_cast<double>(compositor.tiles().bytesUsed()) / 1048576.0;
  state.counters["budget_MiB"] = static_cast<double>(compositor.tiles().budget()) / 1048576.0;
}

// A third window that shows 4,096 canvases of 64 x 64 pixels through the compositor, each at 16 x 16 (one
// tile of 16 x 16 texture pixels, 1 KiB), under a frame of one background fill.
class ManyCanvasScreen {
 public:
  static constexpr int kCanvases = 4096;
  static constexpr int32_t kShown = 16;

  ManyCanvasScreen() : handle_(SDL_CreateWindow("canvases", kWidth, kHeight, SDL_WINDOW_HIDDEN), SDL_DestroyWindow) {
    canvases_.reserve(kCanvases);
    for (int i = 0; i < kCanvases; ++i) {
      canvases_.emplace_back(64, 64);
      std::fill(canvases_.back().pixels.begin(), canvases_.back().pixels.end(), 0xFF000000u | (i * 2654435761u >> 8));
    }
  }

  bool frame() {
    WindowRenderer& out = *handle_.renderer();
    out.beginDrawing();
    out.renderCache()->fillRect({0, 0, kWidth, kHeight}, 0xFF1E1E1Eu);
    bool placed = true;
    const int32_t columns = kWidth / kShown;
    for (int i = 0; i < kCanvases; ++i) {
      const RenderRect dest{i % columns * kShown, i / columns * kShown, kShown, kShown};
      placed = out.addImagePlacement(&canvases_[static_cast<size_t>(i)], {0, 0, 64, 64}, dest, {0, 0, kWidth, kHeight},
                                     0, 0, 0) &&
               placed;
      out.renderCache()->clearRect(dest);
    }
    out.endDrawing();
    return placed;
  }
  ImageTileCache& tiles() { return *handle_.renderer()->imageTileCache(); }

 private:
  WindowRendererHandle handle_;
  std::vector<CanvasBitmap> canvases_;
};

// Steady frames of the 4,096 canvases when their 4 MiB of tiles fit the tile budget, and when the budget
// holds half of them: a frame over budget draws the tiles that fit and makes none.
void timeManyCanvases(benchmark::State& state, bool overBudget) {
  if (!screen().ready()) return state.SkipWithError("no window, font or Lua frame");
  static ManyCanvasScreen canvases;
  canvases.tiles().setBudget(overBudget ? uint64_t{2} << 20 : ImageTileCache::kDefaultBudget);
  if (!canvases.frame() || !canvases.frame()) return state.SkipWithError("no compositor");
  for (auto _ : state) canvases.frame();
  const char* name = SDL_GetRendererName(canvases.tiles().renderer());
  state.SetLabel(name != nullptr ? name : "");
  state.counters["tile_MiB"] = static_cast<double>(canvases.tiles().bytesUsed()) / 1048576.0;
  state.counters["budget_MiB"] = static_cast<double>(canvases.tiles().budget()) / 1048576.0;
}

// A fourth window, 819 x 614, that shows a 1,000 x 1,000 canvas zoomed in around its middle: the frame's
// cost should follow the window, not the zoomed canvas (1,370 to 160,000 pixels on a side).
class ZoomScreen {
 public:
  static constexpr int32_t kZoomWidth = 819;
  static constexpr int32_t kZoomHeight = 614;
  static constexpr int32_t kImageSize = 1000;

  ZoomScreen()
      : handle_(SDL_CreateWindow("zoom", kZoomWidth, kZoomHeight, SDL_WINDOW_HIDDEN), SDL_DestroyWindow),
        image_(kImageSize, kImageSize) {
    for (size_t i = 0; i < image_.pixels.size(); ++i)
      image_.pixels[i] = 0xFF000000u | static_cast<uint32_t>(i * 2654435761u >> 8);
  }

  bool frame(int32_t zoomPercent) {
    WindowRenderer& out = *handle_.renderer();
    const int32_t side = kImageSize * zoomPercent / 100;
    const RenderRect dest{(kZoomWidth - side) / 2, (kZoomHeight - side) / 2, side, side};
    out.beginDrawing();
    out.renderCache()->fillRect({0, 0, kZoomWidth, kZoomHeight}, 0xFF1E1E1Eu);
    const bool placed = out.addImagePlacement(&image_, {0, 0, kImageSize, kImageSize}, dest,
                                              {0, 0, kZoomWidth, kZoomHeight}, 8, 0xFF808080u, 0xFFC0C0C0u);
    if (placed) out.renderCache()->clearRect(dest);
    out.endDrawing();
    return placed;
  }
  const ImageTileCache& tiles() { return *handle_.renderer()->imageTileCache(); }

 private:
  WindowRendererHandle handle_;
  CanvasBitmap image_;
};

void timeZoom(benchmark::State& state, int32_t zoomPercent) {
  if (!screen().ready()) return state.SkipWithError("no window, font or Lua frame");
  static ZoomScreen zoomed;
  if (!zoomed.frame(zoomPercent) || !zoomed.frame(zoomPercent)) return state.SkipWithError("no compositor");
  for (auto _ : state) zoomed.frame(zoomPercent);
  const char* name = SDL_GetRendererName(zoomed.tiles().renderer());
  state.SetLabel(name != nullptr ? name : "");
}

void timeMemcpy(benchmark::State& state) {
  std::vector<uint32_t> from(static_cast<size_t>(kWidth) * kHeight, 0xFF1E1E1Eu), to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size() * sizeof(uint32_t));
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}

void registerBenchmarks() {
  const struct {
    const char* name;
    Frame kind;
  } frames[] = {{"full repaint", Frame::FullRepaint},
                {"unchanged frame", Frame::Unchanged},
                {"one-line change", Frame::OneLineChange},
                {"cursor blink", Frame::CursorBlink}};
  for (const auto& frame : frames) {
    for (const bool lua : {false, true}) {
      const std::string name = std::string(lua ? "lua/" : "native/") + frame.name;
      registerFrame(name, timeFrames, lua, frame.kind);
    }
  }
  registerFrame("present/full screen", timePresent, false);
  registerFrame("present/one-line band", timePresent, true);
  registerFrame("floor/frame memcpy", timeMemcpy);
  for (const int32_t lod : {1, 4}) {
    for (const bool first : {true, false}) {
      const std::string name =
          "compositor/8000x8000 at lod " + std::to_string(lod) + (first ? ", first frame" : ", steady frame");
      registerFrame(name, timeCompositor, lod, first);
    }
  }
  const struct {
    const char* name;
    int32_t percent;
  } zooms[] = {{"1.37", 137}, {"2.5", 250}, {"10", 1000}, {"40", 4000}, {"160", 16000}};
  for (const auto& zoom : zooms)
    registerFrame(std::string("zoom/1000x1000 at ") + zoom.name + "x", timeZoom, zoom.percent);
  registerFrame("tiles/4096 canvases, fitting", timeManyCanvases, false);
  registerFrame("tiles/4096 canvases, twice the budget", timeManyCanvases, true);
}

}  // namespace

int main(int argc, char** argv) {
  registerBenchmarks();
  return runWithFrameTable(argc, argv, {"present", "floor"});
}
