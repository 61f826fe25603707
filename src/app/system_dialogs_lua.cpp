// Message boxes, the yes/no confirmation and the open-file dialog of the `system` module. Every dialog is
// modal for the main workspace window when there is one.
#include <SDL3/SDL_video.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "ui/application.h"
#include "ui/window_registry.h"

namespace {

constexpr const char* kBoxTypes[] = {"info", "warning", "error", "question", nullptr};
constexpr SDL_MessageBoxFlags kBoxFlags[] = {SDL_MESSAGEBOX_INFORMATION, SDL_MESSAGEBOX_WARNING, SDL_MESSAGEBOX_ERROR,
                                             SDL_MESSAGEBOX_INFORMATION};
static_assert(std::size(kBoxTypes) == std::size(kBoxFlags) + 1);

constexpr lua_Integer kMaxFileDialogFilters = 64;

// Raises an argument error at argument unless the value on top of the stack has the type (a number counts
// as a string).
void expectOnTop(lua_State* L, int argument, const char* what, int type) {
  const bool fits = type == LUA_TSTRING ? lua_isstring(L, -1) != 0 : lua_type(L, -1) == type;
  if (!fits) {
    luaL_argerror(L, argument,
                  lua_pushfstring(L, "%s: %s expected, got %s", what, lua_typename(L, type), luaL_typename(L, -1)));
  }
}

// SDL takes every text of a dialog as a C string, which a zero byte would cut short.
std::string stringOnTop(lua_State* L, int argument, const char* what) {
  expectOnTop(L, argument, what, LUA_TSTRING);
  size_t length = 0;
  const char* text = lua_tolstring(L, -1, &length);
  std::string value(text, length);
  if (value.find('\0') != std::string::npos) {
    luaL_argerror(L, argument, lua_pushfstring(L, "%s contains a zero byte", what));
  }
  return value;
}

// Field name of the table at index: its string, or none when nil.
std::optional<std::string> optionalStringField(lua_State* L, int index, const char* name) {
  const int top = lua_gettop(L);
  lua_getfield(L, index, name);
  std::optional<std::string> value;
  if (!lua_isnil(L, -1)) value = stringOnTop(L, index, ("field '" + std::string(name) + "'").c_str());
  lua_settop(L, top);
  return value;
}

SDL_MessageBoxFlags checkBoxType(lua_State* L, int index) {
  lua_getfield(L, index, "type");
  const int type = checkEntryOption(L, TableEntry::ofField(index, "type"), "info", kBoxTypes);
  lua_pop(L, 1);
  return kBoxFlags[type];
}

// The button names of options.buttons: "ok" alone when it is not a table.
std::vector<std::string> checkButtons(lua_State* L, int index) {
  lua_getfield(L, index, "buttons");
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    return {"ok"};
  }
  const lua_Integer count = luaL_len(L, -1);
  luaL_argcheck(L, count >= 1 && count <= static_cast<lua_Integer>(kMaxMessageBoxButtons), index,
                "buttons must contain 1 to 8 entries");
  std::vector<std::string> buttons;
  for (lua_Integer i = 1; i <= count; ++i) {
    lua_geti(L, -1, i);
    buttons.push_back(stringOnTop(L, index, "button name"));
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
  return buttons;
}

// Shows the box; pushes the chosen name (nil when none), or nil and SDL's message.
int showMessageBoxWithButtons(lua_State* L, const MessageBoxRequest& request) {
  const MessageBoxOutcome outcome = showMessageBox(request);
  if (!outcome.shown) return pushFailure(L, outcome.error.c_str());
  if (outcome.choice) {
    pushStringView(L, request.buttons[*outcome.choice]);
  } else {
    lua_pushnil(L);
  }
  return 1;
}

// options.filters: at most 64 {name = string, spec = string}.
std::vector<FileDialogFilter> checkFilters(lua_State* L, int index) {
  std::vector<FileDialogFilter> filters;
  lua_getfield(L, index, "filters");
  if (lua_isnil(L, -1)) {
    lua_pop(L, 1);
    return filters;
  }
  expectOnTop(L, index, "field 'filters'", LUA_TTABLE);
  const lua_Integer count = luaL_len(L, -1);
  luaL_argcheck(L, count <= kMaxFileDialogFilters, index, "filters must contain at most 64 entries");
  for (lua_Integer i = 1; i <= count; ++i) {
    lua_geti(L, -1, i);
    expectOnTop(L, index, "filter", LUA_TTABLE);
    FileDialogFilter filter;
    lua_getfield(L, -1, "name");
    filter.name = stringOnTop(L, index, "filter name");
    lua_getfield(L, -2, "spec");
    filter.extensions = stringOnTop(L, index, "filter spec");
    filters.push_back(std::move(filter));
    lua_pop(L, 3);
  }
  lua_pop(L, 1);
  return filters;
}

}  // namespace

// system.show_message_box(options) -> name of the chosen button (nil for none), or nil and a message
int systemShowMessageBox(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  MessageBoxRequest request;
  request.title = optionalStringField(L, 1, "title").value_or("");
  request.message = optionalStringField(L, 1, "message").value_or("");
  request.kind = checkBoxType(L, 1);
  request.buttons = checkButtons(L, 1);
  request.returnName = optionalStringField(L, 1, "default").value_or(request.buttons.front());
  request.escapeName = optionalStringField(L, 1, "cancel").value_or(request.buttons.back());
  request.owner = mainWorkspaceWindow();
  return showMessageBoxWithButtons(L, request);
}

// system.show_confirm_dialog(title, message) -> true for "yes", false otherwise, or nil and a message
int systemShowConfirmDialog(lua_State* L) {
  MessageBoxRequest request;
  request.title = checkTextWithoutZero(L, 1);
  request.message = checkTextWithoutZero(L, 2);
  request.kind = SDL_MESSAGEBOX_WARNING;
  request.buttons = {"yes", "no"};
  request.returnName = "yes";
  request.escapeName = "no";
  request.owner = mainWorkspaceWindow();
  const MessageBoxOutcome outcome = showMessageBox(request);
  if (!outcome.shown) return pushFailure(L, outcome.error.c_str());
  lua_pushboolean(L, outcome.choice == 0u);
  return 1;
}

// system.open_file_dialog([options]) -> path, nil when cancelled, or nil and a message
int systemOpenFileDialog(lua_State* L) {
  FileDialogOptions options;
  if (!lua_isnoneornil(L, 1)) {
    luaL_checktype(L, 1, LUA_TTABLE);
    options.filters = checkFilters(L, 1);
    options.defaultPath = optionalStringField(L, 1, "default_path").value_or("");
  }
  options.parent = mainWorkspaceWindow();
  const FileDialogOutcome outcome = fileDialogOpen(options);
  switch (outcome.result) {
    case FileDialogResult::Okay:
      pushStringView(L, outcome.paths.front());
      return 1;
    case FileDialogResult::Cancelled:
      lua_pushnil(L);
      return 1;
    case FileDialogResult::Error:
      break;
  }
  return pushFailure(L, outcome.error.empty() ? "native file dialog failed" : outcome.error.c_str());
}
