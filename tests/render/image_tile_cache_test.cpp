// The image tile cache on a window with a software SDL renderer: tile geometry, point-sampled reduced tiles,
// the byte budget, forgetting an image, and the vsync setting.
#include "render/image_tile_cache.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "compositor_test_support.h"

namespace {

class ImageTileCacheTest : public OffscreenVideo {
 protected:
  void SetUp() override { window_ = SDL_CreateWindow("tiles", 600, 400, SDL_WINDOW_HIDDEN); }
  void TearDown() override {
    cache_.reset();
    SDL_DestroyWindow(window_);
  }
  ImageTileCache& cache() {
    if (!cache_) cache_ = std::make_unique<ImageTileCache>(window_);
    return *cache_;
  }
  // Texture pixel (i, j) of a tile, drawn 1:1 and read back.
  uint32_t texturePixel(const ImageTile& tile, int32_t i, int32_t j) {
    SDL_Renderer* renderer = cache().renderer();
    SDL_SetTextureScaleMode(tile.texture.get(), SDL_SCALEMODE_NEAREST);
    SDL_SetTextureBlendMode(tile.texture.get(), SDL_BLENDMODE_NONE);
    float w = 0, h = 0;
    SDL_GetTextureSize(tile.texture.get(), &w, &h);
    const SDL_FRect whole{0, 0, w, h};
    SDL_RenderClear(renderer);
    SDL_RenderTexture(renderer, tile.texture.get(), nullptr, &whole);
    return shownPixel(renderer, i, j);
  }

  SDL_Window* window_ = nullptr;
  std::unique_ptr<ImageTileCache> cache_;
};

TEST_F(ImageTileCacheTest, TilesHaveTheirGridsGeometryAndSampleTheTopLeftPixelOfEachBlock) {
  const struct {
    int32_t imageWidth, imageHeight, tileSize, lod, column, row;
    int32_t columns, rows;
    RenderRect source;
    int32_t textureWidth, textureHeight;
    uint64_t bytes;
    int32_t sampleI, sampleJ, sampledX, sampledY;  // texture pixel (i, j) holds image pixel (x, y)
  } cases[] = {
      // 1,000 x 600 drawn at 250 x 150: lod 4, one 2,048-pixel tile of 250 x 150 texture pixels.
      {1000, 600, 2048, 4, 0, 0, 1, 1, {0, 0, 1000, 600}, 250, 150, 150000, 1, 0, 4, 0},
      {1000, 600, 2048, 4, 0, 0, 1, 1, {0, 0, 1000, 600}, 250, 150, 150000, 249, 149, 996, 596},
      // 1,025 pixels at lod 1: tiles 512, 512 and 1 wide.
      {1025, 3, 512, 1, 1, 0, 3, 1, {512, 0, 512, 3}, 512, 3, 512 * 3 * 4, 5, 2, 517, 2},
      {1025, 3, 512, 1, 2, 0, 3, 1, {1024, 0, 1, 3}, 1, 3, 12, 0, 1, 1024, 1},
      // A 10-pixel tile at lod 4: 3 texture columns from image columns 0, 4 and 8.
      {10, 2, 2048, 4, 0, 0, 1, 1, {0, 0, 10, 2}, 3, 1, 12, 2, 0, 8, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.imageWidth << "x" << c.imageHeight << " lod " << c.lod << " tile "
                                      << c.column << "," << c.row << " sample " << c.sampleI << "," << c.sampleJ);
    const CanvasBitmap image = positionImage(c.imageWidth, c.imageHeight);
    const TileGrid grid(&image, c.tileSize, c.lod);
    EXPECT_EQ(grid.columns(), c.columns);
    EXPECT_EQ(grid.rows(), c.rows);
    const RenderRect area = grid.tileRect(c.column, c.row);
    EXPECT_EQ(std::tuple(area.x, area.y, area.w, area.h), std::tuple(c.source.x, c.source.y, c.source.w, c.source.h));
    EXPECT_EQ(grid.tileBytes(c.column, c.row), c.bytes);
    ImageTile* tile = cache().tile(grid, c.column, c.row, nullptr);
    ASSERT_NE(tile, nullptr) << SDL_GetError();
    float w = 0, h = 0;
    SDL_GetTextureSize(tile->texture.get(), &w, &h);
    EXPECT_EQ(w, c.textureWidth);
    EXPECT_EQ(h, c.textureHeight);
    EXPECT_EQ(tile->bytes, c.bytes);
    SDL_ScaleMode mode = SDL_SCALEMODE_NEAREST;
    SDL_GetTextureScaleMode(tile->texture.get(), &mode);
    EXPECT_EQ(mode, c.lod > 1 ? SDL_SCALEMODE_LINEAR : SDL_SCALEMODE_NEAREST);
    EXPECT_EQ(texturePixel(*tile, c.sampleI, c.sampleJ), positionPixel(c.sampledX, c.sampledY) & 0xFFFFFFu);
    cache().clear();
  }
}

// Each axis is cut and reduced on its own: 1,000 x 600 pixels cut 4,096 across at level of detail 8 and 512
// down at level of detail 1 make tiles of 125 texels across from every 8th column and one texel down per row.
TEST_F(ImageTileCacheTest, EachAxisIsCutAndReducedOnItsOwn) {
  const CanvasBitmap image = positionImage(1000, 600);
  const TileGrid grid(&image, TileAxis{4096, 8}, TileAxis{512, 1});
  EXPECT_EQ(std::tuple(grid.columns(), grid.rows()), std::tuple(1, 2));
  const RenderRect area = grid.tileRect(0, 1);
  EXPECT_EQ(std::tuple(area.x, area.y, area.w, area.h), std::tuple(0, 512, 1000, 88));
  EXPECT_EQ(grid.tileBytes(0, 1), 125u * 88 * 4);
  ImageTile* tile = cache().tile(grid, 0, 1, nullptr);
  ASSERT_NE(tile, nullptr) << SDL_GetError();
  float w = 0, h = 0;
  SDL_GetTextureSize(tile->texture.get(), &w, &h);
  EXPECT_EQ(std::tuple(w, h), std::tuple(125.0f, 88.0f));
  EXPECT_EQ(texturePixel(*tile, 3, 5), positionPixel(24, 517) & 0xFFFFFFu);
  EXPECT_EQ(texturePixel(*tile, 124, 87), positionPixel(992, 599) & 0xFFFFFFu);
  const TileGrid turned(&image, TileAxis{512, 1}, TileAxis{4096, 8});
  EXPECT_NE(turned.tileKey(0, 0), grid.tileKey(0, 0));
  EXPECT_NE(tileKeyHash(turned.tileKey(0, 0)), tileKeyHash(grid.tileKey(0, 0)));
  EXPECT_EQ(cache().findTile(turned, 0, 1), nullptr) << "the same place at other levels of detail is another tile";
}

TEST_F(ImageTileCacheTest, OutsideTheGridThereIsNoTile) {
  const CanvasBitmap image = positionImage(1025, 2);
  const TileGrid grid(&image, 512, 1);
  std::string error;
  EXPECT_EQ(cache().tile(grid, grid.columns(), 0, &error), nullptr);
  EXPECT_EQ(error, "tile coordinates out of range");
  EXPECT_EQ(cache().tile(grid, 0, -1, nullptr), nullptr);
  const RenderRect outside = grid.tileRect(3, 0);
  EXPECT_EQ(std::tuple(outside.x, outside.y, outside.w, outside.h), std::tuple(0, 0, 0, 0));
  EXPECT_EQ(grid.tileBytes(3, 0), 0u);
  EXPECT_EQ(cache().bytesUsed(), 0u);
}

TEST_F(ImageTileCacheTest, OverBudgetTheLeastRecentlyUsedTileGoesButALoneTileStays) {
  const CanvasBitmap image = positionImage(1024, 512);
  const TileGrid grid(&image, 512, 1);
  ASSERT_NE(cache().tile(grid, 0, 0, nullptr), nullptr);
  EXPECT_EQ(cache().setBudget(1), 512u * 512 * 4);  // a lone tile stays
  cache().nextFrame();
  ASSERT_NE(cache().tile(grid, 1, 0, nullptr), nullptr);  // the new tile is kept, the older one goes
  EXPECT_EQ(cache().findTile(grid, 0, 0), nullptr);
  EXPECT_NE(cache().findTile(grid, 1, 0), nullptr);
  EXPECT_EQ(cache().bytesUsed(), 512u * 512 * 4);
  EXPECT_EQ(cache().budget(), 1u);
}

TEST_F(ImageTileCacheTest, AFrameMakesNoTileOnceItsOwnTilesFillTheBudget) {
  const CanvasBitmap image = positionImage(1536, 512);
  const TileGrid grid(&image, 512, 1);
  const uint64_t tileBytes = 512u * 512 * 4;
  cache().setBudget(2 * tileBytes);
  cache().nextFrame();
  EXPECT_NE(cache().tile(grid, 0, 0, nullptr), nullptr);
  EXPECT_NE(cache().tile(grid, 1, 0, nullptr), nullptr);
  EXPECT_EQ(cache().tile(grid, 2, 0, nullptr), nullptr);  // would push out a tile this frame draws
  cache().nextFrame();
  EXPECT_NE(cache().tile(grid, 0, 0, nullptr), nullptr);
  EXPECT_NE(cache().tile(grid, 1, 0, nullptr), nullptr);
  EXPECT_EQ(cache().tile(grid, 2, 0, nullptr), nullptr);
  EXPECT_EQ(cache().bytesUsed(), 2 * tileBytes);
  cache().nextFrame();  // a frame that draws only the third tile makes it, the least recently used one goes
  EXPECT_NE(cache().tile(grid, 2, 0, nullptr), nullptr);
  EXPECT_NE(cache().tile(grid, 1, 0, nullptr), nullptr);
  EXPECT_EQ(cache().findTile(grid, 0, 0), nullptr);
  EXPECT_EQ(cache().bytesUsed(), 2 * tileBytes);
}

TEST_F(ImageTileCacheTest, ForgettingAnImageDropsItsTilesAtEveryLevelOfDetail) {
  const CanvasBitmap image = positionImage(1024, 512);
  const CanvasBitmap other = positionImage(8, 8);
  for (const int32_t lod : {1, 2, 64}) {
    const TileGrid grid(&image, 512 * lod, lod);
    ASSERT_NE(cache().tile(grid, 0, 0, nullptr), nullptr);
  }
  ASSERT_NE(cache().tile(TileGrid(&other, 512, 1), 0, 0, nullptr), nullptr);
  cache().forgetImage(image.id);
  EXPECT_EQ(cache().bytesUsed(), 8u * 8 * 4);
  EXPECT_EQ(cache().findTile(TileGrid(&image, 512, 1), 0, 0), nullptr);
}

// Every canvas that goes is forgotten by every window's cache, most of them never drawn: forgetting 20,000
// images without tiles beside 4,096 tiles of other images costs about what it costs beside one (best of
// three), and forgetting images with tiles still drops just theirs.
TEST_F(ImageTileCacheTest, ForgettingAnImageCostsTheSameHoweverManyTilesOthersHold) {
  std::vector<std::unique_ptr<CanvasBitmap>> images;
  const auto forgetSeconds = [this, &images](size_t tiled) {
    while (images.size() < tiled) {
      images.push_back(std::make_unique<CanvasBitmap>(positionImage(4, 4)));
      EXPECT_NE(cache().tile(TileGrid(images.back().get(), 512, 1), 0, 0, nullptr), nullptr);
    }
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
      const uint64_t firstId = nextImageId();
      const auto start = std::chrono::steady_clock::now();
      for (uint64_t id = firstId; id < firstId + 20000; ++id) cache().forgetImage(id);
      best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
  };
  const double beside1 = forgetSeconds(1);
  const double beside4096 = forgetSeconds(4096);
  EXPECT_LT(beside4096, 10 * beside1 + 0.005) << "beside 1 tile: " << beside1 << " s; beside 4,096: " << beside4096;
  EXPECT_EQ(cache().bytesUsed(), 4096u * 4 * 4 * 4);
  for (size_t i = 0; i < images.size(); i += 2) cache().forgetImage(images[i]->id);
  EXPECT_EQ(cache().bytesUsed(), 2048u * 4 * 4 * 4);
  EXPECT_EQ(cache().findTile(TileGrid(images[0].get(), 512, 1), 0, 0), nullptr);
  EXPECT_NE(cache().findTile(TileGrid(images[1].get(), 512, 1), 0, 0), nullptr);
}

TEST_F(ImageTileCacheTest, VSyncAskedForBeforeTheRendererIsAppliedWhenItIsMade) {
  std::string error;
  EXPECT_TRUE(cache().setVSync(true, &error));
  EXPECT_FALSE(cache().hasRenderer());
  ASSERT_TRUE(cache().ensureRenderer(&error)) << error;
  int vsync = -1;
  ASSERT_TRUE(SDL_GetRenderVSync(cache().renderer(), &vsync));
  EXPECT_EQ(vsync, 1);
  EXPECT_TRUE(cache().setVSync(false, &error)) << error;
  SDL_GetRenderVSync(cache().renderer(), &vsync);
  EXPECT_EQ(vsync, 0);
}

}  // namespace
