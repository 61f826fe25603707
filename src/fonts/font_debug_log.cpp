// The fallback trace.
#include "fonts/font_debug_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

bool fallbackDebugEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("QZ_FONT_DEBUG_FALLBACK");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
  }();
  return enabled;
}

void fallbackDebugLog(const char* format, ...) {
  if (!fallbackDebugEnabled()) return;
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "%s\n", line);
}
