// The Lua binding of fonts: the "Font" userdata holds one std::shared_ptr<RenderFont>. Releasing a font
// (release, collection) hands it to every window's render cache, which keeps it alive until the frame in
// progress ends; a group takes its members over, emptying their Font objects only once it exists.
#include "ui/lua/font_lua.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "fonts/font_path_text.h"
#include "fonts/render_font.h"
#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "render/render_cache.h"
#include "ui/application.h"
#include "ui/lua/font_math_lua.h"
#include "ui/lua/font_settings_lua.h"
#include "ui/lua/render_lua_support.h"
#include "ui/window_registry.h"

namespace {

constexpr const char kFontType[] = "Font";
constexpr const char kFontEmptied[] = "font already transferred or freed";
constexpr uint32_t kLastCodepoint = 0x10FFFF;

using FontSlot = std::shared_ptr<RenderFont>;

FontSlot& checkFontSlot(lua_State* L, int index) {
  return *static_cast<FontSlot*>(luaL_checkudata(L, index, kFontType));
}

// Pushes a new, empty Font.
FontSlot& newFont(lua_State* L) {
  auto* slot = static_cast<FontSlot*>(lua_newuserdatauv(L, sizeof(FontSlot), 1));
  new (slot) FontSlot();
  luaL_setmetatable(L, kFontType);
  return *slot;
}

void releaseSlot(FontSlot& slot) {
  const FontSlot font = std::move(slot);
  // During process shutdown the application (and every window) may already be gone.
  if (font && currentApplication() != nullptr) currentWindowRegistry().forgetFont(font);
}

// font:__gc() and font:release() -- an emptied Font is accepted and left alone
int fontRelease(lua_State* L) {
  releaseSlot(checkFontSlot(L, 1));
  return 0;
}

// font.load(path, size [, {embolden = n}]) -> Font
int fontLoad(lua_State* L) {
  size_t length = 0;
  const char* path = luaL_checklstring(L, 1, &length);
  const float size = checkPositiveFloat(L, 2);
  float embolden = 0.0f;
  if (!lua_isnoneornil(L, 3)) {
    luaL_checktype(L, 3, LUA_TTABLE);
    lua_getfield(L, 3, "embolden");
    if (!lua_isnil(L, -1)) embolden = checkEntryFloatNumber(L, TableEntry::ofField(3, "embolden"));
    lua_pop(L, 1);
  }
  FontSlot& slot = newFont(L);
  slot = guardMemory(L, "load font", [&] { return RenderFont::load(std::string_view(path, length), size, embolden); });
  if (!slot) {
    const std::string message = guardMemory(L, "load font", [&] {
      return textNamingFontPath("failed to load font: ", {path, length});
    });
    luaL_error(L, "%s", message.c_str());
  }
  return 1;
}

// font.group({font, ...}) -> Font of the group; the member Fonts are emptied
int fontGroup(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  const lua_Unsigned count = lua_rawlen(L, 1);
  luaL_argcheck(L, count >= 1, 1, "expected non-empty font table");
  std::vector<FontSlot*> sources;
  std::vector<FontSlot> members;
  std::unordered_set<const void*> seen;
  guardMemory(L, "build font group", [&] {
    sources.reserve(count);
    members.reserve(count);
    seen.reserve(count);
  });
  for (lua_Unsigned i = 1; i <= count; ++i) {
    lua_rawgeti(L, 1, static_cast<lua_Integer>(i));
    auto* source = static_cast<FontSlot*>(luaL_testudata(L, -1, kFontType));
    if (source == nullptr || !*source) luaL_error(L, "font at index %d is invalid, transferred, or freed", int(i));
    if (!seen.insert(source).second) luaL_error(L, "font at index %d is repeated", int(i));
    sources.push_back(source);
    members.push_back(*source);
    lua_pop(L, 1);
  }
  FontSlot& slot = newFont(L);
  slot = guardMemory(L, "build font group", [&] { return RenderFont::group(std::move(members)); });
  if (!slot) luaL_error(L, "failed to build font group");
  for (FontSlot* source : sources) source->reset();
  return 1;
}

// font.group_lazy(primary, {path, ...}, size) -> Font of a group whose fallbacks load on first need
int fontGroupLazy(lua_State* L) {
  FontSlot& primary = checkFontSlot(L, 1);
  luaL_argcheck(L, primary != nullptr, 1, "primary font already transferred or freed");
  luaL_checktype(L, 2, LUA_TTABLE);
  const float size = checkPositiveFloat(L, 3);
  const lua_Unsigned count = lua_rawlen(L, 2);
  luaL_argcheck(L, count + 1 <= kMaxFontGroupSlots, 2, "too many fallback font paths");
  for (lua_Unsigned i = 1; i <= count; ++i) {
    if (lua_rawgeti(L, 2, static_cast<lua_Integer>(i)) != LUA_TSTRING) {
      raiseEntryTypeError(L, TableEntry::ofElement(2, static_cast<long long>(i)), LUA_TSTRING);
    }
    lua_pop(L, 1);
  }
  FontSlot& slot = newFont(L);
  slot = guardMemory(L, "build lazy font group", [&] {
    std::vector<std::string_view> paths;  // the strings stay in the table, which stays on the stack
    paths.reserve(count);
    for (lua_Unsigned i = 1; i <= count; ++i) {
      lua_rawgeti(L, 2, static_cast<lua_Integer>(i));
      size_t length = 0;
      const char* path = lua_tolstring(L, -1, &length);
      paths.emplace_back(path, length);
      lua_pop(L, 1);
    }
    return RenderFont::groupLazy(primary, paths, size);
  });
  if (!slot) luaL_error(L, "failed to build lazy font group");
  primary.reset();
  return 1;
}

// font:set_tab_size(pixels)
int fontSetTabSize(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  font->setTabSize(checkPositiveInteger(L, 2));
  return 0;
}

// font:set_antialias(flag)
int fontSetAntialias(lua_State* L) {
  checkFont(L, 1)->setAntialias(lua_toboolean(L, 2));
  return 0;
}

// font:get_antialias() -> boolean
int fontGetAntialias(lua_State* L) {
  lua_pushboolean(L, checkFont(L, 1)->antialias());
  return 1;
}

// font:set_line_gap(flag)
int fontSetLineGap(lua_State* L) {
  checkFont(L, 1)->setLineGap(lua_toboolean(L, 2));
  return 0;
}

// font:get_line_gap() -> boolean
int fontGetLineGap(lua_State* L) {
  lua_pushboolean(L, checkFont(L, 1)->lineGap());
  return 1;
}

// font:get_width(text) -> width, through the render target's text cache
int fontGetWidth(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  const char* text = luaL_checkstring(L, 2);
  RenderCache& cache = checkRenderTargetCache(L);
  lua_pushnumber(L, guardMemory(L, "measure text", [&] { return cache.textWidth(font, text, 0); }));
  return 1;
}

// font:get_text_bounds(text) -> {x, y, width, height} or nil when nothing is inked
int fontGetTextBounds(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  const char* text = luaL_checkstring(L, 2);
  const TextBounds bounds = guardMemory(L, "measure text", [&] { return font->textBounds(text); });
  if (!bounds.valid) {
    lua_pushnil(L);
    return 1;
  }
  lua_createtable(L, 0, 4);
  const std::pair<const char*, int32_t> fields[] = {
      {"x", bounds.x}, {"y", bounds.y}, {"width", bounds.width}, {"height", bounds.height}};
  for (const auto& [key, value] : fields) {
    lua_pushinteger(L, value);
    lua_setfield(L, -2, key);
  }
  return 1;
}

// font:get_text_x_offset(text, column) -> x where the 1-based byte column begins
int fontGetTextXOffset(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  const char* text = luaL_checkstring(L, 2);
  const int32_t column = checkCppInteger(L, 3);
  RenderCache& cache = checkRenderTargetCache(L);
  lua_pushnumber(L, guardMemory(L, "measure text", [&] { return cache.textXOffset(font, text, column); }));
  return 1;
}

// font:get_x_offset_col(text, x) -> 1-based byte column at x
int fontGetXOffsetColumn(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  const char* text = luaL_checkstring(L, 2);
  const int32_t x = checkIntegerNumber(L, 3);
  RenderCache& cache = checkRenderTargetCache(L);
  lua_pushinteger(L, guardMemory(L, "measure text", [&] { return cache.columnAtX(font, text, x); }));
  return 1;
}

// font:get_text_clusters(text) -> array of {start_col, end_col, start_x, end_x}
int fontGetTextClusters(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  const char* text = luaL_checkstring(L, 2);
  RenderCache& cache = checkRenderTargetCache(L);
  const std::vector<TextCluster> clusters =
      guardMemory(L, "measure text", [&] { return cache.textClusters(font, text); });
  pushTextClusters(L, clusters);
  return 1;
}

// font:get_height() -> line height in pixels
int fontGetHeight(lua_State* L) {
  lua_pushnumber(L, checkFont(L, 1)->height());
  return 1;
}

// font:get_baseline() -> baseline in pixels from the line top
int fontGetBaseline(lua_State* L) {
  lua_pushnumber(L, checkFont(L, 1)->baseline());
  return 1;
}

// font:get_info() -> {family_name, style_name, version, outline_format, glyph_count, face_count,
//                      face_index, scalable, color, is_group}
int fontGetInfo(lua_State* L) {
  const RenderFont* font = checkFont(L, 1);
  const FontInfo& info = font->info();
  lua_createtable(L, 0, 10);
  const std::pair<const char*, const std::string*> texts[] = {{"family_name", &info.familyName},
                                                              {"style_name", &info.styleName},
                                                              {"version", &info.version},
                                                              {"outline_format", &info.outlineFormat}};
  for (const auto& [key, value] : texts) {
    lua_pushlstring(L, value->data(), value->size());
    lua_setfield(L, -2, key);
  }
  const std::pair<const char*, int64_t> counts[] = {
      {"glyph_count", info.glyphCount}, {"face_count", info.faceCount}, {"face_index", info.faceIndex}};
  for (const auto& [key, value] : counts) {
    lua_pushinteger(L, value);
    lua_setfield(L, -2, key);
  }
  const std::pair<const char*, bool> flags[] = {
      {"scalable", info.scalable != 0}, {"color", info.color != 0}, {"is_group", font->isGroup()}};
  for (const auto& [key, value] : flags) {
    lua_pushboolean(L, value);
    lua_setfield(L, -2, key);
  }
  return 1;
}

// font:has_codepoint(codepoint) -> boolean; a lazy group may load members to answer
int fontHasCodepoint(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  const auto codepoint = static_cast<uint32_t>(checkNonNegativeInteger(L, 2));
  luaL_argcheck(L, codepoint <= kLastCodepoint, 2, "codepoint is outside Unicode");
  const bool found = guardMemory(L, "load fallback font", [&] {
    RenderFont* face = font->resolveFallback(codepoint);
    return face != nullptr && face->hasCodepoint(codepoint);
  });
  lua_pushboolean(L, found);
  return 1;
}

// font:get_memory_bytes() -> estimated bytes of the font and its members
int fontGetMemoryBytes(lua_State* L) {
  const RenderFont* font = checkFont(L, 1);
  lua_pushinteger(
      L, static_cast<lua_Integer>(guardMemory(L, "measure font memory", [&] { return fontMemoryBytes(font); })));
  return 1;
}

// font:get_fallback_stats() -> {total, loaded, pending, attempts, successes, is_group,
//                               resolution_cache_hits, resolution_cache_misses}
int fontGetFallbackStats(lua_State* L) {
  const RenderFont* font = checkFont(L, 1);
  const FontFallbackStats stats = font->fallbackStats();
  uint32_t hits = 0, misses = 0;
  font->fallbackCacheStats(&hits, &misses);
  lua_createtable(L, 0, 8);
  const std::pair<const char*, uint32_t> numbers[] = {{"total", stats.total},
                                                      {"loaded", stats.loaded},
                                                      {"pending", stats.withPath},
                                                      {"attempts", stats.attempts},
                                                      {"successes", stats.successes}};
  for (const auto& [key, value] : numbers) {
    lua_pushnumber(L, value);
    lua_setfield(L, -2, key);
  }
  lua_pushboolean(L, stats.total >= 1);
  lua_setfield(L, -2, "is_group");
  lua_pushnumber(L, hits);
  lua_setfield(L, -2, "resolution_cache_hits");
  lua_pushnumber(L, misses);
  lua_setfield(L, -2, "resolution_cache_misses");
  return 1;
}

const luaL_Reg kFontFunctions[] = {
    {"__gc", fontRelease},
    {"load", fontLoad},
    {"group", fontGroup},
    {"group_lazy", fontGroupLazy},
    {"set_tab_size", fontSetTabSize},
    {"set_antialias", fontSetAntialias},
    {"get_antialias", fontGetAntialias},
    {"set_line_gap", fontSetLineGap},
    {"get_line_gap", fontGetLineGap},
    {"get_width", fontGetWidth},
    {"get_text_bounds", fontGetTextBounds},
    {"get_text_x_offset", fontGetTextXOffset},
    {"get_x_offset_col", fontGetXOffsetColumn},
    {"get_text_clusters", fontGetTextClusters},
    {"get_height", fontGetHeight},
    {"get_baseline", fontGetBaseline},
    {"get_info", fontGetInfo},
    {"get_math_metrics", fontGetMathMetrics},
    {"get_math_glyph_italics_correction", fontGetMathGlyphItalicsCorrection},
    {"get_math_glyph_kerning", fontGetMathGlyphKerning},
    {"get_math_glyph_top_accent_attachment", fontGetMathGlyphTopAccentAttachment},
    {"has_codepoint", fontHasCodepoint},
    {"get_math_glyph_shape", fontGetMathGlyphShape},
    {"compose_math_mask", fontComposeMathMask},
    {"get_memory_bytes", fontGetMemoryBytes},
    {"get_fallback_stats", fontGetFallbackStats},
    {"set_load_timing", fontSetLoadTiming},
    {"allow_font_bitmap_glyphs", fontAllowBitmapGlyphs},
    {"allow_font_svg_glyphs", fontAllowSvgGlyphs},
    {"set_quality", fontSetQuality},
    {"get_perf_stats", fontGetPerfStats},
    {"release", fontRelease},
    {"drain_load_logs", fontDrainLoadLogs},
    {nullptr, nullptr},
};

}  // namespace

void registerFontMetatable(lua_State* L) {
  luaL_newmetatable(L, kFontType);
  luaL_setfuncs(L, kFontFunctions, 0);
  lua_pushvalue(L, -1);
  lua_setfield(L, -2, "__index");
}

RenderFont* checkFont(lua_State* L, int index) {
  FontSlot& slot = checkFontSlot(L, index);
  if (!slot) luaL_argerror(L, index, kFontEmptied);
  return slot.get();
}

RenderFont* checkFontWith(lua_State* L, int index, int metatable) {
  void* data = lua_touserdata(L, index);
  if (data != nullptr && lua_getmetatable(L, index)) {
    const bool isFont = lua_rawequal(L, -1, metatable);
    lua_pop(L, 1);
    if (isFont) {
      FontSlot& slot = *static_cast<FontSlot*>(data);
      if (!slot) luaL_argerror(L, index, kFontEmptied);
      return slot.get();
    }
  }
  return checkFont(L, index);
}
