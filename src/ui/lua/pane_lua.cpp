// The pane module. Options are read raw; a nil field keeps its default. A pane's length is a DIP number, a
// percentage string ("33.3%", parsed with std::from_chars, so no sign but a leading minus, no spaces and no
// hexadecimal), "content" or "weighted" with a positive weight.
#include "ui/lua/pane_lua.h"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "ui/application.h"
#include "ui/lua/ui_handles_lua.h"
#include "ui/lua/ui_lua_support.h"

namespace ui::lua {

namespace {

constexpr const char* kHorizontal[] = {"left", "center", "right", "stretch"};
constexpr const char* kVertical[] = {"top", "center", "bottom", "stretch"};

std::string_view stackText(lua_State* L, int index) {
  size_t length = 0;
  const char* text = lua_tolstring(L, index, &length);
  return {text, length};
}

// width or height: a finite number from 0 to 2147483647, rounded half up.
int32_t readPaneDimension(lua_State* L, const char* field) {
  const int type = rawField(L, 2, field);
  int32_t size = 0;
  if (type != LUA_TNIL) {
    if (type != LUA_TNUMBER) luaL_argerror(L, 2, "pane dimensions must be DIP numbers");
    const double value = lua_tonumber(L, -1);
    if (!(std::isfinite(value) && value >= 0.0 && value <= 2147483647.0)) {
      luaL_argerror(L, 2, "pane dimensions must be non-negative finite DIP numbers in range");
    }
    size = value >= 2147483646.5 ? kUnboundedLength : static_cast<int32_t>(std::floor(value + 0.5));
  }
  lua_pop(L, 1);
  return size;
}

// "N%": the whole text before the '%' is a finite, non-negative decimal number.
bool parsePercentage(std::string_view text, double& fraction) {
  if (text.size() < 2 || text.back() != '%') return false;
  const char* first = text.data();
  const char* last = first + text.size() - 1;
  double value = 0.0;
  const auto [end, status] = std::from_chars(first, last, value);
  if (status != std::errc() || end != last || !std::isfinite(value) || value < 0.0) return false;
  fraction = value / 100.0;
  return true;
}

PaneLength readLength(lua_State* L) {
  const int type = rawField(L, 2, "length");
  PaneLength length = PaneLength::content();
  if (type == LUA_TNUMBER) {
    const double value = lua_tonumber(L, -1);
    if (!(std::isfinite(value) && value >= 0.0)) luaL_argerror(L, 2, "DIP length must be non-negative and finite");
    length = PaneLength::dips(value);
  } else if (type == LUA_TSTRING) {
    const std::string_view text = stackText(L, -1);
    double fraction = 0.0;
    if (text == "weighted") {
      const int32_t weight = readCheckedField(L, 2, "weight", 1, checkEntryNonNegativeInteger, true);
      if (weight < 1) luaL_argerror(L, 2, "weighted length requires a positive 'weight' in range");
      length = PaneLength::weight(weight);
    } else if (text != "content") {
      if (!parsePercentage(text, fraction)) {
        luaL_argerror(L, 2, "percentage length must contain a non-negative finite number followed by '%'");
      }
      length = PaneLength::percent(fraction);
    }
  } else if (type != LUA_TNIL) {
    luaL_argerror(L, 2, "length must be a DIP number, percentage, 'content', or 'weighted'");
  }
  lua_pop(L, 1);
  return length;
}

// pane.create(form, options) -> Pane, or nil and a message
int paneCreate(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  luaL_checktype(L, 2, LUA_TTABLE);
  PaneSpec settings;
  settings.width = readPaneDimension(L, "width");
  settings.height = readPaneDimension(L, "height");
  settings.length = readLength(L);
  settings.minimumWidth = readCheckedField(L, 2, "minimum_width", 0, checkEntryNonNegativeInteger, true);
  settings.minimumHeight = readCheckedField(L, 2, "minimum_height", 0, checkEntryNonNegativeInteger, true);
  settings.maximumWidth = readCheckedField(L, 2, "maximum_width", kUnboundedLength, checkEntryNonNegativeInteger, true);
  settings.maximumHeight =
      readCheckedField(L, 2, "maximum_height", kUnboundedLength, checkEntryNonNegativeInteger, true);
  if (settings.maximumWidth < settings.minimumWidth || settings.maximumHeight < settings.minimumHeight) {
    luaL_argerror(L, 2, "pane maximum size cannot be smaller than its minimum");
  }
  settings.collapsed = readBooleanField(L, 2, "collapsed", false, "pane boolean fields must be booleans", true);
  const std::string_view name = readNameField(L, 2, "pane name must be a string");
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "create pane", [&] {
    settings.name = name;
    NodeHandle* made = pushPane(L, {});  // made first: once the pane exists, naming it needs no memory
    const int handle = lua_gettop(L);
    std::string error;
    const std::optional<NodeHandle> pane = application.createPane(form, settings, error);
    if (!pane) return pushFailure(L, error.c_str());
    *made = *pane;
    lua_pushvalue(L, handle);
    return 1;
  });
}

// pane.set_layout(form, pane, layout) -> true, or nil and a message
int paneSetLayout(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const NodeHandle pane = checkPane(L, 2);
  const NodeHandle layout = checkLayout(L, 3);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "attach layout", [&] {
    std::string error;
    return pushOutcome(L, application.setPaneLayout(form, pane, layout, error), error);
  });
}

// An alignment word of the placement (argument 4); stretch (3) when nil.
template <size_t N>
uint32_t readAlignment(lua_State* L, const char* field, const char* const (&names)[N], const char* message) {
  uint32_t alignment = 3;
  if (rawField(L, 4, field) != LUA_TNIL) {
    const int found = findName(checkEntryText(L, TableEntry::ofField(4, field)), names);
    if (found < 0) luaL_argerror(L, 4, message);
    alignment = static_cast<uint32_t>(found);
  }
  lua_pop(L, 1);
  return alignment;
}

// pane.attach(form, pane, control [, placement]) -> true, or nil and a message
int paneAttach(lua_State* L) {
  ControlPlacement placement{3, 3, 0, 0, 0, 0};
  if (!lua_isnoneornil(L, 4)) {
    luaL_checktype(L, 4, LUA_TTABLE);
    placement.horizontal =
        readAlignment(L, "horizontal", kHorizontal, "horizontal must be 'left', 'center', 'right', or 'stretch'");
    placement.vertical =
        readAlignment(L, "vertical", kVertical, "vertical must be 'top', 'center', 'bottom', or 'stretch'");
    placement.marginLeft = readCheckedField(L, 4, "margin_left", 0, checkEntryNonNegativeInteger, true);
    placement.marginTop = readCheckedField(L, 4, "margin_top", 0, checkEntryNonNegativeInteger, true);
    placement.marginRight = readCheckedField(L, 4, "margin_right", 0, checkEntryNonNegativeInteger, true);
    placement.marginBottom = readCheckedField(L, 4, "margin_bottom", 0, checkEntryNonNegativeInteger, true);
  }
  const NodeHandle control = checkControl(L, 3);
  const NodeHandle pane = checkPane(L, 2);
  const FormHandle form = checkForm(L, 1);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "attach control", [&] {
    std::string error;
    return pushOutcome(L, application.attachControl(form, pane, control, placement, error), error);
  });
}

// pane.set_collapsed(form, pane, collapsed) -> true, or nil and a message
int paneSetCollapsed(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const NodeHandle pane = checkPane(L, 2);
  luaL_checktype(L, 3, LUA_TBOOLEAN);
  const bool collapsed = lua_toboolean(L, 3);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "change collapsed Pane state", [&] {
    std::string error;
    return pushOutcome(L, application.requestSetFormPaneCollapsed(form, pane, collapsed, error), error);
  });
}

// pane.is_valid(form, value) -> whether value is a Pane of the form
int paneIsValid(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const auto* pane = static_cast<const NodeHandle*>(luaL_testudata(L, 2, kPaneType));
  lua_pushboolean(L, pane != nullptr && checkApplication(L).isPaneValid(form, *pane).has_value());
  return 1;
}

const luaL_Reg kPaneFunctions[] = {
    {"create", paneCreate},    {"set_layout", paneSetLayout},
    {"attach", paneAttach},    {"set_collapsed", paneSetCollapsed},
    {"is_valid", paneIsValid}, {nullptr, nullptr},
};

}  // namespace

}  // namespace ui::lua

int luaopen_pane(lua_State* L) {
  ui::lua::registerHandleMetatable(L, ui::lua::kPaneType);
  luaL_checkversion(L);
  luaL_newlib(L, ui::lua::kPaneFunctions);
  return 1;
}
