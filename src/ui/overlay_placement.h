// Where a popup goes beside its anchor rectangle in a window of the given logical size: to the right
// (position 1), flipped to the left only when it fits there, or below, at least as wide as the anchor,
// above when it fits only there, else on the larger side shrunk to it; always inside the window.
#pragma once

#include <cstdint>

#include "ui/ui_types.h"

ui::Rect placeAnchoredOverlay(ui::Size window, const ui::Rect& anchor, ui::Size wanted, int64_t gap, uint32_t position);
