// A font path as messages and log lines show it. A path that holds a zero byte names no file, but the text
// before the zero names another one, which may load: so the path is shown whole, each zero byte written
// \0, with a note that it holds one.
#pragma once

#include <string>
#include <string_view>

// `before`, the path shown whole, then `after`, and the note when the path holds a zero byte.
std::string textNamingFontPath(std::string_view before, std::string_view path, std::string_view after = {});
