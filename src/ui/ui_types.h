// Plain records of the retained UI: form and node handles, control references, rectangles and layout
// constraints. Shared by the UI host, its Lua bindings and the tests; includes nothing heavy.
#pragma once

#include <cstdint>
#include <optional>

// The unbounded maximum of a layout length, and the largest DIP length.
inline constexpr int32_t kUnboundedLength = 0x7fffffff;

namespace ui {

// A form named by {slot index counted from 1, slot generation}; {0, 0} is the empty handle.
struct FormHandle {
  uint64_t index = 0;
  uint64_t generation = 0;

  bool operator==(const FormHandle&) const = default;
};

// Rectangles, sizes and points in device-independent pixels (DIP).
struct Rect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;

  bool operator==(const Rect&) const = default;
};

struct Size {
  int32_t width = 0;
  int32_t height = 0;

  bool operator==(const Size&) const = default;
};

// What a measure pass allows: consumers normalise minimum = max(minimum, 0), maximum = max(maximum, minimum).
struct Constraints {
  int32_t minWidth = 0;
  int32_t minHeight = 0;
  int32_t maxWidth = kUnboundedLength;
  int32_t maxHeight = kUnboundedLength;
};

// Whether x <= px < x + width and y <= py < y + height, compared in f64.
inline bool containsPoint(const Rect& rect, double px, double py) {
  return px >= rect.x && py >= rect.y && px < double(rect.x) + rect.width && py < double(rect.y) + rect.height;
}

}  // namespace ui

// A layout, pane or control inside its form: {form model id, 1-based slot index, slot generation}. The kind
// is not recorded; the operation that takes a handle says which table it names. All zero is empty.
struct NodeHandle {
  uint64_t form = 0;
  uint64_t index = 0;
  uint64_t generation = 0;

  bool operator==(const NodeHandle&) const = default;
};

// A control named across forms: its form's handle and its node handle. Set only when all five words are
// non-zero.
struct ControlRef {
  ui::FormHandle form;
  NodeHandle control;

  bool isSet() const {
    return form.index != 0 && form.generation != 0 && control.form != 0 && control.index != 0 &&
           control.generation != 0;
  }
  bool operator==(const ControlRef&) const = default;
};

// The input records of one window: keyboard focus, the control under the pointer, the control holding the
// pointer capture and the button that started it, the last pointer position in window DIPs, and whether the
// window has input focus at the platform level.
struct WindowInputState {
  std::optional<ControlRef> focus;
  std::optional<ControlRef> hover;
  std::optional<ControlRef> capture;
  int32_t captureButton = 0;
  double pointerX = 0.0;
  double pointerY = 0.0;
  bool active = false;
};
