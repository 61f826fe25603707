// The text context of one window: loads each UI font description once as a RenderFont at the window's
// display scale (the primary face, plus a lazily loaded fallback group), forwards measuring and drawing to
// the window's RenderCache and converts between logical units and pixels, rounding halves away from zero.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "ui/text_context.h"

class RenderFont;

namespace ui {

// The pixel size of a description of `size` logical units at `scale`, in single precision; at least 1.
float uiFontPixelSize(double scale, float size);
// Conversions between logical units and pixels, in extended precision, halves away from zero, clamped to i32.
int32_t pixelsToLogical(int32_t pixels, double scale);
int32_t logicalToPixels(int32_t logical, double scale);

class WindowTextContext final : public TextContext {
 public:
  WindowTextContext(WindowRenderer& renderer, const WindowMetrics& metrics);
  ~WindowTextContext() override;
  WindowTextContext(const WindowTextContext&) = delete;
  WindowTextContext& operator=(const WindowTextContext&) = delete;

  // A different display scale drops every loaded font; an equal one keeps them.
  void setMetrics(const WindowMetrics& metrics);
  // Hands every loaded font to the window's RenderCache (which keeps it alive until its frame ends) and
  // forgets it.
  void clearFonts();
  // The font of a description at the current scale, owned by the context. Throws "UI font is no longer
  // available" for an empty description and "failed to load UI font '<path>'" when it cannot load,
  // remembering nothing.
  RenderFont* renderFontFor(const std::shared_ptr<Font>& font);
  size_t loadedFontCount() const { return fonts_.size(); }

  Extent measureText(const std::shared_ptr<Font>& font, std::string_view text) override;
  int32_t textX(const std::shared_ptr<Font>& font, std::string_view text, int32_t column) override;
  int32_t textColumn(const std::shared_ptr<Font>& font, std::string_view text, int32_t x) override;
  std::vector<TextCluster> textClusters(const std::shared_ptr<Font>& font, std::string_view text) override;
  int32_t drawText(WindowRenderer& renderer, const WindowMetrics& metrics, const std::shared_ptr<Font>& font,
                   std::string_view text, int32_t x, int32_t y, uint32_t color) override;

 private:
  struct Entry {
    std::shared_ptr<Font> description;  // keeps the key's address from being reused
    std::shared_ptr<RenderFont> font;
  };

  // The text up to its first NUL byte, NUL-terminated in a reused buffer.
  const char* terminated(std::string_view text);

  WindowRenderer& renderer_;
  WindowMetrics metrics_;
  std::unordered_map<const Font*, Entry> fonts_;
  std::string scratch_;
};

}  // namespace ui
