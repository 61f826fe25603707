// The fallback trace: "[qz-font]" lines on standard error while QZ_FONT_DEBUG_FALLBACK is set, not empty
// and does not begin with "0" (read once per process).
#pragma once

bool fallbackDebugEnabled();
// Formats one line (cut to 1023 bytes) and writes it when the trace is on.
void fallbackDebugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
