// A named UI glyph: a small icon that controls draw by name, either a text drawn with a UI font
// description or one of four vector shapes. A font glyph keeps one copy of its description per pixel size
// it was drawn at, laid out without line gap; each copy is a font of its own to the text contexts.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "fonts/ui_font.h"

namespace ui {

enum class GlyphKind : uint32_t { Font = 0, Cross = 1, TriangleRight = 2, TriangleUp = 3, TriangleDown = 4 };

class Glyph {
 public:
  // A shape glyph; the font kind throws std::invalid_argument.
  Glyph(std::string name, GlyphKind shape);
  // A font glyph; an empty font throws std::invalid_argument.
  Glyph(std::string name, std::shared_ptr<Font> font, std::string text);

  const std::string& name() const { return name_; }
  GlyphKind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  // The description for a pixel size (below 1 counts as 1), made on first use and kept.
  std::shared_ptr<Font> fontForSize(int32_t pixelSize);

 private:
  std::string name_;
  GlyphKind kind_;
  std::shared_ptr<Font> font_;
  std::string text_;
  std::map<int32_t, std::shared_ptr<Font>> sizedFonts_;
};

}  // namespace ui
