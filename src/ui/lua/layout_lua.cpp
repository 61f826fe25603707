// The layout module: rows and columns of panes. Options are read raw; a nil field keeps its default.
#include "ui/lua/layout_lua.h"

#include <string>
#include <string_view>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "ui/application.h"
#include "ui/lua/ui_handles_lua.h"
#include "ui/lua/ui_lua_support.h"

namespace ui::lua {

namespace {

// rows(form [, options]) and cols(form [, options]) -> Layout, or nil and a message
template <LayoutDirection Direction>
int layoutCreate(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  LayoutSpec settings;
  settings.direction = static_cast<uint32_t>(Direction);
  std::string_view name;  // stays on the stack until the end
  if (!lua_isnoneornil(L, 2)) {
    luaL_checktype(L, 2, LUA_TTABLE);
    settings.gap = readCheckedField(L, 2, "gap", 0, checkEntryNonNegativeInteger, true);
    settings.paddingLeft = readCheckedField(L, 2, "padding_left", 0, checkEntryNonNegativeInteger, true);
    settings.paddingTop = readCheckedField(L, 2, "padding_top", 0, checkEntryNonNegativeInteger, true);
    settings.paddingRight = readCheckedField(L, 2, "padding_right", 0, checkEntryNonNegativeInteger, true);
    settings.paddingBottom = readCheckedField(L, 2, "padding_bottom", 0, checkEntryNonNegativeInteger, true);
    name = readNameField(L, 2, "layout name must be a string");
  }
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "create layout", [&] {
    settings.name = name;
    NodeHandle* made = pushLayout(L, {});  // made first: once the layout exists, naming it needs no memory
    const int handle = lua_gettop(L);
    std::string error;
    const std::optional<NodeHandle> layout = application.createLayout(form, settings, error);
    if (!layout) return pushFailure(L, error.c_str());
    *made = *layout;
    lua_pushvalue(L, handle);
    return 1;
  });
}

// append(form, layout, pane) -> true, or nil and a message
int layoutAppend(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const NodeHandle layout = checkLayout(L, 2);
  const NodeHandle pane = checkPane(L, 3);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "append pane", [&] {
    std::string error;
    return pushOutcome(L, application.appendPane(form, layout, pane, error), error);
  });
}

const luaL_Reg kLayoutFunctions[] = {
    {"rows", layoutCreate<LayoutDirection::Rows>},
    {"cols", layoutCreate<LayoutDirection::Cols>},
    {"append", layoutAppend},
    {nullptr, nullptr},
};

}  // namespace

}  // namespace ui::lua

int luaopen_layout(lua_State* L) {
  ui::lua::registerHandleMetatable(L, ui::lua::kLayoutType);
  luaL_checkversion(L);
  luaL_newlib(L, ui::lua::kLayoutFunctions);
  return 1;
}
