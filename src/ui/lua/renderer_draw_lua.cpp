// The renderer module's shape and canvas drawing: every argument is checked, in argument order, before
// anything is recorded into the render target's RenderCache, so a bad argument leaves the frame unchanged.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>
#include <vector>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "platform/line_raster.h"
#include "render/render_cache.h"
#include "ui/lua/canvas_lua.h"
#include "ui/lua/render_lua_support.h"
#include "ui/lua/renderer_lua_internal.h"

namespace {

constexpr double kIntMin = -2147483648.0;
constexpr double kIntMax = 2147483647.0;
constexpr lua_Unsigned kMaxPolylineNumbers = 131073;
constexpr const char kCanvasFreed[] = "canvas already freed";

// One channel of a colour table: a finite number from 0 to 255, truncated toward zero.
uint32_t colorChannel(lua_State* L, lua_Number value) {
  if (!(value >= 0.0 && value <= 255.0)) luaL_error(L, "expected a color channel from 0 to 255");
  return static_cast<uint32_t>(value);
}

// One element of a colour table as a number: an integer (the usual channel) is read as it is, anything
// else converted as lua_tonumberx does; false when it is no number.
bool colorElement(lua_State* L, int index, lua_Number* value) {
  int isInteger = 0;
  const lua_Integer integer = lua_tointegerx(L, index, &isInteger);
  if (isInteger != 0) {
    *value = static_cast<lua_Number>(integer);
    return true;
  }
  int isNumber = 0;
  *value = lua_tonumberx(L, index, &isNumber);
  return isNumber != 0;
}

// The colour of a table whose elements 1-3 are numbers (or numeric strings) and 4 a number or nil; false for
// another shape. Each element is read and converted once: colours are read by every drawing call.
bool readColorTable(lua_State* L, int table, uint32_t* color) {
  lua_Number rgba[4] = {0.0, 0.0, 0.0, 255.0};
  bool numbers = true;
  for (int i = 0; i < 3; ++i) {
    lua_rawgeti(L, table, i + 1);
    numbers = colorElement(L, -1, &rgba[i]) && numbers;
  }
  const int alphaType = lua_rawgeti(L, table, 4);
  const bool valid = numbers && (alphaType == LUA_TNUMBER || alphaType == LUA_TNIL);
  if (valid) {
    const uint32_t r = colorChannel(L, rgba[0]);
    const uint32_t g = colorChannel(L, rgba[1]);
    const uint32_t b = colorChannel(L, rgba[2]);
    if (alphaType == LUA_TNUMBER) colorElement(L, -1, &rgba[3]);
    *color = b | g << 8 | r << 16 | colorChannel(L, rgba[3]) << 24;
  }
  lua_pop(L, 4);
  return valid;
}

bool isFloatRange(double value) { return std::isfinite(value) && std::fabs(value) <= FLT_MAX; }

double checkFiniteNumber(lua_State* L, int index) {
  const double value = luaL_checknumber(L, index);
  luaL_argcheck(L, std::isfinite(value), index, "expected a finite number");
  return value;
}

double checkFinitePositive(lua_State* L, int index) {
  const double value = luaL_checknumber(L, index);
  luaL_argcheck(L, std::isfinite(value) && value > 0, index, "expected a finite positive number");
  return value;
}

// A stroke width: finite, above 0 and one the rasterizer can draw (a wider one would draw nothing).
static_assert(kMaxLineWidth == 200000, "the message below names the widest line");
double checkLineWidth(lua_State* L, int index) {
  const double width = checkFinitePositive(L, index);
  luaL_argcheck(L, width <= kMaxLineWidth, index, "line width must not exceed 200000 pixels");
  return width;
}

// Whether a stroke of `width` around the box stays inside integer coordinates.
bool strokeBoundsFit(double minX, double minY, double maxX, double maxY, double width) {
  const double pad = width + 1;
  return minX - pad >= kIntMin && minY - pad >= kIntMin && maxX + pad <= kIntMax && maxY + pad <= kIntMax;
}

// One axis of an antialiased rectangle: its covered pixel span must fit integer coordinates.
bool antialiasedSpanFits(float start, float size) {
  const double first = std::floor(static_cast<double>(start));
  const double span = std::ceil(static_cast<double>(start) - first + size);
  return std::isfinite(span) && span > 0 && first >= kIntMin && first <= kIntMax && span <= kIntMax &&
         first + span <= kIntMax;
}

RenderRect readRect(lua_State* L, int first, int32_t (*checkSize)(lua_State*, int)) {
  const int32_t x = checkIntegerNumber(L, first);
  const int32_t y = checkIntegerNumber(L, first + 1);
  const int32_t w = checkSize(L, first + 2);
  const int32_t h = checkSize(L, first + 3);
  return {x, y, w, h};
}

}  // namespace

uint32_t readRendererColor(lua_State* L, int index) {
  const int type = lua_type(L, index);
  if (type == LUA_TNONE || type == LUA_TNIL) return 0xFFFFFFFFu;
  if (type == LUA_TTABLE) {
    uint32_t color = 0;
    if (readColorTable(L, index, &color)) return color;
    lua_rawgeti(L, index, 1);
    if (lua_istable(L, -1) && readColorTable(L, lua_gettop(L), &color)) {
      lua_pop(L, 1);
      return color;
    }
    lua_pop(L, 1);
  }
  luaL_argerror(L, index, "bad color table: expected { r, g, b, [a] }");
  return 0;
}

// renderer.set_clip_rect(x, y, w, h)
int rendererSetClipRect(lua_State* L) {
  const RenderRect rect = readRect(L, 1, checkIntegerNumber);
  checkRenderTargetCache(L).setClipRect(rect);
  return 0;
}

// renderer.invalidate_rect(x, y, w, h) -- the area is redrawn at the next frame end
int rendererInvalidateRect(lua_State* L) {
  const RenderRect rect = readRect(L, 1, checkNonNegativeInteger);
  checkRenderTargetCache(L).invalidateRect(rect);
  return 0;
}

// renderer.draw_rect(x, y, w, h [, color])
int rendererDrawRect(lua_State* L) {
  const RenderRect rect = readRect(L, 1, checkNonNegativeInteger);
  const uint32_t color = readRendererColor(L, 5);
  checkRenderTargetCache(L).fillRect(rect, color);
  return 0;
}

// renderer.draw_vertical_rules(x, y, rule_width, height, spacing, count, active [, color [, active_color]])
int rendererDrawVerticalRules(lua_State* L) {
  const double x = luaL_checknumber(L, 1);
  const int32_t y = checkIntegerNumber(L, 2);
  const int32_t ruleWidth = checkPositiveInteger(L, 3);
  const int32_t height = checkNonNegativeInteger(L, 4);
  const double spacing = luaL_checknumber(L, 5);
  const int32_t count = checkPositiveInteger(L, 6);
  const int32_t active = checkCppInteger(L, 7);
  const uint32_t color = readRendererColor(L, 8);
  const uint32_t activeColor = readRendererColor(L, 9);
  luaL_argcheck(L, std::isfinite(x), 1, "expected a finite number");
  luaL_argcheck(L, std::isfinite(spacing) && spacing > 0, 5, "expected a finite positive number");
  luaL_argcheck(L, active >= -1 && active < count, 7, "expected -1 or a valid rule index");
  const double last = (count - 1.0) * spacing + x;
  luaL_argcheck(L, x >= kIntMin && x <= kIntMax && last >= kIntMin && last <= kIntMax - ruleWidth, 1,
                "vertical rule range exceeds integer coordinates");
  const auto left = static_cast<int32_t>(x);
  const int64_t width = static_cast<int64_t>(last) - left + ruleWidth;
  const RenderRect bounds{left, y, static_cast<int32_t>(std::min<int64_t>(width, INT32_MAX)), height};
  checkRenderTargetCache(L).drawVerticalRules(bounds, static_cast<float>(x), static_cast<float>(spacing),
                                              static_cast<uint32_t>(ruleWidth), static_cast<uint32_t>(count),
                                              static_cast<uint32_t>(active), color, activeColor);
  return 0;
}

// renderer.draw_antialiased_rect(x, y, w, h [, color]) -- fractional edges are blended by coverage
int rendererDrawAntialiasedRect(lua_State* L) {
  double values[4];
  for (int i = 0; i < 4; ++i) values[i] = luaL_checknumber(L, i + 1);
  const uint32_t color = readRendererColor(L, 5);
  for (int i = 0; i < 2; ++i) luaL_argcheck(L, isFloatRange(values[i]), i + 1, "expected a finite float coordinate");
  for (int i = 2; i < 4; ++i) {
    luaL_argcheck(L, isFloatRange(values[i]) && values[i] > 0, i + 1, "expected a finite positive float size");
  }
  const float x = static_cast<float>(values[0]), y = static_cast<float>(values[1]);
  const float w = static_cast<float>(values[2]), h = static_cast<float>(values[3]);
  luaL_argcheck(L, antialiasedSpanFits(x, w), 1, "rectangle bounds exceed integer coordinates");
  luaL_argcheck(L, antialiasedSpanFits(y, h), 2, "rectangle bounds exceed integer coordinates");
  checkRenderTargetCache(L).drawAntialiasedRect(x, y, w, h, color);
  return 0;
}

// renderer.draw_line(x1, y1, x2, y2, width [, color])
int rendererDrawLine(lua_State* L) {
  double coordinates[4];
  for (int i = 0; i < 4; ++i) coordinates[i] = checkFiniteNumber(L, i + 1);
  const double width = checkLineWidth(L, 5);
  const uint32_t color = readRendererColor(L, 6);
  const auto [x1, y1, x2, y2] = coordinates;
  luaL_argcheck(L, strokeBoundsFit(std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2), width), 1,
                "line bounds exceed integer coordinates");
  const PolylinePoint points[2] = {{static_cast<float>(x1), static_cast<float>(y1)},
                                   {static_cast<float>(x2), static_cast<float>(y2)}};
  checkRenderTargetCache(L).drawPolyline(points, static_cast<float>(width), color);
  return 0;
}

// renderer.draw_polyline({x1, y1, x2, y2, ...}, width [, color]) -- at most 65,536 points
int rendererDrawPolyline(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  const lua_Unsigned count = lua_rawlen(L, 1);
  luaL_argcheck(L, count > 3 && count % 2 == 0, 1, "expected at least two x, y pairs");
  luaL_argcheck(L, count <= kMaxPolylineNumbers, 1, "polyline has too many points");
  const double width = checkLineWidth(L, 2);
  const uint32_t color = readRendererColor(L, 3);
  double minX = HUGE_VAL, minY = HUGE_VAL, maxX = -HUGE_VAL, maxY = -HUGE_VAL;
  for (lua_Unsigned i = 1; i <= count; ++i) {
    luaL_argcheck(L, lua_rawgeti(L, 1, static_cast<lua_Integer>(i)) == LUA_TNUMBER, 1, "expected numeric x, y pairs");
    const double value = lua_tonumber(L, -1);
    lua_pop(L, 1);
    luaL_argcheck(L, std::isfinite(value), 1, "expected finite x, y pairs");
    double& low = i % 2 == 1 ? minX : minY;
    double& high = i % 2 == 1 ? maxX : maxY;
    low = std::min(low, value);
    high = std::max(high, value);
  }
  luaL_argcheck(L, strokeBoundsFit(minX, minY, maxX, maxY, width), 1, "polyline bounds exceed integer coordinates");
  std::vector<PolylinePoint> points;
  try {
    points.reserve(count / 2);
  } catch (const std::bad_alloc&) {
  }
  if (points.capacity() < count / 2) luaL_error(L, "could not allocate polyline storage");
  for (lua_Unsigned i = 1; i < count; i += 2) {
    lua_rawgeti(L, 1, static_cast<lua_Integer>(i));
    lua_rawgeti(L, 1, static_cast<lua_Integer>(i + 1));
    points.push_back({static_cast<float>(lua_tonumber(L, -2)), static_cast<float>(lua_tonumber(L, -1))});
    lua_pop(L, 2);
  }
  checkRenderTargetCache(L).drawPolyline(points, static_cast<float>(width), color);
  return 0;
}

// renderer.draw_checkerboard(x, y, w, h, cell_size [, color1 [, color2]])
int rendererDrawCheckerboard(lua_State* L) {
  const RenderRect rect = readRect(L, 1, checkNonNegativeInteger);
  const int32_t cellSize = checkPositiveInteger(L, 5);
  const uint32_t color1 = readRendererColor(L, 6);
  const uint32_t color2 = readRendererColor(L, 7);
  checkRenderTargetCache(L).drawCheckerboard(rect, cellSize, color1, color2);
  return 0;
}

// renderer.draw_canvas(canvas, x, y)
int rendererDrawCanvas(lua_State* L) {
  CanvasBitmap* canvas = checkCanvas(L, 1, kCanvasFreed);
  const int32_t x = checkIntegerNumber(L, 2);
  const int32_t y = checkIntegerNumber(L, 3);
  RenderCache& cache = checkRenderTargetCache(L);
  if (keepCanvasForFrame(L, 1, cache)) cache.drawCanvas(canvas, x, y);
  return 0;
}

// renderer.draw_mask(mask, x, y [, color]) -- the mask's alpha tints the colour
int rendererDrawMask(lua_State* L) {
  CanvasBitmap* mask = checkCanvas(L, 1, "mask already freed");
  const int32_t x = checkIntegerNumber(L, 2);
  const int32_t y = checkIntegerNumber(L, 3);
  const uint32_t color = readRendererColor(L, 4);
  RenderCache& cache = checkRenderTargetCache(L);
  if (keepCanvasForFrame(L, 1, cache)) cache.drawMask(mask, x, y, color);
  return 0;
}

// renderer.draw_canvas_scaled(canvas, sx, sy, sw, sh, dx, dy, dw, dh)
int rendererDrawCanvasScaled(lua_State* L) {
  CanvasBitmap* canvas = checkCanvas(L, 1, kCanvasFreed);
  const RenderRect source = readRect(L, 2, checkPositiveInteger);
  const RenderRect destination = readRect(L, 6, checkPositiveInteger);
  RenderCache& cache = checkRenderTargetCache(L);
  if (keepCanvasForFrame(L, 1, cache)) cache.drawCanvasScaled(canvas, source, destination);
  return 0;
}

// renderer.draw_canvas_tiled(canvas, sx, sy, sw, sh, dx, dy, dw, dh, cx, cy, cw, ch, cell [, color1 [, color2]])
// -- the window's compositor shows the canvas from texture tiles through a transparent hole in the frame;
// when it cannot, the canvas is drawn scaled over a checkerboard; within the clip either way
int rendererDrawCanvasTiled(lua_State* L) {
  CanvasBitmap* canvas = checkCanvas(L, 1, kCanvasFreed);
  const RenderRect source = readRect(L, 2, checkPositiveInteger);
  const RenderRect destination = readRect(L, 6, checkPositiveInteger);
  const RenderRect clip = readRect(L, 10, checkNonNegativeInteger);
  const int32_t cellSize = checkPositiveInteger(L, 14);
  const uint32_t color1 = readRendererColor(L, 15);
  const uint32_t color2 = readRendererColor(L, 16);
  WindowRenderer& renderer = checkRenderTarget(L);
  if (!keepCanvasForFrame(L, 1, *renderer.renderCache())) return 0;
  guardMemory(L, "place the canvas",
              [&] { return renderer.drawCanvasTiled(canvas, source, destination, clip, cellSize, color1, color2); });
  return 0;
}
