// Polylines from arbitrary bytes, replayed through a RenderCache into a canvas: no pixel outside the
// clip and the bounds that the command records may change.
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

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return offset_ >= size_; }
  uint32_t word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | (offset_ < size_ ? data_[offset_++] : 0);
    return value;
  }
  // A coordinate around the canvas, sometimes far away.
  float coordinate() {
    const uint32_t raw = word();
    const float near = static_cast<float>(static_cast<int32_t>(raw % 4000) - 1500) / 10.0f;
    return (raw >> 30) == 3 ? near * 1.0e5f : near;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader reader(data, size);
  CanvasBitmap canvas(kSize, kSize);
  WindowRenderer renderer(nullptr);
  if (!renderer.beginCanvasTarget(&canvas, nullptr)) std::abort();
  const RenderRect clip{static_cast<int32_t>(reader.word() % 120) - 12, static_cast<int32_t>(reader.word() % 120) - 12,
                        static_cast<int32_t>(reader.word() % 110), static_cast<int32_t>(reader.word() % 110)};
  const float width = static_cast<float>(reader.word() % 4000) / 100.0f;
  std::vector<PolylinePoint> points;
  while (!reader.empty() && points.size() < 4096) points.push_back({reader.coordinate(), reader.coordinate()});

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
