// The text input area of the main workspace: the scripts give it in pixels, the window registry takes it in
// the window's logical units.
#pragma once

#include <optional>

#include "ui/window_defs.h"

// Takes an area in pixels of the main workspace (the caret an offset from its left edge), clips it to the
// workspace's pixel size and divides it by the display scale (halves away from zero); none when nothing of
// it lies inside the workspace.
std::optional<TextInputArea> workspaceTextInputArea(const TextInputArea& pixels, const WindowMetrics& metrics);
