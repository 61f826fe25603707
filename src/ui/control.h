// The base of every control placed in a form. The host calls controls only through the non-virtual wrappers
// below, which apply the common rules: clamped measurement, stored bounds, clipping while drawing, events
// filtered for hidden or disabled controls, and hit testing inside the bounds.
#pragma once

#include <cstdint>

#include "ui/control_event.h"
#include "ui/ui_types.h"
#include "ui/window_defs.h"

namespace ui {

class DrawList;

// What a control is, copied whole from its creator: the five flags first, then the cursor it shows under
// the pointer (a ControlCursor), its place in Tab order and its native text input wishes.
struct ControlDescription {
  bool visible = true;
  bool enabled = true;
  bool focusable = false;
  bool tabStop = true;
  bool acceptsPointer = true;
  uint32_t tabOrder = 0;
  int32_t cursor = 0;
  TextInputSpec textInput;
};

class Control {
 public:
  explicit Control(const ControlDescription& description) : description_(description) {}
  virtual ~Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // The answer of measure() for normalised constraints, clamped into them.
  Size measureClamped(const Constraints& constraints);
  // Stores the bounds (negative sizes as 0) and hands them to arrange().
  void setBounds(const Rect& bounds);
  const Rect& bounds() const { return bounds_; }
  const ControlDescription& description() const { return description_; }
  void setDescription(const ControlDescription& description) { description_ = description; }

  // Draws a visible control of non-zero size inside a clip of its bounds.
  void drawClipped(DrawList& list);
  // A hidden or disabled control gets only pointer_leave, focus_lost and window_deactivated.
  EventResult deliverEvent(const ControlEvent& event);
  // A point in the coordinates of the bounds: inside a visible, pointer-accepting control of non-zero size
  // and accepted by hitTest() at the control-local point.
  bool hitTestAt(double px, double py);
  bool acceptsPointerNow() const { return description_.visible && description_.enabled && description_.acceptsPointer; }
  bool canFocusNow() const { return description_.visible && description_.enabled && description_.focusable; }

 protected:
  virtual Size measure(const Constraints& constraints) = 0;
  virtual void arrange(const Rect& bounds);
  virtual void draw(DrawList& list) = 0;
  virtual EventResult handleEvent(const ControlEvent& event) = 0;
  virtual bool hitTest(double localX, double localY);

 private:
  Rect bounds_;
  ControlDescription description_;
};

}  // namespace ui
