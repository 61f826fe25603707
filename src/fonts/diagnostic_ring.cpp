// The diagnostic ring and the font load log. The ring is one fixed array and never allocates; taking a line
// from the middle moves the newer lines down by one, which is cheap at 256 entries.
#include "fonts/diagnostic_ring.h"

#include <SDL3/SDL.h>

#include <cstdio>
#include <cstring>

#include "fonts/font_options.h"
#include "fonts/font_path_text.h"

namespace {

// Copies `text` into `out` of `size` bytes, cut to size - 1 and always NUL-terminated.
void copyCut(char* out, size_t size, const char* text) {
  const size_t length = std::min(std::strlen(text), size - 1);
  std::memcpy(out, text, length);
  out[length] = '\0';
}

}  // namespace

void DiagnosticRing::record(const char* category, const char* text) {
  if (category == nullptr || category[0] == '\0') category = "general";
  if (text == nullptr) text = "";
  uint32_t slot;
  if (count_ == kCapacity) {
    slot = head_;
    head_ = (head_ + 1) % kCapacity;
  } else {
    slot = indexOf(count_);
    ++count_;
  }
  copyCut(entries_[slot].category, kCategoryBytes, category);
  copyCut(entries_[slot].text, kTextBytes, text);
}

void DiagnosticRing::recordf(const char* category, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  append(category, format, arguments);
  va_end(arguments);
}

void DiagnosticRing::append(const char* category, const char* format, va_list arguments) {
  char line[kTextBytes] = {};
  std::vsnprintf(line, sizeof line, format, arguments);
  record(category, line);
}

bool DiagnosticRing::take(const char* category, char* out, int32_t size) {
  if (out == nullptr || size < 1 || count_ == 0) return false;
  uint32_t position = 0;
  if (category != nullptr && category[0] != '\0') {
    while (position < count_ && std::strcmp(entries_[indexOf(position)].category, category) != 0) ++position;
    if (position == count_) return false;
  }
  copyCut(out, static_cast<size_t>(size), entries_[indexOf(position)].text);
  for (uint32_t next = position + 1; next < count_; ++next) entries_[indexOf(next - 1)] = entries_[indexOf(next)];
  --count_;
  if (count_ == 0) head_ = 0;
  return true;
}

DiagnosticRing& diagnosticRing() {
  static DiagnosticRing ring;
  return ring;
}

bool takeFontLoadLog(char* out, int32_t size) { return diagnosticRing().take("font-load", out, size); }

double fontClockSeconds() {
  return static_cast<double>(SDL_GetPerformanceCounter()) / static_cast<double>(SDL_GetPerformanceFrequency());
}

void logFontLoad(double startSeconds, float pixelSize, std::string_view path, bool ok) {
  const double elapsedMs = (fontClockSeconds() - startSeconds) * 1000.0;
  if (!fontLoadTimingOn() && elapsedMs < fontLoadThresholdMs()) return;
  char line[DiagnosticRing::kTextBytes];
  std::snprintf(line, sizeof line, "[font-load] %s %.1fms size=%.2f file=%s", ok ? "ok" : "fail", elapsedMs,
                static_cast<double>(pixelSize), textNamingFontPath("", path).c_str());
  diagnosticRing().record("font-load", line);
  std::fprintf(stderr, "%s\n", line);
}
