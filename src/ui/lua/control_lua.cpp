// The control module: Lua-driven controls created from definition tables, and their state. Opening it binds
// the Lua UI runtime to the opening state and thread; shutdownLuaUi ends that runtime before the state is
// closed.
#include "ui/lua/control_lua.h"

#include <cstdio>
#include <memory>
#include <string_view>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "ui/application.h"
#include "ui/lua/control_canvas.h"
#include "ui/lua/lua_control.h"
#include "ui/lua/lua_ui_runtime.h"
#include "ui/lua/ui_handles_lua.h"
#include "ui/lua/ui_lua_support.h"

namespace ui::lua {

namespace {

constexpr const char* kTextInputTypes[] = {"text",
                                           "name",
                                           "email",
                                           "username",
                                           "password_hidden",
                                           "password_visible",
                                           "number",
                                           "number_password_hidden",
                                           "number_password_visible"};
constexpr const char* kCapitalizations[] = {"automatic", "none", "sentences", "words", "letters"};
constexpr const char* kTextInputFields[] = {"type", "capitalization", "autocorrect", "multiline"};

// A boolean field of the definition (argument 2) or of its text_input table (at stack index `table`); a
// value that is not a boolean raises at argument 2.
bool readStateFlag(lua_State* L, int table, const char* field, bool fallback) {
  return readBooleanField(L, table, field, fallback, "control state fields must be booleans", true, 2);
}

// type and capitalization of the text_input table at `table`: nil gives 0; a bad value raises at argument 2,
// the definition.
template <size_t N>
uint32_t readTextInputName(lua_State* L, int table, const char* field, const char* const (&names)[N],
                           const char* typeMessage, const char* valueMessage) {
  const int type = rawField(L, table, field);
  int found = 0;
  if (type != LUA_TNIL) {
    if (type != LUA_TSTRING) luaL_argerror(L, 2, typeMessage);
    size_t length = 0;
    const char* text = lua_tolstring(L, -1, &length);
    found = findName({text, length}, names);
    if (found < 0) luaL_argerror(L, 2, valueMessage);
  }
  lua_pop(L, 1);
  return static_cast<uint32_t>(found);
}

// The text_input table, pushed by the caller at `table`.
TextInputSpec readTextInput(lua_State* L, int table) {
  if (!lua_istable(L, table)) luaL_argerror(L, 2, "text_input must be a table");
  lua_pushnil(L);
  while (lua_next(L, table) != 0) {
    if (lua_type(L, -2) != LUA_TSTRING) luaL_argerror(L, 2, "text_input fields must use string names");
    size_t length = 0;
    const char* key = lua_tolstring(L, -2, &length);
    if (findName({key, length}, kTextInputFields) < 0) luaL_argerror(L, 2, "unknown text_input field");
    lua_pop(L, 1);
  }
  TextInputSpec input;
  input.type = readTextInputName(L, table, "type", kTextInputTypes, "text_input type must be a string",
                                 "unsupported text_input type");
  input.capitalization =
      readTextInputName(L, table, "capitalization", kCapitalizations, "text_input capitalization must be a string",
                        "unsupported text_input capitalization");
  input.autocorrect = readStateFlag(L, table, "autocorrect", false);
  input.multiline = readStateFlag(L, table, "multiline", false);
  input.present = true;
  return input;
}

// The description of a definition table (argument 2), read raw in the module's order.
ControlDescription readDescription(lua_State* L, Size& defaultSize, std::string_view& name) {
  for (const char* callback : {"measure", "draw", "event"}) {
    const int type = rawField(L, 2, callback);
    if (type != LUA_TNIL && type != LUA_TFUNCTION)
      luaL_argerror(L, 2, "control callbacks must be functions when supplied");
    lua_pop(L, 1);
  }
  ControlDescription description;
  description.visible = readStateFlag(L, 2, "visible", true);
  description.enabled = readStateFlag(L, 2, "enabled", true);
  description.focusable = readStateFlag(L, 2, "focusable", false);
  description.tabStop = readStateFlag(L, 2, "tab_stop", true);
  description.acceptsPointer = readStateFlag(L, 2, "accepts_pointer", true);

  if (rawField(L, 2, "cursor") != LUA_TNIL) {
    description.cursor = findName(checkEntryText(L, TableEntry::ofField(2, "cursor")), kCursorNames);
    if (description.cursor < 0) luaL_argerror(L, 2, "cursor must be 'arrow', 'ibeam', or 'size_we'");
  }
  lua_pop(L, 1);

  if (rawField(L, 2, "text_input") != LUA_TNIL) {
    description.textInput = readTextInput(L, lua_gettop(L));
    if (!description.focusable) luaL_argerror(L, 2, "text_input requires focusable = true");
  }
  lua_pop(L, 1);

  description.tabOrder =
      static_cast<uint32_t>(readCheckedField(L, 2, "tab_order", 0, checkEntryNonNegativeInteger, true));
  defaultSize.width = readCheckedField(L, 2, "width", 0, checkEntryNonNegativeInteger, true);
  defaultSize.height = readCheckedField(L, 2, "height", 0, checkEntryNonNegativeInteger, true);
  // The name stays on the stack (and so alive) until the function returns.
  name = readNameField(L, 2, "control name must be a string");
  return description;
}

// control.create(form, definition) -> Control, or nil and a message
int controlCreate(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  luaL_checktype(L, 2, LUA_TTABLE);
  Size defaultSize;
  std::string_view name;
  const ControlDescription description = readDescription(L, defaultSize, name);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "create Lua control", [&] {
    const std::shared_ptr<Runtime> runtime = acquireLuaUiRuntime(L);
    if (!runtime || !runtime->isActiveOnThisThread()) return pushFailure(L, "Lua UI runtime is not active");
    NodeHandle* made = pushControl(L, {});  // made first: once the host holds the control, naming it needs no memory
    const int handle = lua_gettop(L);
    auto control = std::make_unique<Control>(description, runtime, runtime->retain(2), defaultSize);
    if (!control->hasCanvas()) return pushFailure(L, "Lua control canvas was not initialized");
    std::string error;
    const std::optional<NodeHandle> node = application.createControl(form, name, std::move(control), error);
    if (!node) return pushFailure(L, error.c_str());
    *made = *node;
    lua_pushvalue(L, handle);
    return 1;
  });
}

// control.is_valid(form, value) -> whether value is a Control of a live control of the form
int controlIsValid(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const auto* control = static_cast<const NodeHandle*>(luaL_testudata(L, 2, kControlType));
  lua_pushboolean(L, control != nullptr && checkApplication(L).isControlValid(form, *control).has_value());
  return 1;
}

using FlagSetter = bool (Application::*)(const FormHandle&, const NodeHandle&, bool, std::string&);

// set_enabled / set_visible / set_tab_stop(form, control, boolean) -> true, or nil and a message
template <FlagSetter Setter>
int controlSetFlag(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const NodeHandle control = checkControl(L, 2);
  luaL_checktype(L, 3, LUA_TBOOLEAN);
  std::string error;
  const bool done = (checkApplication(L).*Setter)(form, control, lua_toboolean(L, 3), error);
  return pushOutcome(L, done, error);
}

using ControlMark = bool (Application::*)(const FormHandle&, const NodeHandle&, std::string&);

// invalidate / redraw / relayout(form, control) -> true, or nil and a message
template <ControlMark Mark>
int controlMark(lua_State* L) {
  const NodeHandle control = checkControl(L, 2);
  const FormHandle form = checkForm(L, 1);
  std::string error;
  return pushOutcome(L, (checkApplication(L).*Mark)(form, control, error), error);
}

// control.set_text_input_area(form, control, x, y, width, height, cursor) -> true, or nil and a message
int controlSetTextInputArea(lua_State* L) {
  const Rect area{checkNonNegativeInteger(L, 3), checkNonNegativeInteger(L, 4), checkNonNegativeInteger(L, 5),
                  checkNonNegativeInteger(L, 6)};
  const int32_t cursor = checkNonNegativeInteger(L, 7);
  const NodeHandle control = checkControl(L, 2);
  const FormHandle form = checkForm(L, 1);
  std::string error;
  return pushOutcome(L, checkApplication(L).setControlTextInputArea(form, control, area, cursor, error), error);
}

const luaL_Reg kControlFunctions[] = {
    {"create", controlCreate},
    {"is_valid", controlIsValid},
    {"set_enabled", controlSetFlag<&Application::setControlEnabled>},
    {"set_visible", controlSetFlag<&Application::setControlVisible>},
    {"set_tab_stop", controlSetFlag<&Application::setControlTabStop>},
    {"invalidate", controlMark<&Application::invalidateControl>},
    {"redraw", controlMark<&Application::redrawControl>},
    {"relayout", controlMark<&Application::relayoutControl>},
    {"set_text_input_area", controlSetTextInputArea},
    {nullptr, nullptr},
};

}  // namespace

}  // namespace ui::lua

int luaopen_control(lua_State* L) {
  ui::lua::registerControlCanvasMetatable(L);
  ui::lua::acquireLuaUiRuntime(L);
  ui::lua::registerHandleMetatable(L, ui::lua::kControlType);
  luaL_checkversion(L);
  luaL_newlib(L, ui::lua::kControlFunctions);
  return 1;
}

void shutdownLuaUi(lua_State* L) {
  std::string error;
  if (!ui::lua::shutdownLuaUiRuntime(L, error)) std::fprintf(stderr, "Lua UI shutdown failed: %s\n", error.c_str());
}
