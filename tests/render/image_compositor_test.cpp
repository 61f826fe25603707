// The image compositor of a window renderer, read back from its software SDL renderer: levels of detail and
// tile bytes, refused placements, the checkerboard and the image under the frame's hole, recomposing frames
// without changed cells, the fallback to the window surface when the renderer cannot be made, and the
// start-up trace of qz itself.
#include <gmock/gmock.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "compositor_test_support.h"
#include "memory_limited_child.h"
#include "qz_sandbox.h"
#include "render/image_tile_cache.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"

namespace {

constexpr int32_t kWidth = 300;
constexpr int32_t kHeight = 200;
constexpr uint32_t kBackground = 0xFF203040u;
constexpr uint32_t kRed = 0xFFFF0000u;
constexpr uint32_t kBlue = 0xFF0000FFu;

constexpr RenderRect kWholeWindow{0, 0, 8192, 8192};

struct Placement {
  CanvasBitmap* image;
  RenderRect source;
  RenderRect dest;
  uint32_t cellSize = 0;
  uint32_t color1 = 0;
  uint32_t color2 = 0;
  RenderRect clip = kWholeWindow;
};

class ImageCompositorTest : public OffscreenVideo {
 protected:
  ImageCompositorTest()
      : handle_(SDL_CreateWindow("compositor", kWidth, kHeight, SDL_WINDOW_HIDDEN), SDL_DestroyWindow) {}

  WindowRenderer& renderer() { return *handle_.renderer(); }
  SDL_Renderer* sdlRenderer() { return renderer().imageTileCache()->renderer(); }

  // One frame as the renderer module draws it: a background, then each image through the compositor (a
  // hole in the frame) or, when refused, in software over its checkerboard. Returns how many were placed.
  int frame(const std::vector<Placement>& placements) {
    RenderCache& cache = *renderer().renderCache();
    renderer().beginDrawing();
    cache.fillRect({0, 0, kWidth, kHeight}, kBackground);
    int placed = 0;
    for (const Placement& p : placements) {
      placed += renderer().drawCanvasTiled(p.image, p.source, p.dest, p.clip, static_cast<int32_t>(p.cellSize),
                                           p.color1, p.color2);
    }
    renderer().endDrawing();
    return placed;
  }

  // What the window shows at (x, y): through the compositor, or on the window surface.
  uint32_t shownAt(int32_t x, int32_t y) {
    if (renderer().compositorActive()) return shownPixel(sdlRenderer(), x, y);
    const SDL_Surface* surface = SDL_GetWindowSurface(handle_.window());
    if (surface == nullptr) return 0xDEADBEEFu;
    return static_cast<const uint32_t*>(surface->pixels)[y * (surface->pitch / 4) + x] & 0xFFFFFFu;
  }

  // What the window shows over its top left width x height pixels, row by row (as shownAt, read at once).
  std::vector<uint32_t> shownArea(int32_t width, int32_t height) {
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height), 0xDEADBEEFu);
    const bool composited = renderer().compositorActive();
    SDL_Surface* read =
        composited ? SDL_RenderReadPixels(sdlRenderer(), nullptr) : SDL_GetWindowSurface(handle_.window());
    if (read == nullptr) return pixels;
    for (int32_t y = 0; y < std::min(height, read->h); ++y) {
      for (int32_t x = 0; x < std::min(width, read->w); ++x) {
        uint8_t r = 0, g = 0, b = 0, a = 0;
        SDL_ReadSurfacePixel(read, x, y, &r, &g, &b, &a);
        pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
            uint32_t{r} << 16 | uint32_t{g} << 8 | b;
      }
    }
    if (composited) SDL_DestroySurface(read);
    return pixels;
  }

  // Runs `check` on a fresh window twice: through the compositor, and with no SDL renderer to be had, so
  // that the window draws its images in software (a compositor that failed once is not tried again).
  template <typename Check>
  void onBothPaths(Check&& check) {
    for (const bool composited : {true, false}) {
      SCOPED_TRACE(composited ? "composited" : "in software");
      WindowRendererHandle handle(SDL_CreateWindow("paths", kWidth, kHeight, SDL_WINDOW_HIDDEN), SDL_DestroyWindow);
      std::swap(handle, handle_);
      frame({});
      if (!composited) SDL_SetHintWithPriority(SDL_HINT_RENDER_DRIVER, "no such driver", SDL_HINT_OVERRIDE);
      check(composited);
      SDL_ResetHint(SDL_HINT_RENDER_DRIVER);
      std::swap(handle, handle_);
    }
  }

  WindowRendererHandle handle_;
};

TEST_F(ImageCompositorTest, TilesComeAtTheLevelOfDetailOfTheirDestinationWhereTheyCanBeSeen) {
  CanvasBitmap image = filledImage(4096, 4096, kRed);
  const struct {
    int32_t windowSize;  // square
    RenderRect dest;
    int32_t lod;
    int32_t lastTile;  // the tiles made: 0..lastTile on both axes
    uint64_t bytesAfter;
  } cases[] = {
      {300, {0, 0, 1024, 1024}, 4, 0, 1048576},             // span 2,048; the other three are out of sight
      {1100, {0, 0, 1024, 1024}, 4, 1, 4194304},            // all four 512 x 512 textures
      {1100, {0, 0, 10, 10}, 64, 0, 4194304 + 16384},       // span 32,768: one 64 x 64 texture more
      {1100, {2000, 0, 512, 512}, 8, -1, 4194304 + 16384},  // out of sight: no tile
  };
  for (const auto& c : cases) {
    SDL_SetWindowSize(handle_.window(), c.windowSize, c.windowSize);
    ASSERT_EQ(frame({{&image, {0, 0, 4096, 4096}, c.dest}}), 1);
    ImageTileCache& tiles = *renderer().imageTileCache();
    const TileGrid grid(&image, 512 * c.lod, c.lod);
    for (int32_t row = 0; row <= c.lastTile + 1; ++row) {
      for (int32_t column = 0; column <= c.lastTile + 1; ++column) {
        EXPECT_EQ(tiles.findTile(grid, column, row) != nullptr, row <= c.lastTile && column <= c.lastTile)
            << "window " << c.windowSize << " lod " << c.lod << " tile " << column << "," << row;
      }
    }
    EXPECT_EQ(tiles.bytesUsed(), c.bytesAfter) << "window " << c.windowSize << " lod " << c.lod;
  }
  renderer().imageTileCache()->forgetImage(image.id);
  EXPECT_EQ(renderer().imageTileCache()->bytesUsed(), 0u);
}

TEST_F(ImageCompositorTest, NoTileIsSmallerThanADestinationPixel) {
  CanvasBitmap image = filledImage(kMaxCanvasSide, 1, kRed);
  ASSERT_EQ(frame({{&image, {0, 0, kMaxCanvasSide, 1}, {0, 0, 10, 1}}}), 1);
  // 6,554 image pixels per destination pixel: ten tiles of at most 512 texture pixels, not 128 of 512.
  EXPECT_LE(renderer().imageTileCache()->bytesUsed(), 10u * 512 * 4);
  EXPECT_GT(renderer().imageTileCache()->bytesUsed(), 0u);
  EXPECT_EQ(shownPixel(sdlRenderer(), 5, 0), kRed & 0xFFFFFFu);
}

TEST_F(ImageCompositorTest, PlacementsThatCannotBeCompositedAreRefusedAndKeepTheWindowSurface) {
  CanvasBitmap image = filledImage(8, 8, kRed);
  CanvasBitmap target(4, 4);
  const struct {
    const char* what;
    const CanvasBitmap* image;
    RenderRect source;
    RenderRect dest;
    bool canvasTarget;
  } cases[] = {
      {"no image", nullptr, {0, 0, 8, 8}, {0, 0, 8, 8}, false},
      {"source width 0", &image, {0, 0, 0, 8}, {0, 0, 8, 8}, false},
      {"destination height 0", &image, {0, 0, 8, 8}, {0, 0, 8, 0}, false},
      {"canvas target", &image, {0, 0, 8, 8}, {0, 0, 8, 8}, true},
  };
  for (const auto& c : cases) {
    if (c.canvasTarget) {
      ASSERT_TRUE(renderer().beginCanvasTarget(&target, nullptr));
    }
    EXPECT_FALSE(renderer().addImagePlacement(c.image, c.source, c.dest, {0, 0, 8, 8}, 0, 0, 0)) << c.what;
    if (c.canvasTarget) renderer().endCanvasTarget();
    EXPECT_FALSE(renderer().compositorActive()) << c.what;
    EXPECT_EQ(SDL_GetRenderer(handle_.window()), nullptr) << c.what;
  }
}

TEST_F(ImageCompositorTest, TheImageAndItsCheckerboardShowThroughTheHoleOverWhatTheWindowShowed) {
  frame({});  // on the window surface
  CanvasBitmap clear(20, 8);
  CanvasBitmap red = filledImage(16, 16, kRed);
  ASSERT_EQ(frame({{&clear, {0, 0, 20, 8}, {3, 0, 20, 8}, 8, 0xFF00FF00u, 0xFFFFFF00u},
                   {&red, {0, 0, 16, 16}, {100, 100, 32, 32}}}),
            2);
  EXPECT_TRUE(renderer().compositorActive());
  const struct {
    int32_t x, y;
    uint32_t rgb;
  } shown[] = {
      {2, 4, kBackground},   {3, 4, 0x00FF00u},     {7, 4, 0x00FF00u},       {8, 4, 0xFFFF00u},
      {15, 4, 0xFFFF00u},    {16, 4, 0x00FF00u},    {22, 4, 0x00FF00u},      {23, 4, kBackground},
      {100, 100, 0xFF0000u}, {131, 131, 0xFF0000u}, {132, 131, kBackground}, {250, 150, kBackground},
  };
  for (const auto& s : shown) EXPECT_EQ(shownPixel(sdlRenderer(), s.x, s.y), s.rgb & 0xFFFFFFu) << s.x << "," << s.y;
}

// The compositor draws a tiled canvas's checkerboard as the software fallback does: cells anchored at the
// window's origin wherever the destination starts (before the window's edges, between cell lines or on
// one), so that neighbouring cells differ and the pattern stays put under a canvas that moves.
TEST_F(ImageCompositorTest, TheCompositorsCheckerboardIsTheSoftwareOne) {
  CanvasBitmap clear(20, 20);
  const RenderRect dests[] = {{-5, -3, 30, 30}, {5, 3, 30, 30}, {13, 9, 30, 30}, {16, 8, 30, 30}};
  std::vector<uint32_t> shown[2];
  onBothPaths([&](bool composited) {
    for (const RenderRect& dest : dests) {
      EXPECT_EQ(frame({{&clear, {0, 0, 20, 20}, dest, 8, 0xFF00FF00u, 0xFFFFFF00u}}), composited ? 1 : 0);
      for (int32_t y = 0; y < 40; ++y) {
        for (int32_t x = 0; x < 40; ++x) shown[composited].push_back(shownAt(x, y));
      }
    }
    EXPECT_EQ(renderer().compositorActive(), composited);
  });
  ASSERT_EQ(shown[0].size(), shown[1].size());
  for (size_t i = 0; i < shown[0].size(); ++i) {
    const RenderRect& dest = dests[i / 1600];
    ASSERT_EQ(shown[1][i], shown[0][i]) << "destination at " << dest.x << "," << dest.y << ": pixel " << i % 40 << ","
                                        << i % 1600 / 40;
  }
  EXPECT_EQ(shown[1][0], 0x00FF00u) << "the cell at the window's origin";
  EXPECT_EQ(shown[1][8], 0xFFFF00u) << "the next one";
}

// A canvas shown only in part of its destination (its clip) leaves the rest of the destination as the frame
// drew it, on the compositor and in software alike; the clip of the frame itself still holds afterwards.
TEST_F(ImageCompositorTest, OutsideItsClipATiledCanvasLeavesTheFrameAsItWasDrawn) {
  CanvasBitmap red = filledImage(4, 4, kRed);
  const Placement clipped{&red, {0, 0, 4, 4}, {40, 40, 100, 100}, 0, 0, 0, {40, 40, 50, 100}};
  onBothPaths([&](bool composited) {
    EXPECT_EQ(frame({clipped}), composited ? 1 : 0);
    const struct {
      int32_t x, y;
      uint32_t rgb;
    } expected[] = {
        {45, 45, kRed}, {89, 139, kRed}, {90, 45, kBackground}, {139, 139, kBackground}, {30, 30, kBackground}};
    for (const auto& e : expected) EXPECT_EQ(shownAt(e.x, e.y), e.rgb & 0xFFFFFFu) << e.x << "," << e.y;
    RenderCache& cache = *renderer().renderCache();  // the frame's own clip, before and after the canvas
    renderer().beginDrawing();
    cache.fillRect({0, 0, kWidth, kHeight}, kBackground);
    cache.setClipRect({0, 0, 150, kHeight});
    renderer().drawCanvasTiled(&red, {0, 0, 4, 4}, {40, 40, 100, 100}, {40, 40, 50, 100}, 1, kRed, kRed);
    cache.fillRect({100, 150, 10, 10}, kBlue);
    cache.fillRect({200, 150, 10, 10}, kBlue);
    renderer().endDrawing();
    EXPECT_EQ(shownAt(105, 155), kBlue & 0xFFFFFFu) << "inside the frame's clip";
    EXPECT_EQ(shownAt(205, 155), kBackground & 0xFFFFFFu) << "outside the frame's clip";
  });
}

// A tiled canvas is drawn within the frame's own clip too, on the compositor as in software: beyond it the
// frame stays as drawn (here cleared, so the compositor's tiles would show through its hole's surroundings).
TEST_F(ImageCompositorTest, ATiledCanvasStaysWithinTheFramesClip) {
  CanvasBitmap red = filledImage(4, 4, kRed);
  onBothPaths([&](bool composited) {
    for (int round = 0; round < 2; ++round) {
      RenderCache& cache = *renderer().renderCache();
      renderer().beginDrawing();
      cache.clearRect({0, 0, kWidth, kHeight});
      cache.setClipRect({0, 0, 60, kHeight});
      renderer().drawCanvasTiled(&red, {0, 0, 4, 4}, {40, 40, 100, 100}, kWholeWindow, 1, kRed, kRed);
      renderer().endDrawing();
    }
    EXPECT_EQ(renderer().compositorActive(), composited);
    EXPECT_EQ(shownAt(50, 50), kRed & 0xFFFFFFu);
    EXPECT_EQ(shownAt(100, 60), 0u);
  });
}

// An image placed on the compositor and released before the frame is presented stays until then.
TEST_F(ImageCompositorTest, AnImageReleasedBeforeItsPlacementIsPresentedStaysUntilThen) {
  auto red = std::make_shared<CanvasBitmap>(filledImage(4, 4, kRed));
  const std::weak_ptr<CanvasBitmap> watch = red;
  for (int round = 0; round < 2; ++round) {
    renderer().beginDrawing();
    renderer().renderCache()->fillRect({0, 0, kWidth, kHeight}, kBackground);
    ASSERT_TRUE(renderer().drawCanvasTiled(red.get(), {0, 0, 4, 4}, {40, 40, 20, 20}, kWholeWindow, 1, kRed, kRed));
    if (round == 1) {
      renderer().renderCache()->releaseImage(red);
      red.reset();
      EXPECT_FALSE(watch.expired());
    }
    renderer().endDrawing();
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(shownPixel(sdlRenderer(), 50, 50), kRed & 0xFFFFFFu);
}

// An image squeezed far more on one axis than on the other keeps its detail on the other: 100,000 x 64
// pixels of alternating black and white rows drawn into 100 x 512 show every row, 8 pixels high.
TEST_F(ImageCompositorTest, EachAxisTakesItsOwnLevelOfDetail) {
  SDL_SetWindowSize(handle_.window(), 300, 600);
  constexpr int32_t kWide = 65536;  // the widest a canvas may be: squeezed 655 times into 100 pixels
  CanvasBitmap rows(kWide, 64);
  for (int32_t y = 1; y < 64; y += 2) {
    std::fill_n(rows.pixels.begin() + static_cast<ptrdiff_t>(y) * kWide, kWide, 0xFFFFFFFFu);
  }
  for (int32_t y = 0; y < 64; y += 2) {
    std::fill_n(rows.pixels.begin() + static_cast<ptrdiff_t>(y) * kWide, kWide, 0xFF000000u);
  }
  ASSERT_EQ(frame({{&rows, {0, 0, kWide, 64}, {0, 0, 100, 512}}}), 1);
  for (int32_t row = 0; row < 64; ++row) {
    const uint32_t green = shownPixel(sdlRenderer(), 50, row * 8 + 4) >> 8 & 0xFF;
    if (row % 2 == 1) {
      EXPECT_GT(green, 0xC0u) << "white row " << row;
    } else {
      EXPECT_LT(green, 0x40u) << "black row " << row;
    }
  }
}

// A canvas tiled with no frame open is dropped, as every drawing outside a frame is: no placement, no
// compositor, and an image released then goes at once.
TEST_F(ImageCompositorTest, ATiledCanvasOutsideAFrameIsDroppedAndKeepsNothing) {
  frame({});
  auto red = std::make_shared<CanvasBitmap>(filledImage(4, 4, kRed));
  const std::weak_ptr<CanvasBitmap> watch = red;
  EXPECT_FALSE(renderer().drawCanvasTiled(red.get(), {0, 0, 4, 4}, {40, 40, 20, 20}, kWholeWindow, 1, kRed, kRed));
  EXPECT_FALSE(renderer().hasImagePlacements());
  EXPECT_FALSE(renderer().compositorActive());
  renderer().renderCache()->releaseImage(red);
  red.reset();
  EXPECT_TRUE(watch.expired());
  frame({});
  EXPECT_EQ(shownAt(50, 50), kBackground & 0xFFFFFFu);
}

// An axis squeezed while the other is stretched leaves the stretched one sharp: 1,100 x 100 pixels of
// alternating black and white rows drawn into 500 x 800 show bands 8 pixels high, each pixel the one
// draw_canvas_scaled shows there, through the compositor and in software alike.
TEST_F(ImageCompositorTest, AStretchedAxisStaysSharpWhileTheOtherIsSqueezed) {
  constexpr int32_t kImageWidth = 1100, kImageHeight = 100;
  constexpr RenderRect kDest{0, 0, 500, 800};
  CanvasBitmap rows(kImageWidth, kImageHeight);
  for (int32_t y = 0; y < kImageHeight; ++y) {
    std::fill_n(rows.pixels.begin() + static_cast<ptrdiff_t>(y) * kImageWidth, kImageWidth,
                y % 2 == 0 ? 0xFF000000u : 0xFFFFFFFFu);
  }
  onBothPaths([&](bool composited) {
    SDL_SetWindowSize(handle_.window(), kDest.w, kDest.h);
    SDL_SyncWindow(handle_.window());
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(frame({{&rows, {0, 0, kImageWidth, kImageHeight}, kDest}}), composited ? 1 : 0);
    }
    const std::vector<uint32_t> shown = shownArea(kDest.w, kDest.h);
    int wrong = 0;
    for (int32_t y = 0; y < kDest.h; ++y) {
      for (int32_t x = 0; x < kDest.w; ++x) {
        const int64_t row = int64_t{y} * kImageHeight / kDest.h;  // as draw_canvas_scaled maps it
        const int64_t column = int64_t{x} * kImageWidth / kDest.w;
        const uint32_t expected = rows.pixels[static_cast<size_t>(row * kImageWidth + column)] & 0xFFFFFFu;
        const uint32_t at = shown[static_cast<size_t>(y) * kDest.w + static_cast<size_t>(x)];
        if (at != expected && ++wrong <= 5) {
          ADD_FAILURE() << x << "," << y << " shows " << std::hex << at << ", not " << expected;
        }
      }
    }
    EXPECT_EQ(wrong, 0);
  });
}

// A tile that holds less of the source than one of its texels still shows the right pixels: a source that
// passes a tile's edge by fewer pixels than the level of detail (1,025 rows halved: one row in the second
// tile row) shows on its last rows (or columns) the pixels of the axis drawn 1:1, as draw_canvas_scaled
// does, and on the reduced axis ones near those it shows, on either path.
TEST_F(ImageCompositorTest, ASourceEndingJustPastATilesEdgeShowsItsLastRowsAndColumnsWhole) {
  const struct {
    int32_t imageWidth, imageHeight;
    RenderRect source, dest;
  } cases[] = {
      {300, 1025, {0, 0, 300, 1025}, {0, 0, 300, 500}},   // one row past the tile row's edge
      {300, 1100, {0, 20, 300, 1005}, {0, 0, 300, 400}},  // from a row inside, ending one row past
      {300, 2000, {0, 0, 300, 1538}, {0, 0, 300, 500}},   // a third down: two rows past
      {1025, 200, {0, 0, 1025, 200}, {0, 0, 500, 200}},   // one column past
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.imageWidth << "x" << c.imageHeight << " into " << c.dest.w << "x"
                                      << c.dest.h);
    CanvasBitmap image = positionImage(c.imageWidth, c.imageHeight);
    // Exact on an axis drawn 1:1, within a few pixels of draw_canvas_scaled's choice on the reduced one.
    const auto near = [](int64_t shown, int64_t start, int64_t sourceLength, int64_t destLength, int64_t at) {
      if (sourceLength == destLength) return shown == start + at;
      const int64_t scaled = start + at * sourceLength / destLength;
      return shown >= scaled - 3 && shown <= scaled + 3;
    };
    onBothPaths([&](bool) {
      SDL_SetWindowSize(handle_.window(), c.dest.w, c.dest.h);
      SDL_SyncWindow(handle_.window());
      frame({{&image, c.source, c.dest}});
      frame({{&image, c.source, c.dest}});
      const std::vector<uint32_t> shown = shownArea(c.dest.w, c.dest.h);
      int wrong = 0;
      for (int32_t y = 0; y < c.dest.h; ++y) {
        for (int32_t x = 0; x < c.dest.w; ++x) {
          const uint32_t at = shown[static_cast<size_t>(y) * c.dest.w + static_cast<size_t>(x)];
          const bool right = near(at >> 12, c.source.x, c.source.w, c.dest.w, x) &&
                             near(at & 0xFFF, c.source.y, c.source.h, c.dest.h, y);
          if (!right && ++wrong <= 3) {
            ADD_FAILURE() << x << "," << y << " shows column " << (at >> 12) << " row " << (at & 0xFFF);
          }
        }
      }
      EXPECT_EQ(wrong, 0);
    });
  }
}

// A strip one pixel thin, its source a few rows (or columns) from off the level of detail's grid, shows the
// whole length of its long axis, drawn 1:1, on either path: the software renderer recomputes a texture
// rectangle's size in single precision before cutting it to whole texels, and a share of exactly one texel
// that started between texels came out just short of one and was cut to nothing.
TEST_F(ImageCompositorTest, AStripOnePixelThinShowsEveryPixelAlongIt) {
  const struct {
    RenderRect source, dest;
  } cases[] = {
      {{0, 5, 300, 3}, {0, 0, 300, 1}},     // a third of the rows, from row 5
      {{0, 8, 300, 5}, {0, 0, 300, 1}},     // a fifth, from row 8
      {{0, 37, 300, 5}, {0, 100, 300, 1}},  // a fifth, from row 37
      {{5, 0, 3, 200}, {0, 0, 1, 200}},     // a column a third wide
      {{16, 0, 5, 200}, {150, 0, 1, 200}},  // a fifth, from column 16
  };
  CanvasBitmap image = positionImage(kWidth, kHeight);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "source " << c.source.x << "," << c.source.y << " " << c.source.w << "x"
                                      << c.source.h);
    onBothPaths([&](bool) {
      frame({{&image, c.source, c.dest}});
      frame({{&image, c.source, c.dest}});
      const std::vector<uint32_t> shown = shownArea(kWidth, kHeight);
      const bool across = c.dest.w > 1;
      int wrong = 0;
      for (int32_t i = 0; i < (across ? c.dest.w : c.dest.h); ++i) {
        const int32_t x = c.dest.x + (across ? i : 0), y = c.dest.y + (across ? 0 : i);
        const uint32_t at = shown[static_cast<size_t>(y) * kWidth + static_cast<size_t>(x)];
        const int32_t along = static_cast<int32_t>(across ? at >> 12 : at & 0xFFF);
        const int32_t thin = static_cast<int32_t>(across ? at & 0xFFF : at >> 12);
        const int32_t thinStart = across ? c.source.y : c.source.x;
        const int32_t thinLength = across ? c.source.h : c.source.w;
        // the long axis exactly; the thin one within the source or the level of detail's block before it
        if ((along != i || thin < thinStart - thinLength || thin >= thinStart + thinLength) && ++wrong <= 3) {
          ADD_FAILURE() << x << "," << y << " shows column " << (at >> 12) << " row " << (at & 0xFFF);
        }
      }
      EXPECT_EQ(wrong, 0);
    });
  }
}

TEST_F(ImageCompositorTest, TheFirstPresentShowsTheWindowAndFramesWithoutChangedCellsStillRecompose) {
  CanvasBitmap red = filledImage(4, 4, kRed);
  CanvasBitmap blue = filledImage(4, 4, kBlue);
  const RenderRect dest{40, 40, 20, 20};
  ASSERT_TRUE(SDL_GetWindowFlags(handle_.window()) & SDL_WINDOW_HIDDEN);
  ASSERT_EQ(frame({{&red, {0, 0, 4, 4}, dest}}), 1);
  EXPECT_FALSE(SDL_GetWindowFlags(handle_.window()) & SDL_WINDOW_HIDDEN);
  frame({{&red, {0, 0, 4, 4}, dest}});
  EXPECT_EQ(shownPixel(sdlRenderer(), 50, 50), 0xFF0000u);
  frame({{&blue, {0, 0, 4, 4}, dest}});  // the same records: no cell changed
  EXPECT_EQ(shownPixel(sdlRenderer(), 50, 50), 0x0000FFu);
}

TEST_F(ImageCompositorTest, WithoutARendererTheWindowReturnsToItsSurfaceAndDrawsImagesInSoftware) {
  frame({});
  SDL_SetHintWithPriority(SDL_HINT_RENDER_DRIVER, "no such driver", SDL_HINT_OVERRIDE);
  CanvasBitmap red = filledImage(4, 4, kRed);
  EXPECT_EQ(frame({{&red, {0, 0, 4, 4}, {40, 40, 20, 20}}}), 0);
  SDL_ResetHint(SDL_HINT_RENDER_DRIVER);
  EXPECT_FALSE(renderer().compositorActive());
  EXPECT_EQ(SDL_GetRenderer(handle_.window()), nullptr);
  SDL_Surface* surface = SDL_GetWindowSurface(handle_.window());
  ASSERT_NE(surface, nullptr);
  EXPECT_EQ(renderer().targetSurface(), surface);
  const auto* pixels = static_cast<const uint32_t*>(surface->pixels);
  EXPECT_EQ(pixels[50 * (surface->pitch / 4) + 50] & 0xFFFFFFu, 0xFF0000u);
  EXPECT_EQ(pixels[150 * (surface->pitch / 4) + 250] & 0xFFFFFFu, kBackground & 0xFFFFFFu);
  EXPECT_EQ(frame({{&red, {0, 0, 4, 4}, {40, 40, 20, 20}}}), 0);  // later placements stay in software
}

TEST_F(ImageCompositorTest, AResizeRemakesTheWorkspaceAtTheNewPixelSize) {
  CanvasBitmap red = filledImage(4, 4, kRed);
  ASSERT_EQ(frame({{&red, {0, 0, 4, 4}, {0, 0, 8, 8}}}), 1);
  SDL_SetWindowSize(handle_.window(), 320, 240);
  SDL_SyncWindow(handle_.window());
  frame({{&red, {0, 0, 4, 4}, {0, 0, 8, 8}}});
  const SDL_Surface* workspace = renderer().softwareSurface();
  EXPECT_EQ(workspace->w, 320);
  EXPECT_EQ(workspace->h, 240);
  int w = 0, h = 0;
  SDL_GetCurrentRenderOutputSize(sdlRenderer(), &w, &h);
  EXPECT_EQ(w, 320);
  EXPECT_EQ(shownPixel(sdlRenderer(), 4, 4), 0xFF0000u);
}

// A canvas panned across the window's top left corner moves with its destination and changes no pixel:
// what shows at (x, y) with the destination at (10, 10) shows at (x - 11, y - 12) with it at (-1, -2), at
// integer and fractional zooms, sampled nearest (zoomed in, or out by less than half) and linear (zoomed out
// further), its tiles drawn whole or, far larger than the window, cut to what shows.
TEST_F(ImageCompositorTest, APanAcrossTheWindowEdgeMovesTheImageAndChangesNoPixel) {
  const struct {
    int32_t imageWidth, imageHeight;
    double zoom;
  } cases[] = {
      {200, 120, 1.37}, {200, 120, 2.5},  {200, 120, 0.73}, {200, 120, 2.0},   {200, 120, 1.0},
      {600, 400, 0.37}, {900, 700, 0.29}, {1000, 700, 2.5}, {1000, 700, 13.7}, {600, 600, 7.0},
  };
  const auto shown = [&]() {
    std::vector<uint32_t> pixels(static_cast<size_t>(kWidth) * kHeight, 0);
    SDL_Surface* read = SDL_RenderReadPixels(sdlRenderer(), nullptr);
    if (read == nullptr) return pixels;
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        uint8_t r = 0, g = 0, b = 0, a = 0;
        SDL_ReadSurfacePixel(read, x, y, &r, &g, &b, &a);
        pixels[static_cast<size_t>(y) * kWidth + x] = uint32_t{r} << 16 | uint32_t{g} << 8 | b;
      }
    }
    SDL_DestroySurface(read);
    return pixels;
  };
  for (const auto& c : cases) {
    CanvasBitmap image = positionImage(c.imageWidth, c.imageHeight);
    const RenderRect source{0, 0, c.imageWidth, c.imageHeight};
    const auto w = static_cast<int32_t>(c.imageWidth * c.zoom), h = static_cast<int32_t>(c.imageHeight * c.zoom);
    frame({{&image, source, {10, 10, w, h}}});
    frame({{&image, source, {10, 10, w, h}}});
    const std::vector<uint32_t> before = shown();
    frame({{&image, source, {-1, -2, w, h}}});
    const std::vector<uint32_t> after = shown();
    int differing = 0;
    for (int32_t y = 12; y < kHeight; ++y) {
      for (int32_t x = 11; x < kWidth; ++x) {
        const uint32_t was = before[static_cast<size_t>(y) * kWidth + x];
        const uint32_t is = after[static_cast<size_t>(y - 12) * kWidth + (x - 11)];
        if (was != is && ++differing <= 3) {
          ADD_FAILURE() << c.imageWidth << "x" << c.imageHeight << " at " << c.zoom << "x: " << x << "," << y
                        << " showed " << std::hex << was << ", then " << is;
        }
      }
    }
    EXPECT_EQ(differing, 0) << c.imageWidth << "x" << c.imageHeight << " at " << c.zoom << "x";
    renderer().imageTileCache()->forgetImage(image.id);
  }
}

// A canvas zoomed far past the window: what shows is the visible clip of it, drawn without any allocation near
// the destination's size (which is gigabytes), so the frame is drawn within a small address-space margin.
TEST(ImageCompositorZoom, AZoomedCanvasShowsItsVisibleClipWithinTheWindowsMemory) {
  const struct {
    int32_t imageWidth, imageHeight;
    RenderRect source, dest, clip;
  } cases[] = {
      {2, 1, {1, 0, 1, 1}, {-20000, -20000, 30000, 30000}, {0, 0, 8192, 8192}},
      {4, 4, {0, 0, 4, 4}, {-22400, -22450, 30000, 30000}, {0, 0, 8192, 8192}},  // texel edges at 100, 50
      {1000, 1000, {0, 0, 1000, 1000}, {-20010, -20005, 40000, 40000}, {0, 0, 8192, 8192}},
      {1000, 1000, {300, 200, 600, 700}, {-3001, -1002, 60000, 70000}, {20, 10, 250, 150}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.imageWidth << "x" << c.imageHeight << " at " << c.dest.x << "," << c.dest.y);
    const int code = runInMemoryLimitedChild(size_t{256} << 20, [&] {
      SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, "offscreen", SDL_HINT_OVERRIDE);
      if (!SDL_Init(SDL_INIT_VIDEO)) return 2;
      CanvasBitmap image = positionImage(c.imageWidth, c.imageHeight);
      WindowRendererHandle handle(SDL_CreateWindow("zoom", kWidth, kHeight, SDL_WINDOW_HIDDEN), SDL_DestroyWindow);
      WindowRenderer& renderer = *handle.renderer();
      for (int round = 0; round < 2; ++round) {  // the first present composes twice
        renderer.beginDrawing();
        renderer.renderCache()->fillRect({0, 0, kWidth, kHeight}, kBackground);
        if (!renderer.addImagePlacement(&image, c.source, c.dest, c.clip, 0, 0, 0)) return 3;
        renderer.renderCache()->clearRect(c.dest);
        renderer.endDrawing();
      }
      SDL_Surface* shown = SDL_RenderReadPixels(renderer.imageTileCache()->renderer(), nullptr);
      if (shown == nullptr) return 4;
      int wrong = 0;
      for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
          uint8_t r = 0, g = 0, b = 0, a = 0;
          SDL_ReadSurfacePixel(shown, x, y, &r, &g, &b, &a);
          const bool clipped = x < c.clip.x || y < c.clip.y || x >= c.clip.x + c.clip.w || y >= c.clip.y + c.clip.h;
          const int64_t column = c.source.x + (int64_t{x} - c.dest.x) * c.source.w / c.dest.w;
          const int64_t row = c.source.y + (int64_t{y} - c.dest.y) * c.source.h / c.dest.h;
          const uint32_t expected =
              clipped ? 0u : positionPixel(static_cast<int32_t>(column), static_cast<int32_t>(row));
          if ((uint32_t{r} << 16 | uint32_t{g} << 8 | b) != (expected & 0xFFFFFFu) && ++wrong <= 5) {
            std::fprintf(stderr, "pixel %d,%d is %02x%02x%02x, not %06x\n", x, y, r, g, b, expected & 0xFFFFFFu);
          }
        }
      }
      SDL_DestroySurface(shown);
      handle = WindowRendererHandle();
      SDL_Quit();
      return wrong == 0 ? 0 : 1;
    });
    EXPECT_EQ(code, 0) << "1: wrong pixels, 2-4: no window or renderer, above 128: a signal";
  }
}

TEST(ImageCompositorTrace, ActivationIsTracedWhenQzIsAskedTo) {
  qztest::Sandbox sandbox;
  sandbox.writeBoot(
      "return { run = function()\n"
      "  local c = renderer.render_to_canvas(64, 64, function() renderer.draw_rect(0, 0, 64, 64, { 1, 2, 3 }) end)\n"
      "  renderer.begin_frame()\n"
      "  renderer.draw_canvas_tiled(c, 0, 0, 64, 64, 0, 0, 32, 32, 0, 0, 32, 32, 4)\n"
      "  renderer.end_frame()\n"
      "end }\n");
  qztest::RunOptions options;
  options.args = {"--new-instance"};
  options.environment["QZ_STARTUP_TRACE"] = "1";
  const qztest::RunResult result = sandbox.run(options);
  ASSERT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_THAT(result.standardError,
              ::testing::ContainsRegex(R"(\[StartupNative\] [0-9]+\.[0-9]{3} ms: Image compositor activated)"));
  EXPECT_THAT(result.standardError, ::testing::HasSubstr("ms: SDL renderer created with software"));
}

}  // namespace
