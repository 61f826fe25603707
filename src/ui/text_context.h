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

// Columns are 1-based byte positions; x values and sizes are logical units. A context that goes while it is
// the thread's current one (its window closed by a callback) is current nowhere afterwards, and scopes that
// would restore it restore none.
class TextContext {
 public:
  TextContext() = default;
  TextContext(const TextContext&) = delete;
  TextContext& operator=(const TextContext&) = delete;
  virtual ~TextContext();
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

  // Expires when the context goes: a holder that keeps the context beyond one call checks it first.
  std::weak_ptr<const void> lifetime() const { return lifetime_; }

 private:
  std::shared_ptr<const void> lifetime_ = std::make_shared<char>();
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
  friend class TextContext;  // forgets itself in the scopes that saved it

  TextContext* saved_ = nullptr;
  RenderContextScope* outer_ = nullptr;
  bool active_ = false;
};

}  // namespace ui
