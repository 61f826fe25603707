// The refusals of the recursive removal that follow from a path's text alone: a file-system root, and
// anything under one of the system's own top-level directories.
#pragma once

#include <string_view>

#include "host/path_text.h"

// The refusal message for an absolute path (in the Windows style, its long form), or nullptr when the path
// may be removed as far as its text tells.
const char* removalRefusal(std::string_view absolutePath, PathStyle style);
