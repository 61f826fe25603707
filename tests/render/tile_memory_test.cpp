// Running out of memory for the pixels of a reduced image tile: the tile is skipped, nothing is thrown out of
// the frame, and the tile is made once memory is there again. This executable replaces the global operator
// new (with malloc and free underneath) so that one allocation of a chosen size can be made to fail.
#include <cstdlib>
#include <new>
#include <string>

#include "compositor_test_support.h"
#include "render/image_tile_cache.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"

namespace {

size_t failingSize = 0;  // the next allocation of this many bytes fails; 0 for none

}  // namespace

void* operator new(size_t size) {
  if (size != 0 && size == failingSize) {
    failingSize = 0;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }

namespace {

class TileMemoryTest : public OffscreenVideo {};

TEST_F(TileMemoryTest, AReducedTileWithoutMemoryIsSkippedAndMadeLater) {
  SDL_Window* window = SDL_CreateWindow("memory", 64, 64, SDL_WINDOW_HIDDEN);
  {
    ImageTileCache cache(window);
    const CanvasBitmap image = positionImage(1000, 600);
    const TileGrid grid(&image, 2048, 4);
    std::string error;
    failingSize = 250 * 150 * 4;
    EXPECT_EQ(cache.tile(grid, 0, 0, &error), nullptr);
    EXPECT_EQ(error, "not enough memory to reduce an image tile");
    EXPECT_EQ(cache.bytesUsed(), 0u);
    EXPECT_EQ(cache.findTile(grid, 0, 0), nullptr);
    EXPECT_NE(cache.tile(grid, 0, 0, nullptr), nullptr);
    EXPECT_EQ(cache.bytesUsed(), 150000u);
  }
  SDL_DestroyWindow(window);
}

TEST_F(TileMemoryTest, AFrameWhoseReducedTileFailsStillEnds) {
  WindowRendererHandle handle(SDL_CreateWindow("memory", 64, 64, SDL_WINDOW_HIDDEN), SDL_DestroyWindow);
  WindowRenderer& renderer = *handle.renderer();
  CanvasBitmap image = filledImage(1000, 600, 0xFFFF0000u);
  renderer.beginDrawing();
  renderer.endDrawing();  // the first present (which composes twice) is behind
  renderer.beginDrawing();
  ASSERT_TRUE(renderer.addImagePlacement(&image, {0, 0, 1000, 600}, {0, 0, 250, 150}, {0, 0, 64, 64}, 0, 0, 0));
  failingSize = 250 * 150 * 4;
  EXPECT_NO_THROW(renderer.endDrawing());
  EXPECT_EQ(failingSize, 0u) << "the reduced tile was not attempted";
  EXPECT_FALSE(renderer.isDrawing());
  EXPECT_EQ(renderer.imageTileCache()->bytesUsed(), 0u);
}

}  // namespace
