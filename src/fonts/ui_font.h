// A UI font description: what a control asks to draw text with, in logical units. The UI layer never holds
// loaded fonts; each window's text context loads a description once at its display scale. A description is
// identified by its object, not its contents: two equal descriptions are two fonts to every cache.
#pragma once

#include <string>
#include <vector>

namespace ui {

struct Font {
  std::string path;                    // font file of the primary face
  std::vector<std::string> fallbacks;  // fallback files, tried in order
  float size = 14.0f;                  // logical units
  float embolden = 0.0f;
  bool lineGap = true;  // the loaded font's line height includes the line gap
  bool antialias = true;
};

}  // namespace ui
