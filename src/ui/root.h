// What a native window drives once per event and once per frame. FormRoot shows a form of the Application;
// TestRoot is a self-contained root for exercising the window, event and painting path without forms.
#pragma once

#include <cstdint>

#include "ui/ui_types.h"
#include "ui/window_defs.h"

class Application;

namespace ui {

class DrawList;
class TextContext;

class Root {
 public:
  virtual ~Root() = default;
  // True asks the window to close.
  virtual bool handleEvent(const WindowEvent& event) = 0;
  virtual void setPointer(const PointerPosition& pointer) = 0;
  virtual void resize(int32_t width, int32_t height) = 0;
  virtual void draw(DrawList& list, TextContext& textContext) = 0;
};

// Counts events, remembers size and pointer, paints a background with a left and a bottom bar and a pointer
// square, and closes on "close_requested".
class TestRoot final : public Root {
 public:
  explicit TestRoot(uint64_t windowId) : windowId_(windowId) {}
  bool handleEvent(const WindowEvent& event) override;
  void setPointer(const PointerPosition& pointer) override { pointer_ = pointer; }
  void resize(int32_t width, int32_t height) override { size_ = {width, height}; }
  void draw(DrawList& list, TextContext& textContext) override;

  uint64_t eventCount() const { return eventCount_; }

 private:
  uint64_t windowId_;
  Size size_;
  PointerPosition pointer_;
  uint64_t eventCount_ = 0;
};

// Shows one form: events go to the Application's routing, a "close_requested" to its guarded window close;
// pointer, size and painting go to the form. Closing is never decided by the answer, which is always false.
class FormRoot final : public Root {
 public:
  FormRoot(Application& application, uint64_t windowId, FormHandle form)
      : application_(application), windowId_(windowId), form_(form) {}
  bool handleEvent(const WindowEvent& event) override;
  void setPointer(const PointerPosition& pointer) override;
  void resize(int32_t width, int32_t height) override;
  void draw(DrawList& list, TextContext& textContext) override;

  uint64_t windowId() const { return windowId_; }
  FormHandle form() const { return form_; }

 private:
  Application& application_;
  uint64_t windowId_;
  FormHandle form_;
};

}  // namespace ui
