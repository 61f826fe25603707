// The working memory of canvas.resize: beside its result, a resize allocates little however wide or tall the
// result is. This executable replaces the global operator new to count the bytes held at once.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "render/canvas_resize.h"

namespace {

size_t heldBytes = 0;  // as the allocator counts them
size_t peakBytes = 0;

// Out of line, so the compiler does not take the free for a delete of memory it saw come from new.
[[gnu::noinline]] void release(void* memory) {
  if (memory == nullptr) return;
  heldBytes -= malloc_usable_size(memory);
  std::free(memory);
}

}  // namespace

void* operator new(size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  heldBytes += malloc_usable_size(memory);
  peakBytes = std::max(peakBytes, heldBytes);
  return memory;
}
void operator delete(void* memory) noexcept { release(memory); }
void operator delete(void* memory, size_t) noexcept { release(memory); }

namespace {

TEST(ResizeMemory, WorkingMemoryStaysNearTheResultWhateverItsShape) {
  const struct {
    int32_t sourceWidth, sourceHeight, width, height;
  } cases[] = {{2, 1, kMaxCanvasSide, 1}, {1, 2, 1, kMaxCanvasSide}, {kMaxCanvasSide, 1, 1, 1}, {3, 3, 1000, 1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.sourceWidth << "x" << c.sourceHeight << " to " << c.width << "x"
                                      << c.height);
    CanvasBitmap source(c.sourceWidth, c.sourceHeight);
    std::fill(source.pixels.begin(), source.pixels.end(), 0xFF336699u);
    const size_t before = heldBytes;
    peakBytes = heldBytes;
    const size_t resultBytes = static_cast<size_t>(c.width) * static_cast<size_t>(c.height) * 4;
    {
      const auto resized = resizeCanvas(source, c.width, c.height);
      ASSERT_EQ(resized->pixels.front(), 0xFF336699u);
    }
    EXPECT_LE(peakBytes - before, resultBytes + (size_t{256} << 10));
  }
}

}  // namespace
