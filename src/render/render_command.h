// The record format of a window frame: rectangles, command types and the 96-byte command header that
// every record of a RenderCache arena starts with. Kept free of heavy includes so that the UI layers can
// name commands without pulling in the rasterizer.
#pragma once

#include <cstddef>
#include <cstdint>

class RenderFont;
struct CanvasBitmap;

// A rectangle in device pixels; w and h may be zero or negative (such commands draw nothing).
struct RenderRect {
  int32_t x;
  int32_t y;
  int32_t w;
  int32_t h;
};

enum class RenderCommandType : uint32_t {
  Clip = 0,
  Text = 1,
  Glyph = 2,
  TextCells = 3,
  TransientText = 4,
  FillRect = 5,
  VerticalRules = 6,
  FillCircle = 7,
  StrokeCircle = 8,
  CrossShape = 9,
  TriangleRight = 10,
  TriangleUp = 11,
  TriangleDown = 12,
  AntialiasedRect = 13,
  Polyline = 14,
  ClearRect = 15,
  Checkerboard = 16,
  Canvas = 17,
  Mask = 18,
  CanvasScaled = 19,
};

// The header of one record. Records are zero-filled before their fields are written, so unused fields
// and padding are 0: the change tracking hashes the raw bytes.
struct RenderCommand {
  uint32_t type;
  uint32_t size;  // whole record, header included, a multiple of 8
  RenderRect rect;
  RenderRect source;  // source rectangle (17, 19); pen x and line top (2)
  uint32_t color;
  uint32_t color2;
  RenderFont* font;
  CanvasBitmap* image;
  int32_t cellSize;
  uint32_t tabWidth;
  float floats[5];
  uint32_t param;

  static constexpr int32_t kHeaderSize = 96;

  uint8_t* payload() { return reinterpret_cast<uint8_t*>(this) + kHeaderSize; }
  const uint8_t* payload() const { return reinterpret_cast<const uint8_t*>(this) + kHeaderSize; }
  const char* payloadText() const { return reinterpret_cast<const char*>(payload()); }
};

static_assert(sizeof(RenderCommand) == RenderCommand::kHeaderSize);
static_assert(offsetof(RenderCommand, rect) == 8 && offsetof(RenderCommand, source) == 24);
static_assert(offsetof(RenderCommand, color) == 40 && offsetof(RenderCommand, font) == 48);
static_assert(offsetof(RenderCommand, image) == 56 && offsetof(RenderCommand, cellSize) == 64);
static_assert(offsetof(RenderCommand, floats) == 72 && offsetof(RenderCommand, param) == 92);

// Payload offsets of the vertical-rules and polyline records.
inline constexpr int32_t kRulesRecordSize = 108;
inline constexpr int32_t kPolylinePointsOffset = 100;
