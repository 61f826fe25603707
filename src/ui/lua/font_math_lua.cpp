// The OpenType MATH methods of the Font type. Queries never fail beyond their argument checks: a face
// without MATH data answers nil (metrics), 0 or empty arrays. A formula mask comes back as a new Canvas of
// white pixels whose alpha is the coverage, with its placement and ink box.
#include "ui/lua/font_math_lua.h"

#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "fonts/render_font.h"
#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "ui/lua/canvas_lua.h"
#include "ui/lua/font_lua.h"
#include "ui/lua/render_lua_support.h"

namespace {

// Lua keys of MathConstants::values, in order.
constexpr const char* kMathConstantKeys[kMathConstantCount] = {
    "script_scale",
    "script_script_scale",
    "axis_height",
    "subscript_shift_down",
    "superscript_shift_up",
    "superscript_bottom_min",
    "upper_limit_gap",
    "upper_limit_baseline_rise",
    "lower_limit_gap",
    "lower_limit_baseline_drop",
    "fraction_numerator_gap",
    "fraction_denominator_gap",
    "fraction_rule_thickness",
    "radical_vertical_gap",
    "radical_display_style_vertical_gap",
    "radical_rule_thickness",
    "radical_extra_ascender",
    "radical_kern_before_degree",
    "radical_kern_after_degree",
    "radical_degree_raise",
};

constexpr lua_Unsigned kMaxMaskComponents = 4096;
constexpr int32_t kMaxSupersample = 8;
constexpr int32_t kDefaultSupersample = 4;
constexpr uint64_t kSupersampledByteLimit = 67108864;
constexpr uint64_t kMaskPixelLimit = 16777216;

void setNumberField(lua_State* L, const char* key, double value) {
  lua_pushnumber(L, value);
  lua_setfield(L, -2, key);
}

void setIntegerField(lua_State* L, const char* key, lua_Integer value) {
  lua_pushinteger(L, value);
  lua_setfield(L, -2, key);
}

void setPlacementFields(lua_State* L, const MathGlyphPlacement& placement) {
  setIntegerField(L, "glyph_id", placement.glyphId);
  setNumberField(L, "width", placement.width);
  setIntegerField(L, "draw_offset_x", placement.drawOffsetX);
  setIntegerField(L, "draw_offset_y", placement.drawOffsetY);
  setIntegerField(L, "bitmap_width", placement.bitmapWidth);
  setIntegerField(L, "bitmap_height", placement.bitmapHeight);
}

// A base or variant glyph table.
void pushGlyphTable(lua_State* L, const MathGlyphPlacement& placement, float advance) {
  lua_createtable(L, 0, 8);
  setPlacementFields(L, placement);
  setNumberField(L, "advance", advance);
  setNumberField(L, "outline_top", placement.outlineTop);
}

void pushPartTable(lua_State* L, const MathGlyphPart& part) {
  lua_createtable(L, 0, 10);
  setPlacementFields(L, part.placement);
  setNumberField(L, "start_connector", part.startConnector);
  setNumberField(L, "end_connector", part.endConnector);
  setNumberField(L, "full_advance", part.fullAdvance);
  lua_pushboolean(L, part.extender);
  lua_setfield(L, -2, "extender");
}

// The raw field `key` of the component at `table`, a number: one of another type, or out of the float
// range, raises the argument error that names the component and the field.
float elementFloat(lua_State* L, int table, const TableEntry& component, const char* key) {
  lua_pushstring(L, key);
  lua_rawget(L, table);
  const float value = checkEntryFloatNumber(L, component.withElementField(key));
  lua_pop(L, 1);
  return value;
}

// Reads and checks mask element `index`, a component of argument 2.
MathMaskComponent readMaskElement(lua_State* L, lua_Integer index) {
  const TableEntry component = TableEntry::ofElement(2, index);
  if (lua_rawgeti(L, 2, index) != LUA_TTABLE) raiseEntryTypeError(L, component, LUA_TTABLE);
  const int element = lua_gettop(L);
  MathMaskComponent read;
  read.x = elementFloat(L, element, component, "x");
  read.y = elementFloat(L, element, component, "y");
  lua_pushstring(L, "glyph_id");
  if (lua_rawget(L, element) != LUA_TNIL) {
    read.glyphId = static_cast<uint32_t>(checkEntryPositiveInteger(L, component.withElementField("glyph_id")));
    read.isGlyph = true;
  } else {
    read.width = elementFloat(L, element, component, "width");
    read.height = elementFloat(L, element, component, "height");
    luaL_argcheck(L, read.width > 0.0f && read.height > 0.0f, 2, "mask rule must have a positive size");
  }
  lua_settop(L, element - 1);
  return read;
}

// The mask's coverage as white pixels with that alpha; throws std::length_error or std::bad_alloc.
std::unique_ptr<CanvasBitmap> maskCanvas(const MathMask& mask) {
  auto bitmap = std::make_unique<CanvasBitmap>(mask.width, mask.height);
  for (size_t i = 0; i < mask.coverage.size(); ++i) bitmap->pixels[i] = uint32_t{mask.coverage[i]} << 24 | 0xFFFFFFu;
  return bitmap;
}

}  // namespace

// font:get_math_metrics() -> table of the twenty MATH constants, or nil without MATH data
int fontGetMathMetrics(lua_State* L) {
  const MathConstants constants = checkFont(L, 1)->mathConstants();
  if (!constants.present) {
    lua_pushnil(L);
    return 1;
  }
  lua_createtable(L, 0, static_cast<int>(kMathConstantCount));
  for (size_t i = 0; i < kMathConstantCount; ++i) setNumberField(L, kMathConstantKeys[i], constants.values[i]);
  return 1;
}

// font:get_math_glyph_italics_correction(text) -> pixels
int fontGetMathGlyphItalicsCorrection(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  lua_pushnumber(L, font->mathItalicsCorrection(luaL_checkstring(L, 2)));
  return 1;
}

// font:get_math_glyph_kerning(text, corner, height) -> pixels; corners 0-3 (top right, top left, bottom
// right, bottom left), any other gives 0
int fontGetMathGlyphKerning(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  const char* text = luaL_checkstring(L, 2);
  const auto corner = static_cast<uint32_t>(checkCppInteger(L, 3));
  const auto height = static_cast<float>(luaL_checknumber(L, 4));
  lua_pushnumber(L, font->mathKerning(text, corner, height));
  return 1;
}

// font:get_math_glyph_top_accent_attachment(text) -> pixels
int fontGetMathGlyphTopAccentAttachment(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  lua_pushnumber(L, font->mathTopAccentAttachment(luaL_checkstring(L, 2)));
  return 1;
}

// font:get_math_glyph_shape(text [, vertical]) -> {base = {...} (when found), variants = {...},
//                                                  parts = {...}, minimum_connector_overlap}
int fontGetMathGlyphShape(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  const char* text = luaL_checkstring(L, 2);
  const bool vertical = lua_toboolean(L, 3);
  const MathGlyphShape shape =
      guardMemory(L, "read math glyph shape", [&] { return font->mathGlyphShape(text, vertical); });
  lua_createtable(L, 0, 4);
  if (shape.hasBase) {
    pushGlyphTable(L, shape.base, shape.baseAdvance);
    lua_setfield(L, -2, "base");
  }
  lua_createtable(L, static_cast<int>(shape.variants.size()), 0);
  for (size_t i = 0; i < shape.variants.size(); ++i) {
    pushGlyphTable(L, shape.variants[i].placement, shape.variants[i].advance);
    lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
  }
  lua_setfield(L, -2, "variants");
  lua_createtable(L, static_cast<int>(shape.parts.size()), 0);
  for (size_t i = 0; i < shape.parts.size(); ++i) {
    pushPartTable(L, shape.parts[i]);
    lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
  }
  lua_setfield(L, -2, "parts");
  setNumberField(L, "minimum_connector_overlap", shape.minimumConnectorOverlap);
  return 1;
}

// font:compose_math_mask(components [, supersample = 4]) -> canvas, origin x, origin y, width, height,
// ink x, ink y, ink width, ink height; or nil and a message when no outline can be filled. Components are
// {x, y, glyph_id} glyphs (line box top at x, y) or {x, y, width, height} rules.
int fontComposeMathMask(lua_State* L) {
  RenderFont* font = checkFont(L, 1);
  luaL_checktype(L, 2, LUA_TTABLE);
  const int32_t supersample = lua_isnoneornil(L, 3) ? kDefaultSupersample : checkPositiveInteger(L, 3);
  luaL_argcheck(L, supersample <= kMaxSupersample, 3, "supersample must not exceed 8");
  const lua_Unsigned count = lua_rawlen(L, 2);
  luaL_argcheck(L, count != 0, 2, "expected non-empty mask component table");
  luaL_argcheck(L, count <= kMaxMaskComponents, 2, "too many math mask components");
  std::vector<MathMaskComponent> components =
      guardMemory(L, "compose math mask", [&] { return std::vector<MathMaskComponent>(count); });
  for (lua_Unsigned i = 1; i <= count; ++i) components[i - 1] = readMaskElement(L, static_cast<lua_Integer>(i));

  const char* failure = nullptr;
  MathMask mask;
  std::unique_ptr<CanvasBitmap> canvas;
  try {
    mask = font->composeMathMask(components, supersample, kSupersampledByteLimit, kMaskPixelLimit);
    if (mask.status == MathMaskStatus::Done) canvas = maskCanvas(mask);
  } catch (const std::length_error&) {
    failure = "math mask dimensions are too large";
  } catch (const std::bad_alloc&) {
    failure = "not enough memory to compose math mask";
  }
  if (failure != nullptr) luaL_error(L, "%s", failure);
  if (mask.status == MathMaskStatus::TooLarge) luaL_argerror(L, 2, "math mask is too large");
  if (mask.status == MathMaskStatus::TooComplex) luaL_argerror(L, 2, "math mask is too complex to rasterize");
  if (mask.status != MathMaskStatus::Done) {
    lua_pushnil(L);
    lua_pushliteral(L, "math mask outline cannot be rasterized");
    return 2;
  }
  pushCanvas(L, canvas);
  const lua_Integer placement[] = {mask.originX, mask.originY, mask.width,    mask.height,
                                   mask.inkX,    mask.inkY,    mask.inkWidth, mask.inkHeight};
  for (lua_Integer value : placement) lua_pushinteger(L, value);
  return 9;
}
