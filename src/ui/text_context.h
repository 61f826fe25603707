// How controls measure and draw text in logical units without knowing a window's scale, and the current
// render context of the thread: the text context of the window whose UI work is running, which measure and
// event callbacks need for text measurement.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "render/text_layout.h"
#include "ui/window_defs.h"

class WindowRenderer;

namespace ui {

struct Font;

// Columns are 1-based byte positions; x values and sizes are logical units.
class TextContext {
 public:
  virtual ~TextContext() = default;
  struct Extent {
    int32_t width = 0;
    int32_t height = 0;
  };
  virtual Extent measureText(const std::shared_ptr<Font>& font, std::string_view text) = 0;
  virtual int32_t textX(const std::shared_ptr<Font>& font, std::string_view text, int32_t column) = 0;
  virtual int32_t textColumn(const std::shared_ptr<Font>& font, std::string_view text, int32_t x) = 0;
  virtual std::vector<TextCluster> textClusters(const std::shared_ptr<Font>& font, std::string_view text) = 0;
  // Returns the pen x after the text; the colour is packed r | g << 8 | b << 16 | a << 24.
  virtual int32_t drawText(WindowRenderer& renderer, const WindowMetrics& metrics, const std::shared_ptr<Font>& font,
                           std::string_view text, int32_t x, int32_t y, uint32_t color) = 0;
};

// The thread's current render context; null when none is set.
TextContext* currentRenderContext();

// Makes a context current for its lifetime and restores the previous one after; scopes nest like a stack.
// Built with onlyWhenGiven, a scope with a null context changes nothing and restores nothing.
class RenderContextScope {
 public:
  explicit RenderContextScope(TextContext* context, bool onlyWhenGiven = false);
  ~RenderContextScope();
  RenderContextScope(const RenderContextScope&) = delete;
  RenderContextScope& operator=(const RenderContextScope&) = delete;

 private:
  TextContext* saved_ = nullptr;
  bool active_ = false;
};

}  // namespace ui
