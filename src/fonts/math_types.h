// The records of OpenType MATH answers and of math masks: layout constants in pixels, a glyph's stretch
// variants and assembly parts with where each glyph's bitmap is drawn, and the components and result of a
// composed formula mask. Few includes, so the Lua binding names them cheaply.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

// The twenty MATH constants that scripts read, in this order: two scale-downs as fractions, the rest in
// pixels.
inline constexpr size_t kMathConstantCount = 20;

struct MathConstants {
  bool present = false;  // the face has MATH data
  std::array<float, kMathConstantCount> values{};
};

// Where a glyph of an answer is drawn: its rounded advance, the distance from the line top to its outline
// top, and its bitmap's offsets and size (as the glyph bitmap view gives them).
struct MathGlyphPlacement {
  uint32_t glyphId = 0;
  float width = 0.0f;
  float outlineTop = 0.0f;
  int32_t drawOffsetX = 0;
  int32_t drawOffsetY = 0;
  int32_t bitmapWidth = 0;
  int32_t bitmapHeight = 0;
};

struct MathGlyphVariant {
  MathGlyphPlacement placement;
  float advance = 0.0f;
};

struct MathGlyphPart {
  MathGlyphPlacement placement;
  float startConnector = 0.0f;
  float endConnector = 0.0f;
  float fullAdvance = 0.0f;
  bool extender = false;
};

// The most stretch variants and assembly parts of a glyph that are read: real fonts list tens of variants
// and a handful of parts. Variants past the first kMaxMathVariants are left out; an assembly of more than
// kMaxMathParts parts is left out whole, since a cut one would draw a broken glyph.
inline constexpr size_t kMaxMathVariants = 64;
inline constexpr size_t kMaxMathParts = 64;

struct MathGlyphShape {
  bool hasBase = false;
  MathGlyphPlacement base;
  float baseAdvance = 0.0f;
  std::vector<MathGlyphVariant> variants;
  std::vector<MathGlyphPart> parts;
  float minimumConnectorOverlap = 0.0f;
};

// One piece of a formula mask: a glyph whose line box top is at (x, y), or a rule covering
// [x, x + width] x [y, y + height]; pixels, y down.
struct MathMaskComponent {
  uint32_t glyphId = 0;
  float x = 0.0f;
  float y = 0.0f;
  float width = 0.0f;
  float height = 0.0f;
  bool isGlyph = false;
};

// TooComplex: within the size limits, but its outline would take FreeType too long to fill.
enum class MathMaskStatus : uint8_t { Done = 0, UnusableGlyph = 1, TooLarge = 2, NothingDrawn = 3, TooComplex = 4 };

// Coverage of a composed mask, one byte per pixel, rows packed; mask pixel (0, 0) covers the unit square at
// the origin. The ink box holds every pixel of non-zero coverage.
struct MathMask {
  std::vector<uint8_t> coverage;
  int32_t width = 0;
  int32_t height = 0;
  int32_t originX = 0;
  int32_t originY = 0;
  int32_t inkX = 0;
  int32_t inkY = 0;
  int32_t inkWidth = 0;
  int32_t inkHeight = 0;
  MathMaskStatus status = MathMaskStatus::NothingDrawn;
};
