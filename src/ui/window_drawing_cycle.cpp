// The per-window cycle around a root: events queued with their redraw marks, handed to the root one at a
// time, and the root painted in one frame per marked window with each window as the render target.
#include <algorithm>
#include <utility>

#include "render/render_cache.h"
#include "ui/draw_list.h"
#include "ui/window_registry.h"

namespace {

// Closes the frame on every way out of a paint.
class FrameScope {
 public:
  explicit FrameScope(WindowRenderer& renderer) : renderer_(renderer) { renderer_.beginDrawing(); }
  ~FrameScope() { renderer_.endDrawing(); }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  WindowRenderer& renderer_;
};

// Puts the remembered render target back (or none when its window went) on every way out.
class RenderTargetRestore {
 public:
  explicit RenderTargetRestore(WindowRegistry& registry) : registry_(registry), saved_(registry.renderTargetId()) {}
  ~RenderTargetRestore() {
    if (saved_ && registry_.exists(*saved_)) {
      registry_.setRenderTarget(*saved_);
    } else {
      registry_.clearRenderTarget();
    }
  }
  RenderTargetRestore(const RenderTargetRestore&) = delete;
  RenderTargetRestore& operator=(const RenderTargetRestore&) = delete;

 private:
  WindowRegistry& registry_;
  std::optional<uint64_t> saved_;
};

}  // namespace

void NativeWindow::queueEvent(WindowEvent&& event) {
  if (root_) {
    if (event.type == "resize") {
      markRelayout();
    } else {
      redrawDirty_ = true;
    }
  }
  events_.push(std::move(event));
}

int NativeWindow::dispatchNextEvent() {
  if (!root_ || events_.events().empty()) return 0;
  const WindowEvent event = events_.popOldest();
  return root_->handleEvent(event) ? 2 : 1;
}

void NativeWindow::drawRoot() {
  if (!root_ || !redrawDirty_) return;
  root_->setPointer(pointer_);
  if (root_ && layoutDirty_) {
    updateDisplayScale();
    root_->resize(metrics_.logicalWidth, metrics_.logicalHeight);
    layoutDirty_ = false;
  }
  if (!root_) return;  // the root went while it ran (a replaced form outside UI work)
  {
    const FrameScope frame(*renderer());
    ui::DrawList list(*renderer(), metrics_, *textContext_);
    root_->draw(list, *textContext_);
  }
  redrawDirty_ = false;
}

void WindowRegistry::setRoot(uint64_t id, std::unique_ptr<ui::Root> root) { window(id).setRoot(std::move(root)); }

const std::vector<uint64_t>& WindowRegistry::windowsWithRoots() {
  rootWindows_.clear();
  rootWindows_.reserve(windows_.size());
  for (const auto& [id, entry] : windows_) {
    if (entry.window->hasRoot()) rootWindows_.push_back(id);
  }
  return rootWindows_;
}

int WindowRegistry::dispatchNextEvent(uint64_t id) {
  if (!exists(id)) return 0;
  return window(id).dispatchNextEvent();
}

// Windows are drawn from a copy of the list: a root's painting may create or close windows. A window whose
// renderer is already inside a frame is left for a later pass, still marked.
void WindowRegistry::drawRootWindows() {
  const std::vector<uint64_t> ids = windowsWithRoots();
  const RenderTargetRestore restore(*this);
  for (const uint64_t id : ids) {
    if (!exists(id) || window(id).renderer()->isDrawing()) continue;
    setRenderTarget(id);
    window(id).drawRoot();
  }
}

bool WindowRegistry::anyFrameOpen() const {
  return std::any_of(windows_.begin(), windows_.end(),
                     [](const auto& entry) { return entry.second.window->renderer()->isDrawing(); });
}

void WindowRegistry::clearWindow(uint64_t id) {
  WindowRenderer& renderer = *window(id).renderer();
  int32_t width = 0, height = 0;
  renderer.outputSize(&width, &height);
  const FrameScope frame(renderer);
  renderer.renderCache()->setClipRect({0, 0, width, height});
  renderer.renderCache()->fillRect({0, 0, width, height}, 0xFF000000u);
}
