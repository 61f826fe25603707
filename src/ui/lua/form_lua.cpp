// The form module. A "Form" names a form of the UI host and owns nothing: every function looks the form up
// and passes the host's refusal on as nil and a message. Lifecycles and deferred functions are kept as
// references of the Lua UI runtime, which only the state that created the runtime may make.
#include "ui/lua/form_lua.h"

#include <memory>
#include <string>
#include <string_view>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "ui/application.h"
#include "ui/lua/lua_form_lifecycle.h"
#include "ui/lua/lua_ui_runtime.h"
#include "ui/lua/ui_handles_lua.h"
#include "ui/lua/ui_lua_support.h"

namespace ui::lua {

namespace {

constexpr uint32_t kDefaultBackground = 0xFF201D1Bu;  // {27, 29, 32, 255}
constexpr char kOtherState[] = "Lua UI runtime belongs to a different Lua state";

// A word option (lua_getfield, left pushed): null when nil, its text when a string, "" for anything else.
const char* optionalWordField(lua_State* L, int index, const char* field) {
  const int type = lua_getfield(L, index, field);
  if (type == LUA_TNIL) return nullptr;
  return type == LUA_TSTRING ? lua_tostring(L, -1) : "";
}

// form.create(options) -> Form
int formCreate(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  FormSpec settings;
  if (lua_getfield(L, 1, "name") != LUA_TNIL) settings.name = checkEntryText(L, TableEntry::ofField(1, "name"));
  lua_pop(L, 1);
  if (const char* type = optionalWordField(L, 1, "type")) {
    if (std::string_view(type) != "dialog") luaL_argerror(L, 1, "type must be 'dialog' when supplied");
    settings.type = 1;
  }
  lua_pop(L, 1);
  settings.background =
      lua_getfield(L, 1, "background") == LUA_TNIL ? kDefaultBackground : readUiColor(L, 1, "background");
  lua_pop(L, 1);
  if (const char* orientation = optionalWordField(L, 1, "root_layout")) {
    const std::string_view name = orientation;
    if (name != "rows" && name != "cols") luaL_argerror(L, 1, "root_layout must be 'rows' or 'cols'");
    settings.rootLayout.direction = name == "cols" ? 1 : 0;
  }
  lua_pop(L, 1);
  LayoutSpec& root = settings.rootLayout;
  root.gap = readCheckedField(L, 1, "gap", 0, checkEntryNonNegativeInteger, false);
  root.paddingLeft = readCheckedField(L, 1, "padding_left", 0, checkEntryNonNegativeInteger, false);
  root.paddingTop = readCheckedField(L, 1, "padding_top", 0, checkEntryNonNegativeInteger, false);
  root.paddingRight = readCheckedField(L, 1, "padding_right", 0, checkEntryNonNegativeInteger, false);
  root.paddingBottom = readCheckedField(L, 1, "padding_bottom", 0, checkEntryNonNegativeInteger, false);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "create form", [&] {
    FormHandle* made = pushForm(L, {});  // made first: once the form exists, naming it needs no memory
    *made = application.createForm(std::move(settings));
    return 1;
  });
}

// form.set_background(form, color) -> true, or nil and a message
int formSetBackground(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const uint32_t color = readUiColor(L, 2);
  std::string error;
  return pushOutcome(L, checkApplication(L).setFormBackground(form, color, error), error);
}

// form.bind_lifecycle(form, lifecycle) -> true, or nil and a message
int formBindLifecycle(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  luaL_checktype(L, 2, LUA_TTABLE);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "bind Form lifecycle", [&] {
    const std::shared_ptr<Runtime> runtime = acquireLuaUiRuntime(L);
    if (!runtime) return pushFailure(L, kOtherState);
    auto lifecycle = std::make_unique<FormLifecycle>(runtime, runtime->retain(2));
    if (!lifecycle->isBound()) return pushFailure(L, "could not retain Lua Form lifecycle");
    std::string error;
    return pushOutcome(L, application.bindLifecycle(form, std::move(lifecycle), error), error);
  });
}

// form.close(form [, result = "closed"]) -> true, or nil and a message
int formClose(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  size_t length = 0;
  const char* result = luaL_optlstring(L, 2, "closed", &length);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "close form", [&] {
    std::string error;
    if (application.requestFormClose(form, std::string(result, length), error)) return pushOutcome(L, true, error);
    return pushFailure(L, error.empty() ? "could not close Form" : error.c_str());
  });
}

using FocusOperation = bool (Application::*)(const FormHandle&, const NodeHandle&, std::string&);

// set_initial_focus / focus / attach_overlay(form, control) -> true, or nil and a message
template <FocusOperation Operation>
int formControlOperation(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const NodeHandle control = checkControl(L, 2);
  std::string error;
  return pushOutcome(L, (checkApplication(L).*Operation)(form, control, error), error);
}

// form.defer(fn) -> true, or nil and a message; fn runs now outside UI work, else after it
int formDefer(lua_State* L) {
  luaL_checktype(L, 1, LUA_TFUNCTION);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "defer Lua UI callback", [&] {
    const std::shared_ptr<Runtime> runtime = acquireLuaUiRuntime(L);
    if (!runtime) return pushFailure(L, kOtherState);
    auto function = std::make_shared<Reference>(runtime->retain(1));
    if (!function->isValid()) return pushFailure(L, "could not retain deferred Lua UI callback");
    application.defer([runtime, function] { runtime->callDeferred(*function); });
    return pushOutcome(L, true, {});
  });
}

// form.is_ui_work_active() -> boolean
int formIsUiWorkActive(lua_State* L) {
  lua_pushboolean(L, checkApplication(L).isUiWorkActive());
  return 1;
}

// form.destroy(form) -> true, or nil and a message
int formDestroy(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  std::string error;
  return pushOutcome(L, checkApplication(L).requestDestroyForm(form, error), error);
}

// form.is_valid(value) -> whether value is a Form of a live form
int formIsValid(lua_State* L) {
  const auto* form = static_cast<const FormHandle*>(luaL_testudata(L, 1, kFormType));
  lua_pushboolean(L, form != nullptr && checkApplication(L).isFormValid(*form));
  return 1;
}

// form.get_host(form) -> {kind = "window", window_id} or {kind = "pane", pane}, or nil when not attached
int formGetHost(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  Application& application = checkApplication(L);
  if (!application.isFormValid(form)) return pushFailure(L, "form does not exist");
  const FormHost host = application.formHost(form);
  if (!host.attached) {
    lua_pushnil(L);
    return 1;
  }
  lua_createtable(L, 0, 2);
  if (host.kind == FormHostKind::Window) {
    lua_pushliteral(L, "window");
    lua_setfield(L, -2, "kind");
    lua_pushinteger(L, static_cast<lua_Integer>(host.window));
    lua_setfield(L, -2, "window_id");
  } else {
    lua_pushliteral(L, "pane");
    lua_setfield(L, -2, "kind");
    pushPane(L, host.pane);
    lua_setfield(L, -2, "pane");
  }
  return 1;
}

// form.attach_to_pane(form, pane) -> true, or nil and a message
int formAttachToPane(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const NodeHandle pane = checkPane(L, 2);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "attach form", [&] {
    std::string error;
    return pushOutcome(L, application.requestAttachForm(pane, form, error), error);
  });
}

// A bounds table {x, y, width, height} at index (lua_getfield; x and y any integer, width and height
// non-negative), read from argument `argument`: the table itself, or its options' anchor_bounds.
Rect readBounds(lua_State* L, int index, int argument, bool anchor) {
  Rect bounds;
  int32_t* fields[] = {&bounds.x, &bounds.y, &bounds.width, &bounds.height};
  static const char* const kNames[] = {"x", "y", "width", "height"};
  static const char* const kAnchorNames[] = {"anchor_bounds.x", "anchor_bounds.y", "anchor_bounds.width",
                                             "anchor_bounds.height"};
  for (int i = 0; i < 4; ++i) {
    lua_getfield(L, index, kNames[i]);
    const TableEntry entry = TableEntry::ofField(argument, (anchor ? kAnchorNames : kNames)[i]);
    *fields[i] = i < 2 ? checkEntryIntegerNumber(L, entry) : checkEntryNonNegativeInteger(L, entry);
    lua_pop(L, 1);
  }
  return bounds;
}

// form.set_overlay(form, control [, bounds]) -> true, or nil and a message; without bounds it hides
int formSetOverlay(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const NodeHandle control = checkControl(L, 2);
  OverlayOptions options;
  if (!lua_isnoneornil(L, 3)) {
    luaL_checktype(L, 3, LUA_TTABLE);
    const Rect bounds = readBounds(L, 3, 3, false);
    options = {bounds.x, bounds.y, bounds.width, bounds.height, true};
  }
  std::string error;
  return pushOutcome(L, checkApplication(L).setOverlay(form, control, options, error), error);
}

// form.set_anchored_overlay(form, control, anchor, options) -> true, or nil and a message
int formSetAnchoredOverlay(lua_State* L) {
  luaL_checktype(L, 4, LUA_TTABLE);
  AnchoredOverlayOptions options;
  options.size.width = readCheckedField(L, 4, "width", 0, checkEntryNonNegativeInteger, false);
  options.size.height = readCheckedField(L, 4, "height", 0, checkEntryNonNegativeInteger, false);
  options.gap = readCheckedField(L, 4, "gap", 0, checkEntryNonNegativeInteger, false);
  if (const char* position = optionalWordField(L, 4, "position")) {
    const std::string_view name = position;
    if (name != "below" && name != "right") luaL_argerror(L, 4, "position must be below or right");
    options.position = name == "right" ? 1 : 0;
  }
  lua_pop(L, 1);
  if (lua_getfield(L, 4, "anchor_bounds") != LUA_TNIL) {
    checkEntryType(L, TableEntry::ofField(4, "anchor_bounds"), LUA_TTABLE);
    options.anchorBounds = readBounds(L, lua_gettop(L), 4, true);
  }
  lua_pop(L, 1);
  const NodeHandle anchor = checkControl(L, 3);
  const NodeHandle control = checkControl(L, 2);
  const FormHandle form = checkForm(L, 1);
  std::string error;
  return pushOutcome(L, checkApplication(L).setAnchoredOverlay(form, control, anchor, options, error), error);
}

// form.is_overlay_visible(form, control) -> boolean
int formIsOverlayVisible(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const NodeHandle control = checkControl(L, 2);
  lua_pushboolean(L, checkApplication(L).isOverlayVisible(form, control));
  return 1;
}

// form.detach(form) -> true, or nil and a message
int formDetach(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  Application& application = checkApplication(L);
  if (!application.isFormValid(form)) return pushFailure(L, "form does not exist");
  const FormHost host = application.formHost(form);
  if (!host.attached) return pushFailure(L, "form is not attached");
  std::string error;
  const bool done = host.kind == FormHostKind::Window ? application.requestDetachForm(host.window, error)
                                                      : application.requestDetachForm(host.pane, error);
  return pushOutcome(L, done, error);
}

// form.root_layout(form) -> Layout, or nil and a message
int formRootLayout(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const std::optional<NodeHandle> root = checkApplication(L).rootLayout(form, "root");
  if (!root) return pushFailure(L, "form does not exist");
  pushLayout(L, *root);
  return 1;
}

// form.get_type(form) -> "dialog" or "standard", or nil and a message
int formGetType(lua_State* L) {
  const FormHandle form = checkForm(L, 1);
  const std::optional<uint32_t> type = checkApplication(L).formType(form);
  if (!type) return pushFailure(L, "form does not exist");
  lua_pushstring(L, *type == 1 ? "dialog" : "standard");
  return 1;
}

const luaL_Reg kFormFunctions[] = {
    {"create", formCreate},
    {"set_background", formSetBackground},
    {"bind_lifecycle", formBindLifecycle},
    {"close", formClose},
    {"set_initial_focus", formControlOperation<&Application::setInitialFocus>},
    {"focus", formControlOperation<&Application::focusControl>},
    {"defer", formDefer},
    {"is_ui_work_active", formIsUiWorkActive},
    {"destroy", formDestroy},
    {"is_valid", formIsValid},
    {"get_host", formGetHost},
    {"attach_to_pane", formAttachToPane},
    {"attach_overlay", formControlOperation<&Application::attachOverlayControl>},
    {"set_overlay", formSetOverlay},
    {"set_anchored_overlay", formSetAnchoredOverlay},
    {"is_overlay_visible", formIsOverlayVisible},
    {"detach", formDetach},
    {"root_layout", formRootLayout},
    {"get_type", formGetType},
    {nullptr, nullptr},
};

}  // namespace

}  // namespace ui::lua

int luaopen_form(lua_State* L) {
  ui::lua::registerHandleMetatable(L, ui::lua::kFormType);
  luaL_checkversion(L);
  luaL_newlib(L, ui::lua::kFormFunctions);
  return 1;
}
