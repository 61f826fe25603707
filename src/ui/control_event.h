// What controls and forms receive (ControlEvent) and what a control answers (EventResult).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ui/window_defs.h"

enum class ControlEventKind : int32_t {
  PointerEnter = 0,
  PointerLeave = 1,
  PointerMove = 2,
  PointerDown = 3,
  PointerUp = 4,
  Wheel = 5,
  KeyDown = 6,
  KeyUp = 7,
  TextInput = 8,
  TextEditing = 9,
  FocusGained = 10,
  FocusLost = 11,
  WindowActivated = 12,
  WindowDeactivated = 13,
};

// Button codes: 0 none, 1 left, 2 middle, 3 right, 4 x1, 5 x2, 6 other.
inline constexpr int32_t kButtonNone = 0;
inline constexpr int32_t kButtonLeft = 1;

// One event for a control or a form. x and y are relative to the receiving control's bounds, filled at
// delivery; events made without a window event carry only their kind (and a position for pointer_enter and
// pointer_leave).
struct ControlEvent {
  ControlEventKind kind = ControlEventKind::PointerEnter;
  int32_t button = kButtonNone;
  double windowX = 0.0;
  double windowY = 0.0;
  double x = 0.0;
  double y = 0.0;
  double dx = 0.0;
  double dy = 0.0;
  std::string key;
  std::string text;
  int32_t textStart = 0;
  int32_t textLength = 0;
  bool control = false;
  bool shift = false;
  bool alt = false;
  bool system = false;
  int32_t clicks = 0;
  bool repeat = false;
};

enum class FocusAction : int32_t { Unchanged = 0, Take = 1, GiveUp = 2 };
enum class CaptureAction : int32_t { Unchanged = 0, Acquire = 1, Release = 2 };

// A control's answer; the empty result is all zero. cursor is a ControlCursor, applied when hasCursor.
struct EventResult {
  bool handled = false;
  bool redraw = false;
  FocusAction focus = FocusAction::Unchanged;
  CaptureAction capture = CaptureAction::Unchanged;
  int32_t cursor = 0;
  bool hasCursor = false;
};

// The control event of a window event, without a receiver yet; none for the types that routing ignores.
// The button comes from the event's text for every kind ("left" 1 ... "x2" 5, other text 6, none 0).
std::optional<ControlEvent> classifyWindowEvent(const WindowEvent& event);
