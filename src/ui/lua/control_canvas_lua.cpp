// The Lua methods of a ControlCanvas. Every method reads its arguments first, then checks that its control
// has a phase open (a draw phase for drawing), then translates control coordinates by the control's origin
// in 64 bits and refuses what leaves the 32-bit range. Text work that throws (a font that cannot be loaded)
// becomes a Lua error with the exception's text.
#include <string_view>
#include <vector>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "ui/draw_list.h"
#include "ui/lua/control_canvas.h"
#include "ui/lua/render_lua_support.h"
#include "ui/lua/ui_font_lua.h"
#include "ui/lua/ui_glyph_lua.h"
#include "ui/lua/ui_lua_support.h"
#include "ui/text_context.h"

namespace ui::lua {

namespace {

using State = ControlCanvas::State;

constexpr char kOutsideCallback[] = "control canvas can only be used inside its callback";
constexpr char kOutsideDraw[] = "drawing is available only inside the control's draw callback";
constexpr int32_t kMaxLineWidth = 4096;

// The canvas at argument 1: a userdata whose metatable is the methods' upvalue (a comparison instead of a
// registry lookup by name, since every drawing call asks); null otherwise.
CanvasUserdata* toCanvas(lua_State* L) {
  CanvasUserdata* canvas = nullptr;
  if (lua_type(L, 1) == LUA_TUSERDATA && lua_getmetatable(L, 1)) {
    if (lua_rawequal(L, -1, lua_upvalueindex(1))) canvas = static_cast<CanvasUserdata*>(lua_touserdata(L, 1));
    lua_pop(L, 1);
  }
  return canvas;
}

// The canvas's state while its phase is open (a draw phase when drawing); raises on argument 1 otherwise.
std::shared_ptr<State> checkPhase(lua_State* L, bool drawing) {
  CanvasUserdata* canvas = toCanvas(L);
  if (canvas == nullptr) luaL_argerror(L, 1, "expected a control canvas");
  std::shared_ptr<State> state = canvas->state.lock();
  if (!state || !state->open || state->textContextLifetime.expired()) {
    luaL_argerror(L, 1, drawing ? kOutsideDraw : kOutsideCallback);
  }
  if (drawing && state->drawList == nullptr) luaL_argerror(L, 1, kOutsideDraw);
  return state;
}

// The rectangle moved by the control's origin, when its position and far edges stay in 32 bits.
bool translate(const State& state, int32_t x, int32_t y, int32_t width, int32_t height, Rect& out) {
  const int64_t left = int64_t{x} + state.originX;
  const int64_t top = int64_t{y} + state.originY;
  for (const int64_t edge : {left, top, left + width, top + height}) {
    if (edge < INT32_MIN || edge > INT32_MAX) return false;
  }
  out = {static_cast<int32_t>(left), static_cast<int32_t>(top), width, height};
  return true;
}

Rect checkTranslated(lua_State* L, const State& state, int32_t x, int32_t y, int32_t width, int32_t height,
                     const char* message) {
  Rect rect;
  if (!translate(state, x, y, width, height, rect)) luaL_argerror(L, 1, message);
  return rect;
}

// A line or frame width (already positive) up to kMaxLineWidth; raises `message` on argument 1 otherwise.
void checkLineWidth(lua_State* L, int32_t width, const char* message) {
  if (width > kMaxLineWidth) luaL_argerror(L, 1, message);
}

std::string_view checkText(lua_State* L, int index) {
  size_t length = 0;
  const char* text = luaL_checklstring(L, index, &length);
  return {text, length};
}

// size() -> width, height of the control during the phase
int canvasSize(lua_State* L) {
  const std::shared_ptr<State> state = checkPhase(L, false);
  lua_pushinteger(L, state->width);
  lua_pushinteger(L, state->height);
  return 2;
}

// fill_rect(x, y, width, height, color) and fill_frame(...), the rectangle without its corner pixels
template <void (DrawList::*Fill)(const Rect&, uint32_t)>
int canvasFill(lua_State* L) {
  const int32_t x = checkIntegerNumber(L, 2), y = checkIntegerNumber(L, 3);
  const int32_t width = checkNonNegativeInteger(L, 4), height = checkNonNegativeInteger(L, 5);
  const uint32_t color = readUiColor(L, 6);
  const std::shared_ptr<State> state = checkPhase(L, true);
  const Rect rect =
      checkTranslated(L, *state, x, y, width, height, "rectangle position is outside the supported coordinate range");
  (state->drawList->*Fill)(rect, color);
  return 0;
}

// fill_circle(x, y, diameter, color)
int canvasFillCircle(lua_State* L) {
  const int32_t x = checkIntegerNumber(L, 2), y = checkIntegerNumber(L, 3);
  const int32_t diameter = checkNonNegativeInteger(L, 4);
  const uint32_t color = readUiColor(L, 5);
  const std::shared_ptr<State> state = checkPhase(L, true);
  const Rect rect =
      checkTranslated(L, *state, x, y, diameter, diameter, "circle position is outside the supported coordinate range");
  state->drawList->fillCircle(rect, color);
  return 0;
}

// draw_circle(x, y, diameter, line_width, color)
int canvasDrawCircle(lua_State* L) {
  const int32_t x = checkIntegerNumber(L, 2), y = checkIntegerNumber(L, 3);
  const int32_t diameter = checkNonNegativeInteger(L, 4);
  const int32_t lineWidth = checkPositiveInteger(L, 5);
  const uint32_t color = readUiColor(L, 6);
  const std::shared_ptr<State> state = checkPhase(L, true);
  checkLineWidth(L, lineWidth, "circle size must be non-negative and frame width must be between 1 and 4096");
  const Rect rect =
      checkTranslated(L, *state, x, y, diameter, diameter, "circle position is outside the supported coordinate range");
  state->drawList->drawCircle(rect, lineWidth, color);
  return 0;
}

// draw_rect(x, y, width, height, frame_width, color) and draw_frame(...): outlines
template <void (DrawList::*Draw)(const Rect&, int32_t, uint32_t)>
int canvasOutline(lua_State* L) {
  const int32_t x = checkIntegerNumber(L, 2), y = checkIntegerNumber(L, 3);
  const int32_t width = checkNonNegativeInteger(L, 4), height = checkNonNegativeInteger(L, 5);
  const int32_t frameWidth = checkPositiveInteger(L, 6);
  const uint32_t color = readUiColor(L, 7);
  const std::shared_ptr<State> state = checkPhase(L, true);
  checkLineWidth(L, frameWidth, "rectangle size must be non-negative and frame width must be between 1 and 4096");
  const Rect rect =
      checkTranslated(L, *state, x, y, width, height, "rectangle position is outside the supported coordinate range");
  (state->drawList->*Draw)(rect, frameWidth, color);
  return 0;
}

// draw_horizontal_line(x, y, length, line_width, color)
int canvasDrawHorizontalLine(lua_State* L) {
  const int32_t x = checkIntegerNumber(L, 2), y = checkIntegerNumber(L, 3);
  const int32_t length = checkNonNegativeInteger(L, 4);
  const int32_t lineWidth = checkPositiveInteger(L, 5);
  const uint32_t color = readUiColor(L, 6);
  const std::shared_ptr<State> state = checkPhase(L, true);
  checkLineWidth(L, lineWidth, "line length must be non-negative and width must be between 1 and 4096");
  const Rect rect =
      checkTranslated(L, *state, x, y, length, lineWidth, "line position is outside the supported coordinate range");
  state->drawList->drawHorizontalLine(rect.x, rect.y, length, lineWidth, color);
  return 0;
}

// draw_glyph(name, x, y, width, height, color): a registered glyph centred in the rectangle
int canvasDrawGlyph(lua_State* L) {
  const std::string_view name = checkText(L, 2);
  const int32_t x = checkIntegerNumber(L, 3), y = checkIntegerNumber(L, 4);
  const int32_t width = checkNonNegativeInteger(L, 5), height = checkNonNegativeInteger(L, 6);
  const uint32_t color = readUiColor(L, 7);
  const std::shared_ptr<State> state = checkPhase(L, true);
  const std::shared_ptr<Glyph> glyph = lookupUiGlyph(L, name);
  if (!glyph) luaL_argerror(L, 2, "unknown UI glyph name");
  const Rect rect =
      checkTranslated(L, *state, x, y, width, height, "glyph position is outside the supported coordinate range");
  raiseStdFailures(L, [&] { state->drawList->drawGlyph(glyph, rect, color); });
  return 0;
}

// measure_text(font, text) -> width, height
int canvasMeasureText(lua_State* L) {
  const std::string_view text = checkText(L, 3);
  const std::shared_ptr<State> state = checkPhase(L, false);
  const TextContext::Extent size =
      raiseStdFailures(L, [&] { return state->textContext->measureText(checkUiFont(L, 2), text); });
  lua_pushinteger(L, size.width);
  lua_pushinteger(L, size.height);
  return 2;
}

// text_x(font, text, column) -> x of the column from the start of the text
int canvasTextX(lua_State* L) {
  const std::string_view text = checkText(L, 3);
  const int32_t column = checkPositiveInteger(L, 4);
  const std::shared_ptr<State> state = checkPhase(L, false);
  lua_pushinteger(L, raiseStdFailures(L, [&] { return state->textContext->textX(checkUiFont(L, 2), text, column); }));
  return 1;
}

// text_column(font, text, x) -> the column at x from the start of the text
int canvasTextColumn(lua_State* L) {
  const std::string_view text = checkText(L, 3);
  const int32_t x = checkIntegerNumber(L, 4);
  const std::shared_ptr<State> state = checkPhase(L, false);
  lua_pushinteger(L, raiseStdFailures(L, [&] { return state->textContext->textColumn(checkUiFont(L, 2), text, x); }));
  return 1;
}

// text_clusters(font, text) -> {{start_column, end_column, start_x, end_x}, ...}
int canvasTextClusters(lua_State* L) {
  const std::string_view text = checkText(L, 3);
  const std::shared_ptr<State> state = checkPhase(L, false);
  const std::vector<TextCluster> clusters =
      raiseStdFailures(L, [&] { return state->textContext->textClusters(checkUiFont(L, 2), text); });
  pushTextClusters(L, clusters);
  return 1;
}

// draw_text(font, text, x, y, color) -> x after the text, relative to the control
int canvasDrawText(lua_State* L) {
  const std::string_view text = checkText(L, 3);
  const int32_t x = checkIntegerNumber(L, 4), y = checkIntegerNumber(L, 5);
  const uint32_t color = readUiColor(L, 6);
  const std::shared_ptr<State> state = checkPhase(L, true);
  const Rect at = checkTranslated(L, *state, x, y, 0, 0, "text position is outside the supported coordinate range");
  const int32_t after =
      raiseStdFailures(L, [&] { return state->drawList->drawText(checkUiFont(L, 2), text, at.x, at.y, color); });
  const int64_t relative = int64_t{after} - state->originX;
  if (relative < INT32_MIN || relative > INT32_MAX) {
    luaL_argerror(L, 1, "text result is outside the supported coordinate range");
  }
  lua_pushinteger(L, relative);
  return 1;
}

int canvasGc(lua_State* L) {
  if (CanvasUserdata* canvas = toCanvas(L)) canvas->state.reset();
  return 0;
}

const luaL_Reg kCanvasMethods[] = {
    {"size", canvasSize},
    {"fill_rect", canvasFill<&DrawList::fillRect>},
    {"fill_circle", canvasFillCircle},
    {"draw_circle", canvasDrawCircle},
    {"draw_rect", canvasOutline<&DrawList::drawRect>},
    {"draw_horizontal_line", canvasDrawHorizontalLine},
    {"fill_frame", canvasFill<&DrawList::fillFrame>},
    {"draw_frame", canvasOutline<&DrawList::drawFrame>},
    {"draw_glyph", canvasDrawGlyph},
    {"measure_text", canvasMeasureText},
    {"text_x", canvasTextX},
    {"text_column", canvasTextColumn},
    {"text_clusters", canvasTextClusters},
    {"draw_text", canvasDrawText},
    {nullptr, nullptr},
};

}  // namespace

// The weak pointer of a collected canvas is only reset: an empty weak pointer owns nothing, so the
// userdata's memory needs no destructor, and a second __gc finds nothing to do.
void registerControlCanvasMetatable(lua_State* L) {
  luaL_newmetatable(L, kControlCanvasType);
  lua_pushvalue(L, -1);
  lua_pushcclosure(L, canvasGc, 1);
  lua_setfield(L, -2, "__gc");
  lua_pushliteral(L, "protected control canvas");
  lua_setfield(L, -2, "__metatable");
  lua_createtable(L, 0, 14);
  lua_pushvalue(L, -2);
  luaL_setfuncs(L, kCanvasMethods, 1);
  lua_setfield(L, -2, "__index");
  lua_pop(L, 1);
}

}  // namespace ui::lua
