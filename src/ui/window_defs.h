// Plain records of native windows, shared by the UI host, start-up and the system module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum class WindowModality : uint32_t { Modeless = 0, OwnerModal = 1 };
enum class WindowFrame : uint32_t { Standard = 0, Dialog = 1 };

// What a caller asks of a new window; width and height are logical units.
struct WindowCreateInfo {
  std::string title;
  int32_t width = 0;
  int32_t height = 0;
  std::optional<uint64_t> owner;
  WindowModality modality = WindowModality::Modeless;
  WindowFrame frame = WindowFrame::Standard;
  bool resizable = false;
  bool highPixelDensity = false;
  bool visible = false;
};

// A window's sizes: logical units are pixels divided by the display scale.
struct WindowMetrics {
  int32_t logicalWidth = 0;
  int32_t logicalHeight = 0;
  int32_t pixelWidth = 0;
  int32_t pixelHeight = 0;
  double displayScale = 1.0;
  double pixelDensity = 1.0;

  bool operator==(const WindowMetrics&) const = default;
};

// A window's last known pointer position in logical units; the coordinates outlive a focus loss, which only
// clears `present`.
struct PointerPosition {
  int32_t x = 0;
  int32_t y = 0;
  bool present = false;
};

// The native text input a window (or a control) asks for. type: 0 text, 1 name, 2 email, 3 username,
// 4 password_hidden, 5 password_visible, 6 number, 7 number_password_hidden, 8 number_password_visible.
// capitalization: 0 automatic, 1 none, 2 sentences, 3 words, 4 letters.
struct TextInputSpec {
  uint32_t type = 0;
  uint32_t capitalization = 0;
  bool autocorrect = false;
  bool multiline = false;
  bool present = false;
};

// An IME area with its cursor, an offset from x. A window keeps it in its logical units; SDL receives it in
// window coordinates, and the scripts give the main workspace's in pixels.
struct TextInputArea {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t cursor = 0;

  bool operator==(const TextInputArea&) const = default;
};

// One queued native event of a window. Which fields a type fills is up to the code that builds it; the rest
// stay zero, false or empty.
struct WindowEvent {
  std::string type;  // "mousemove", "keydown", "resize", ..., or "queue_overflow"
  std::string text;  // key name, button name, or entered or composed text
  double x = 0.0;
  double y = 0.0;
  double dx = 0.0;
  double dy = 0.0;
  int32_t clicks = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t textStart = 0;
  int32_t textLength = 0;
  bool control = false;
  bool shift = false;
  bool alt = false;
  bool system = false;
  bool repeat = false;

  bool operator==(const WindowEvent&) const = default;
};
