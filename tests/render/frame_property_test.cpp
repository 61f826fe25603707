// Property: whatever sequence of frames a window draws, the surface after the incremental frames equals a
// full render of the last frame into a fresh target, pixel for pixel.
#include <SDL3/SDL_hints.h>
#include <SDL3/SDL_init.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fonts/render_font.h"
#include "render_test_support.h"

namespace {

constexpr int32_t kWidth = 330;
constexpr int32_t kHeight = 210;

struct Shape {
  int kind;
  RenderRect rect;
  uint32_t color;
  uint32_t color2;
  int32_t value;
  std::string text;
};

using Frame = std::vector<Shape>;

class FramePropertyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, "dummy", SDL_HINT_OVERRIDE);
    ASSERT_TRUE(SDL_Init(SDL_INIT_VIDEO)) << SDL_GetError();
  }
  static void TearDownTestSuite() { SDL_Quit(); }

  FramePropertyTest()
      : font(RenderFont::load("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 13.0f, 0.0f)),
        mono(RenderFont::load("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", 12.0f, 0.0f)),
        image(7, 5),
        mask(6, 6) {
    for (size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = 0x80000000u * (i % 2) + 0x7F102030u * (i % 3);
    for (size_t i = 0; i < mask.pixels.size(); ++i) mask.pixels[i] = (static_cast<uint32_t>(i * 40) << 24) | 0xFFFFFFu;
  }

  Shape randomShape() {
    const auto pick = [this](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(random); };
    const uint32_t color = static_cast<uint32_t>(pick(0, 0xFFFFFF)) | (pick(0, 3) == 0 ? 0x80000000u : 0xFF000000u);
    const RenderRect rect{pick(-20, kWidth), pick(-20, kHeight), pick(0, 140), pick(0, 100)};
    // The last text stacks marks far above its line.
    static const char* const texts[] = {"Hello",
                                        "wide\tworld",
                                        "e\xCC\x81t\xC3\xA9",
                                        "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D",
                                        "abc 123",
                                        "x\xE2\x80\x8D",
                                        "a\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81"};
    return {pick(0, 17),      rect, color, static_cast<uint32_t>(pick(0, 0xFFFFFF)) | 0xFF000000u, pick(1, 9),
            texts[pick(0, 6)]};
  }

  void record(RenderCache& cache, const Shape& shape) {
    const RenderRect& r = shape.rect;
    switch (shape.kind) {
      case 0:
        cache.fillRect(r, shape.color);
        break;
      case 1:
        cache.setClipRect(r);
        break;
      case 2:
        cache.fillCircle(r, shape.color);
        break;
      case 3:
        cache.strokeCircle(r, static_cast<uint32_t>(shape.value), shape.color);
        break;
      case 4:
        cache.drawCrossShape(r, static_cast<uint32_t>(shape.value), shape.color);
        break;
      case 5:
        cache.drawTriangleRight(r, shape.color);
        break;
      case 6:
        cache.drawTriangleUp(r, shape.color);
        break;
      case 7:
        cache.drawAntialiasedRect(r.x + 0.25f, r.y + 0.5f, r.w * 0.7f, r.h * 0.3f, shape.color);
        break;
      case 8: {
        const PolylinePoint points[] = {{static_cast<float>(r.x), static_cast<float>(r.y)},
                                        {static_cast<float>(r.x + r.w), static_cast<float>(r.y + r.h / 2)},
                                        {static_cast<float>(r.x + r.w / 3), static_cast<float>(r.y + r.h)}};
        cache.drawPolyline(points, static_cast<float>(shape.value) * 0.7f, shape.color);
        break;
      }
      case 9:
        cache.drawCheckerboard(r, shape.value, shape.color, shape.color2);
        break;
      case 10:
        cache.drawCanvas(&image, r.x, r.y);
        break;
      case 11:
        cache.drawMask(&mask, r.x, r.y, shape.color);
        break;
      case 12:
        cache.drawCanvasScaled(&image, {1, 1, 5, 3}, r);
        break;
      case 13:
        cache.drawText(font.get(), shape.text.c_str(), r.x, r.y, shape.color);
        break;
      case 14:
        cache.drawTransientText(font.get(), shape.text.c_str(), r.x, r.y, shape.color);
        break;
      case 15:  // cells at least as wide as the font's advance, as an editor lays them out
        cache.drawTextCells(mono.get(), shape.text.c_str(), r.x, r.y, shape.color,
                            mono->codepointAdvance('m').advance + shape.value % 3);
        break;
      case 16:
        cache.drawGlyph(font.get(), static_cast<uint32_t>(shape.value * 7), r.x, r.y, shape.color);
        break;
      default: {
        // Bounds as the renderer module computes them: first rule to the end of the last.
        const int32_t last = static_cast<int32_t>(5 * 9.5 + r.x);
        cache.drawVerticalRules({r.x, r.y, last - r.x + 2, r.h}, static_cast<float>(r.x), 9.5f, 2, 6, 2, shape.color,
                                shape.color2);
        break;
      }
    }
  }

  void draw(WindowRenderer& renderer, const Frame& frame) {
    renderer.beginDrawing();
    renderer.renderCache()->fillRect({0, 0, kWidth, kHeight}, 0xFF181818u);
    for (const Shape& shape : frame) record(*renderer.renderCache(), shape);
    renderer.endDrawing();
  }

  Frame nextFrame(const Frame& previous) {
    Frame frame = previous;
    const int changes = std::uniform_int_distribution<int>(0, 3)(random);
    for (int i = 0; i < changes; ++i) {
      const int action = std::uniform_int_distribution<int>(0, 3)(random);
      if (action == 3) {  // a setting that changes how the text font draws, with the same records
        font->setAntialias(!font->antialias());
        continue;
      }
      if (action == 0 || frame.empty()) {
        frame.insert(frame.begin() + std::uniform_int_distribution<size_t>(0, frame.size())(random), randomShape());
      } else {
        const size_t index = std::uniform_int_distribution<size_t>(0, frame.size() - 1)(random);
        if (action == 1) {
          frame.erase(frame.begin() + static_cast<ptrdiff_t>(index));
        } else {
          frame[index].rect.x += std::uniform_int_distribution<int32_t>(-30, 30)(random);
        }
      }
    }
    return frame;
  }

  std::mt19937 random{12345};
  std::shared_ptr<RenderFont> font;
  std::shared_ptr<RenderFont> mono;
  CanvasBitmap image;
  CanvasBitmap mask;
};

TEST_F(FramePropertyTest, IncrementalFramesEqualAFullRenderOfTheLastFrame) {
  ASSERT_NE(font, nullptr);
  ASSERT_NE(mono, nullptr);
  SDL_Window* window = SDL_CreateWindow("frames", kWidth, kHeight, SDL_WINDOW_HIDDEN);
  ASSERT_NE(window, nullptr) << SDL_GetError();
  WindowRendererHandle handle(window, SDL_DestroyWindow);
  WindowRenderer& renderer = *handle.renderer();
  for (int sequence = 0; sequence < 400; ++sequence) {
    Frame frame;
    for (int i = 0; i < 6; ++i) frame.push_back(randomShape());
    const int frames = std::uniform_int_distribution<int>(2, 6)(random);
    for (int i = 0; i < frames; ++i) {
      draw(renderer, frame);
      if (i + 1 < frames) frame = nextFrame(frame);
    }
    CanvasRig fresh(kWidth, kHeight);
    draw(fresh.renderer, frame);
    // Hashes reused from earlier frames equal fresh ones: a renderer that saw only an empty frame before
    // this one (so its cells also grow from the FNV start value) ends with the same cell values.
    CanvasRig hashed(kWidth, kHeight);
    draw(hashed.renderer, {});
    draw(hashed.renderer, frame);
    for (int32_t row = 0; row <= kHeight / RenderCache::kCellSize; ++row) {
      for (int32_t column = 0; column <= kWidth / RenderCache::kCellSize; ++column) {
        const int32_t cell = row * RenderCache::kGridColumns + column;
        ASSERT_EQ(renderer.renderCache()->previousCellHash(cell), hashed.cache().previousCellHash(cell))
            << "sequence " << sequence << " cell " << cell;
      }
    }
    SDL_Surface* surface = renderer.targetSurface();
    ASSERT_NE(surface, nullptr);
    for (int32_t y = 0; y < kHeight; ++y) {
      const auto* row = static_cast<const uint32_t*>(surface->pixels) + y * (surface->pitch / 4);
      for (int32_t x = 0; x < kWidth; ++x) {
        ASSERT_EQ(row[x], fresh.at(x, y)) << "sequence " << sequence << " at " << x << "," << y;
      }
    }
    // The same frame again replays and presents nothing: a scribble on the surface survives it.
    auto* corner = static_cast<uint32_t*>(surface->pixels);
    const uint32_t kept = *corner;
    *corner = 0xFF00FF00u;
    draw(renderer, frame);
    ASSERT_EQ(*corner, 0xFF00FF00u) << "sequence " << sequence;
    *corner = kept;
  }
}

}  // namespace
