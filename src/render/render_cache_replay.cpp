// Replay: every record of the frame is drawn again, clipped to each dirty rectangle in turn, through the
// WindowRenderer's rasterizer primitives.
#include <cstdlib>
#include <cstring>

#include "render/pixel_ops.h"
#include "render/render_cache.h"

namespace {

uint32_t payloadWord(const RenderCommand& command, int index) {
  uint32_t value;
  std::memcpy(&value, command.payload() + 4 * index, sizeof value);
  return value;
}

// Tint colour of the debug view: blue, green, then red from the runtime's unseeded generator.
uint32_t debugTint() {
  const uint32_t blue = static_cast<uint32_t>(std::rand()) & 0xFFu;
  const uint32_t green = static_cast<uint32_t>(std::rand()) & 0xFFu;
  const uint32_t red = static_cast<uint32_t>(std::rand()) & 0xFFu;
  return 0x32000000u | (red << 16) | (green << 8) | blue;
}

}  // namespace

void RenderCache::replay(int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const RenderRect dirty = dirtyRects_[static_cast<size_t>(i)];
    windowRenderer_->setClip(dirty);
    RenderRect activeClip = dirty;
    textsReplayed_ = 0;
    for (const RenderCommand* command = nullptr; nextCommand(command);) replayCommand(*command, dirty, &activeClip);
    if (debugView_) windowRenderer_->fillRect(dirty, debugTint());
  }
}

void RenderCache::replayCommand(const RenderCommand& command, const RenderRect& dirty, RenderRect* activeClip) {
  WindowRenderer& out = *windowRenderer_;
  const RenderRect& rect = command.rect;
  switch (static_cast<RenderCommandType>(command.type)) {
    case RenderCommandType::Clip:
      *activeClip = intersectRects(rect, dirty);
      out.setClip(*activeClip);
      break;
    case RenderCommandType::FillRect:
      out.fillRect(rect, command.color);
      break;
    case RenderCommandType::VerticalRules:
      out.drawVerticalRules(command.floats[0], command.floats[2], rect.y, rect.h,
                            static_cast<int32_t>(payloadWord(command, 0)),
                            static_cast<int32_t>(payloadWord(command, 1)),
                            static_cast<int32_t>(payloadWord(command, 2)), command.color, command.color2);
      break;
    case RenderCommandType::FillCircle:
      out.fillCircle(rect, command.color);
      break;
    case RenderCommandType::StrokeCircle:
      out.strokeCircle(rect, static_cast<int32_t>(command.param), command.color);
      break;
    case RenderCommandType::CrossShape:
      out.drawCrossShape(rect, static_cast<int32_t>(command.param), command.color);
      break;
    case RenderCommandType::TriangleRight:
      out.drawTriangleRight(rect, command.color);
      break;
    case RenderCommandType::TriangleUp:
      out.drawTriangleUp(rect, command.color);
      break;
    case RenderCommandType::TriangleDown:
      out.drawTriangleDown(rect, command.color);
      break;
    case RenderCommandType::AntialiasedRect:
      out.drawAntialiasedRect(command.floats[0], command.floats[1], command.floats[2], command.floats[3],
                              command.color);
      break;
    case RenderCommandType::Polyline:
      if (rectsTouch(rect, *activeClip)) {
        const auto* points = reinterpret_cast<const PolylinePoint*>(command.payload() + 4);
        out.drawPolyline({points, payloadWord(command, 0)}, command.floats[4], command.color);
      }
      break;
    case RenderCommandType::ClearRect:
      out.clearRect(rect);
      break;
    case RenderCommandType::Checkerboard:
      out.drawCheckerboard(rect, command.cellSize, command.color, command.color2);
      break;
    case RenderCommandType::Canvas:
    case RenderCommandType::Mask: {
      const CanvasBitmap* image = command.image;
      const RenderRect source = image ? RenderRect{0, 0, image->width, image->height} : RenderRect{0, 0, 0, 0};
      const bool isMask = command.type == static_cast<uint32_t>(RenderCommandType::Mask);
      out.blitImage(image, &source, rect.x, rect.y, isMask ? command.color : 0xFFFFFFFFu, true);
      break;
    }
    case RenderCommandType::CanvasScaled:
      out.blitImageScaled(command.image, &command.source, &rect);
      break;
    default:
      replayTextCommand(command, *activeClip);
      break;
  }
}
