// Process-wide font settings: the glyph quality options, the bitmap and SVG glyph permissions, the load
// timing switch and the ten font cache counters. Settings are main-thread state; the counters are atomic
// because the SVG glyph workers count too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// How glyphs are hinted, rendered and shaded. The render mode values equal FreeType's render modes.
struct FontQuality {
  uint32_t hinting = 0;     // 0 default, 1 light, 2 normal, 3 none, 4 auto
  uint32_t renderMode = 0;  // 0 normal, 1 light, 2 mono
  float alphaGamma = 1.0f;
  float alphaContrast = 0.0f;
  float embolden = 0.0f;
};

inline constexpr uint32_t kHintingDefault = 0, kHintingLight = 1, kHintingNormal = 2, kHintingNone = 3,
                          kHintingAuto = 4;
inline constexpr uint32_t kRenderModeNormal = 0, kRenderModeLight = 1, kRenderModeMono = 2;

// Clamps gamma to 0.25..4, contrast to -1..1 and embolden to 0..2 (in place), then stores the value.
void setFontQuality(FontQuality& quality);
FontQuality currentFontQuality();
// FreeType load flags of the current hinting mode.
int32_t ftLoadFlagsForHinting();
int32_t ftLoadFlagsForHinting(uint32_t hinting);

// Fonts copy both permissions when they load; both are off at start.
void setAllowFontBitmapGlyphs(bool allowed);
void setAllowFontSvgGlyphs(bool allowed);
bool fontBitmapGlyphsAllowed();
bool fontSvgGlyphsAllowed();

// Every load that takes at least the threshold is logged, and every load while timing is on.
void setFontLoadTiming(bool on, double thresholdMs);
bool fontLoadTimingOn();
double fontLoadThresholdMs();

enum class FontCounter : uint8_t {
  ResolveForCodepointCalls,
  FallbackResolutionCacheHits,
  FallbackResolutionCacheMisses,
  GlyphMetricCacheHits,
  GlyphMetricLoads,
  GlyphBitmapRequests,
  GlyphBitmapCacheHits,
  GlyphBitmapLoads,
  MetricLoadGlyphCalls,
  BitmapLoadGlyphCalls,
};
inline constexpr size_t kFontCounterCount = 10;
// The counters' keys as scripts see them, in counter order.
inline constexpr std::array<const char*, kFontCounterCount> kFontCounterKeys = {
    "resolve_for_codepoint_calls",
    "fallback_resolution_cache_hits",
    "fallback_resolution_cache_misses",
    "glyph_metric_cache_hits",
    "glyph_metric_loads",
    "glyph_bitmap_requests",
    "glyph_bitmap_cache_hits",
    "glyph_bitmap_loads",
    "metric_load_glyph_calls",
    "bitmap_load_glyph_calls",
};

void countFontEvent(FontCounter counter);
// Reads the ten counters; with `reset` each is exchanged with 0 in one atomic step, so no count is lost.
std::array<uint64_t, kFontCounterCount> fontPerfCounters(bool reset);
