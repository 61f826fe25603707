// The text input area of the main workspace: the scripts give it in pixels, the window registry takes it in
// the window's logical units.
#pragma once

#include <cstdint>
#include <optional>

#include "ui/window_defs.h"

// A rectangle in pixels of the main workspace with the caret as an offset from its left edge.
struct WorkspacePixelArea {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t cursor = 0;
};

// Clips the area to the workspace's pixel size and divides it by the display scale (halves away from
// zero); none when nothing of it lies inside the workspace.
std::optional<TextInputArea> workspaceTextInputArea(const WorkspacePixelArea& pixels, const WindowMetrics& metrics);
