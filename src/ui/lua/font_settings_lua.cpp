// renderer.font.set_quality, set_load_timing, allow_font_bitmap_glyphs, allow_font_svg_glyphs,
// get_perf_stats and drain_load_logs. Every argument is read before any setting changes.
#include "ui/lua/font_settings_lua.h"

#include <cstdint>
#include <string_view>

#include "fonts/diagnostic_ring.h"
#include "fonts/font_options.h"
#include "host/lua_api.h"
#include "host/lua_checks.h"

namespace {

constexpr double kDefaultLoadThresholdMs = 10.0;

// The string field `key` of the options table as one of names (its index), or `fallback` when absent.
uint32_t readNamedOption(lua_State* L, const char* key, const char* const* names, uint32_t fallback,
                         const char* unknown) {
  lua_getfield(L, 1, key);
  uint32_t value = fallback;
  if (!lua_isnil(L, -1)) {
    const std::string_view name = checkEntryText(L, TableEntry::ofField(1, key));
    value = UINT32_MAX;
    for (uint32_t i = 0; names[i] != nullptr; ++i) {
      if (name == names[i]) value = i;
    }
    if (value == UINT32_MAX) luaL_argerror(L, 1, unknown);
  }
  lua_pop(L, 1);
  return value;
}

float readNumberOption(lua_State* L, const char* key, float fallback) {
  lua_getfield(L, 1, key);
  const float value = lua_isnil(L, -1) ? fallback : checkEntryFloatNumber(L, TableEntry::ofField(1, key));
  lua_pop(L, 1);
  return value;
}

}  // namespace

// font.set_quality({hinting, render_mode, alpha_gamma, alpha_contrast, embolden}) -- absent keys reset
int fontSetQuality(lua_State* L) {
  static const char* const kHintingNames[] = {"default", "light", "normal", "none", "auto", nullptr};
  static const char* const kRenderModeNames[] = {"normal", "light", "mono", nullptr};
  luaL_checktype(L, 1, LUA_TTABLE);
  FontQuality quality;
  quality.hinting = readNamedOption(L, "hinting", kHintingNames, kHintingDefault, "unknown font hinting mode");
  quality.renderMode =
      readNamedOption(L, "render_mode", kRenderModeNames, kRenderModeNormal, "unknown font render mode");
  quality.alphaGamma = readNumberOption(L, "alpha_gamma", quality.alphaGamma);
  quality.alphaContrast = readNumberOption(L, "alpha_contrast", quality.alphaContrast);
  quality.embolden = readNumberOption(L, "embolden", quality.embolden);
  setFontQuality(quality);
  return 0;
}

// font.set_load_timing(on [, threshold_ms = 10])
int fontSetLoadTiming(lua_State* L) {
  const bool on = lua_toboolean(L, 1);
  const double threshold = lua_isnoneornil(L, 2) ? kDefaultLoadThresholdMs : checkNonNegativeNumber(L, 2);
  setFontLoadTiming(on, threshold);
  return 0;
}

// font.allow_font_bitmap_glyphs(flag) -- fonts loaded afterwards take it
int fontAllowBitmapGlyphs(lua_State* L) {
  setAllowFontBitmapGlyphs(lua_toboolean(L, 1));
  return 0;
}

// font.allow_font_svg_glyphs(flag) -- fonts loaded afterwards take it
int fontAllowSvgGlyphs(lua_State* L) {
  setAllowFontSvgGlyphs(lua_toboolean(L, 1));
  return 0;
}

// font.get_perf_stats([reset]) -> table of the ten font cache counters
int fontGetPerfStats(lua_State* L) {
  const auto counters = fontPerfCounters(lua_toboolean(L, 1));
  lua_createtable(L, 0, static_cast<int>(kFontCounterCount));
  for (size_t i = 0; i < kFontCounterCount; ++i) {
    lua_pushinteger(L, static_cast<lua_Integer>(counters[i]));
    lua_setfield(L, -2, kFontCounterKeys[i]);
  }
  return 1;
}

// font.drain_load_logs() -> array of "[font-load] ..." lines, oldest first
int fontDrainLoadLogs(lua_State* L) {
  lua_newtable(L);
  char line[DiagnosticRing::kTextBytes];
  for (lua_Integer index = 1; takeFontLoadLog(line, sizeof line); ++index) {
    lua_pushstring(L, line);
    lua_rawseti(L, -2, index);
  }
  return 1;
}
