// Font paths in messages.
#include "fonts/font_path_text.h"

std::string textNamingFontPath(std::string_view before, std::string_view path, std::string_view after) {
  std::string text(before);
  for (const char c : path) {
    if (c == '\0') {
      text += "\\0";
    } else {
      text += c;
    }
  }
  text += after;
  if (path.find('\0') != std::string_view::npos) text += " (the path holds a zero byte)";
  return text;
}
