// Named UI glyphs and their per-size font descriptions.
#include "ui/ui_glyph.h"

#include <stdexcept>

namespace ui {

Glyph::Glyph(std::string name, GlyphKind shape) : name_(std::move(name)), kind_(shape) {
  if (shape == GlyphKind::Font) throw std::invalid_argument("Shape glyph cannot use the font shape");
}

Glyph::Glyph(std::string name, std::shared_ptr<Font> font, std::string text)
    : name_(std::move(name)), kind_(GlyphKind::Font), font_(std::move(font)), text_(std::move(text)) {
  if (!font_) throw std::invalid_argument("Font glyph requires a font");
}

std::shared_ptr<Font> Glyph::fontForSize(int32_t pixelSize) {
  if (!font_) throw std::logic_error("Font glyph has no source font");
  const int32_t size = pixelSize < 1 ? 1 : pixelSize;
  const auto found = sizedFonts_.find(size);
  if (found != sizedFonts_.end()) return found->second;
  auto sized = std::make_shared<Font>();
  sized->path = font_->path;
  sized->fallbacks = font_->fallbacks;
  sized->size = static_cast<float>(size);
  sized->embolden = font_->embolden;
  sized->antialias = font_->antialias;
  sized->lineGap = false;
  return sizedFonts_.emplace(size, std::move(sized)).first->second;
}

}  // namespace ui
