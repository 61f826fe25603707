// Polylines from arbitrary bytes, replayed through a RenderCache into a canvas: no pixel outside the clip and
// the bounds that the command records may change. Points are encoded compactly so that short inputs reach
// long polylines (over 1,024 points, where the rasterizer works in batches and merges their spans): after a
// header that gives the point count, the remaining bytes are read round and round, one byte per coordinate,
// each round shifted by a quarter pixel.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "render/canvas_bitmap.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"

namespace {

constexpr int32_t kSize = 96;
constexpr size_t kMaxPoints = 4096;

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }
  // Big-endian; the two reads are sequenced, so an input means the same to every compiler.
  uint32_t word16() {
    const uint32_t high = byte();
    return high << 8 | byte();
  }
  const uint8_t* rest() const { return data_ + offset_; }
  size_t restSize() const { return offset_ < size_ ? size_ - offset_ : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

// A coordinate around the canvas in half pixels, or far away for the top sixteen byte values.
float coordinate(uint8_t raw, size_t round) {
  if (raw >= 0xF0) return static_cast<float>(static_cast<int32_t>(raw & 0x0F) - 8) * 1.0e5f;
  return static_cast<float>(raw) * 0.5f - 12.0f + 0.25f * static_cast<float>(round % 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader reader(data, size);
  CanvasBitmap canvas(kSize, kSize);
  WindowRenderer renderer(nullptr);
  if (!renderer.beginCanvasTarget(&canvas, nullptr)) std::abort();
  const RenderRect clip{static_cast<int32_t>(reader.byte() % 120) - 12, static_cast<int32_t>(reader.byte() % 120) - 12,
                        static_cast<int32_t>(reader.byte() % 110), static_cast<int32_t>(reader.byte() % 110)};
  const float width = static_cast<float>(reader.word16() % 4000) / 100.0f;
  const size_t count = reader.word16() % (kMaxPoints + 1);
  const uint8_t* coordinates = reader.rest();
  const size_t available = reader.restSize();
  std::vector<PolylinePoint> points;
  for (size_t i = 0; available > 0 && i < count; ++i) {
    const size_t at = 2 * i;
    const size_t round = at / available;
    points.push_back(
        {coordinate(coordinates[at % available], round), coordinate(coordinates[(at + 1) % available], round)});
  }

  renderer.beginDrawing();
  RenderCache& cache = *renderer.renderCache();
  cache.setClipRect(clip);
  cache.drawPolyline(points, width, 0x80FFFFFFu);
  RenderRect bounds{0, 0, 0, 0};
  RenderRect recordedClip{0, 0, 0, 0};
  for (const RenderCommand* command = nullptr; cache.nextCommand(command);) {
    if (command->type == static_cast<uint32_t>(RenderCommandType::Polyline)) bounds = command->rect;
    if (command->type == static_cast<uint32_t>(RenderCommandType::Clip)) recordedClip = command->rect;
  }
  renderer.endDrawing();
  renderer.endCanvasTarget();

  for (int32_t y = 0; y < kSize; ++y) {
    for (int32_t x = 0; x < kSize; ++x) {
      if (canvas.pixels[static_cast<size_t>(y) * kSize + x] == 0) continue;
      const bool inClip = x >= recordedClip.x && x < recordedClip.x + recordedClip.w && y >= recordedClip.y &&
                          y < recordedClip.y + recordedClip.h;
      const bool inBounds = x >= bounds.x && int64_t{x} < int64_t{bounds.x} + bounds.w && y >= bounds.y &&
                            int64_t{y} < int64_t{bounds.y} + bounds.h;
      if (!inClip || !inBounds) std::abort();
    }
  }
  return 0;
}
