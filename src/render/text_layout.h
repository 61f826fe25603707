// Text laid out for drawing and measuring: a text cut into runs (unshaped runs of per-codepoint faces,
// shaped runs of HarfBuzz glyphs), the one-codepoint-per-cell layout of fixed-width text, and cluster
// boundaries. Positions are 1-based byte columns; x values are integer pixels from the text start.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fonts/render_font_types.h"

class RenderFont;

// One codepoint of an unshaped run. A codepoint that no face serves keeps an entry with a null face, so
// entries pair one to one with the codepoints of the run's text.
struct RunCodepoint {
  RenderFont* face;
  uint32_t codepoint;
  int32_t baselineOffset;  // group baseline minus the face's baseline
};

// A run is shaped exactly when `glyphs` is not empty.
struct TextRun {
  uint32_t width = 0;
  uint8_t rightToLeft = 0;
  std::string text;
  std::vector<RunCodepoint> codepoints;
  std::vector<ShapedGlyph> glyphs;
};

// The box a text's glyphs cover, from its pen start and line top (right and bottom exclusive); empty until
// a glyph is added. Marks stacked by the shaper may reach far beyond the line box.
struct GlyphInk {
  int64_t left = INT64_MAX;
  int64_t top = INT64_MAX;
  int64_t right = INT64_MIN;
  int64_t bottom = INT64_MIN;

  bool empty() const { return left >= right || top >= bottom; }
  void add(int64_t x, int64_t y, int64_t w, int64_t h) {
    if (w <= 0 || h <= 0) return;
    left = std::min(left, x);
    top = std::min(top, y);
    right = std::max(right, x + w);
    bottom = std::max(bottom, y + h);
  }
};

// A glyph ink measured for the drawing it belongs to, or not yet.
struct KnownInk {
  GlyphInk ink;
  bool known = false;
};

struct TextLayout {
  uint8_t needsShaping = 0;
  uint32_t width = 0;
  std::vector<TextRun> runs;
  KnownInk ink;  // measured when the text is first recorded
};

// One cell of a cell layout; a blank cell is all zero.
struct TextCell {
  RenderFont* face;
  uint32_t codepoint;
  int32_t baselineOffset;
  int32_t advance;
};

struct TextCellLayout {
  uint32_t cellCount = 0;
  std::vector<TextCell> cells;
  KnownInk ink;  // for the cell width below, measured when the cells are first recorded at it
  int32_t inkCellWidth = 0;
};

struct TextCluster {
  uint32_t startColumn;
  uint32_t endColumn;  // exclusive
  int32_t startX;
  int32_t endX;
};

// Codepoints that take a cell but draw nothing: NUL, tab, the line breaks and space.
inline bool isBlankCellCodepoint(uint32_t codepoint) {
  return codepoint == 0 || (codepoint >= 9 && codepoint <= 13) || codepoint == 32;
}

// The shared layout of no cells, answered for a null font.
const TextCellLayout& emptyTextCellLayout();

// Scripts whose codepoints always go through the shaper: Hebrew, Arabic, Indic, Thai, Lao, Myanmar, Khmer,
// Javanese and their presentation forms.
bool needsComplexShaping(uint32_t codepoint);

// textNeedsShaping with a quick answer for pure ASCII, which never needs the shaper. The view must end in
// a NUL.
bool textMayNeedShaping(const char* text);
bool textMayNeedShaping(std::string_view text);

// Appends at most one run of the bytes `range` to the layout.
void appendUnshapedRun(RenderFont* font, std::string_view range, TextLayout& layout);
void appendShapedRun(RenderFont* font, std::string_view range, TextLayout& layout);
// Cuts a NUL-terminated text into runs: clusters that need the shaper (complex scripts, flag pairs,
// keycaps, modifier and joiner sequences) become shaped runs, the text between them unshaped runs.
TextLayout buildTextRuns(RenderFont* font, const char* text);
