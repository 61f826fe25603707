// The process-wide font settings and counters.
#include "fonts/font_options.h"

#include <freetype/freetype.h>

#include <algorithm>
#include <atomic>

namespace {

struct FontSettings {
  FontQuality quality;
  bool bitmapGlyphsAllowed = false;
  bool svgGlyphsAllowed = false;
  bool loadTimingOn = false;
  double loadThresholdMs = 10.0;
};

FontSettings& fontSettings() {
  static FontSettings settings;
  return settings;
}

std::array<std::atomic<uint64_t>, kFontCounterCount>& fontCounters() {
  static std::array<std::atomic<uint64_t>, kFontCounterCount> counters{};
  return counters;
}

}  // namespace

void setFontQuality(FontQuality& quality) {
  quality.alphaGamma = std::clamp(quality.alphaGamma, 0.25f, 4.0f);
  quality.alphaContrast = std::clamp(quality.alphaContrast, -1.0f, 1.0f);
  quality.embolden = std::clamp(quality.embolden, 0.0f, 2.0f);
  fontSettings().quality = quality;
}

FontQuality currentFontQuality() { return fontSettings().quality; }

int32_t ftLoadFlagsForHinting(uint32_t hinting) {
  switch (hinting) {
    case kHintingLight:
      return FT_LOAD_TARGET_LIGHT;
    case kHintingNone:
      return FT_LOAD_NO_HINTING;
    case kHintingAuto:
      return FT_LOAD_FORCE_AUTOHINT;
    default:
      return FT_LOAD_DEFAULT;
  }
}

int32_t ftLoadFlagsForHinting() { return ftLoadFlagsForHinting(fontSettings().quality.hinting); }

void setAllowFontBitmapGlyphs(bool allowed) { fontSettings().bitmapGlyphsAllowed = allowed; }
void setAllowFontSvgGlyphs(bool allowed) { fontSettings().svgGlyphsAllowed = allowed; }
bool fontBitmapGlyphsAllowed() { return fontSettings().bitmapGlyphsAllowed; }
bool fontSvgGlyphsAllowed() { return fontSettings().svgGlyphsAllowed; }

void setFontLoadTiming(bool on, double thresholdMs) {
  fontSettings().loadTimingOn = on;
  fontSettings().loadThresholdMs = thresholdMs < 0.0 ? 0.0 : thresholdMs;
}

bool fontLoadTimingOn() { return fontSettings().loadTimingOn; }
double fontLoadThresholdMs() { return fontSettings().loadThresholdMs; }

void countFontEvent(FontCounter counter) {
  fontCounters()[static_cast<size_t>(counter)].fetch_add(1, std::memory_order_relaxed);
}

std::array<uint64_t, kFontCounterCount> fontPerfCounters(bool reset) {
  std::array<uint64_t, kFontCounterCount> values{};
  for (size_t i = 0; i < kFontCounterCount; ++i) {
    values[i] = reset ? fontCounters()[i].exchange(0) : fontCounters()[i].load();
  }
  return values;
}
