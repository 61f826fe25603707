// A fixed ring of the newest 256 diagnostic lines, each with a category, from which scripts drain them; and
// the font load log that feeds it ("[font-load] ..." lines for slow loads, or every load while timed).
#pragma once

#include <array>
#include <cstdarg>
#include <cstdint>
#include <string_view>

class DiagnosticRing {
 public:
  static constexpr uint32_t kCapacity = 256;
  static constexpr int32_t kCategoryBytes = 64;
  static constexpr int32_t kTextBytes = 1024;

  // Appends a line (a null or empty category becomes "general", a null text ""); when full, the newest
  // line replaces the oldest. Category and text are cut to fit.
  void record(const char* category, const char* text);
  void recordf(const char* category, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void append(const char* category, const char* format, va_list arguments) __attribute__((format(printf, 3, 0)));
  // Removes the oldest line of `category` (any category when null or empty) and copies its text into `out`,
  // cut to `size` - 1 bytes; false when there is none or no room.
  bool take(const char* category, char* out, int32_t size);
  uint32_t count() const { return count_; }

 private:
  struct Entry {
    char category[kCategoryBytes];
    char text[kTextBytes];
  };
  uint32_t indexOf(uint32_t position) const { return (head_ + position) % kCapacity; }

  std::array<Entry, kCapacity> entries_{};
  uint32_t head_ = 0;
  uint32_t count_ = 0;
};

// The process-wide ring of font diagnostics.
DiagnosticRing& diagnosticRing();

// Takes the oldest "font-load" line.
bool takeFontLoadLog(char* out, int32_t size);

// Seconds on the high-resolution clock, the start time that logFontLoad measures from.
double fontClockSeconds();
// Logs "[font-load] ok|fail <ms>ms size=<px> file=<path>" to the ring and standard error when the load took
// at least the threshold or load timing is on; a path that holds a zero byte is shown whole.
void logFontLoad(double startSeconds, float pixelSize, std::string_view path, bool ok);
