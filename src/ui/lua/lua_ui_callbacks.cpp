// The runtime's callback invokers. Each runs its whole frame in one protected call: the callback is looked
// up (raw) in its definition table at every call, so scripts may replace or remove it; the definition is
// passed first; the callback itself runs under a traceback handler; its results are read strictly. A
// failure (a raising callback, a bad result, running out of memory while pushing) is reported, clears the
// invoker's flag where it has one, and never reaches the caller.
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <utility>

#include "host/lua_api.h"
#include "ui/lua/control_canvas.h"
#include "ui/lua/lua_ui_runtime.h"
#include "ui/lua/ui_lua_support.h"

namespace ui::lua {

namespace {

constexpr const char* kKindNames[] = {
    "pointer_enter", "pointer_leave", "pointer_move",     "pointer_down",      "pointer_up",
    "wheel",         "key_down",      "key_up",           "text_input",        "text_editing",
    "focus_gained",  "focus_lost",    "window_activated", "window_deactivated"};
constexpr const char* kButtonNames[] = {"none", "left", "middle", "right", "x1", "x2"};
constexpr const char* kActionNames[] = {"unchanged", "acquire", "release"};
constexpr const char kCanvasGone[] = "Lua UI control canvas is no longer available";
constexpr int kStackRoom = 12;

// The message handler: the error as text (or a fixed one), with a traceback of the running thread.
int luaUiTraceback(lua_State* L) {
  const int type = lua_type(L, 1);
  const char* message = type == LUA_TSTRING || type == LUA_TNUMBER ? lua_tostring(L, 1) : "Lua UI callback failed";
  luaL_traceback(L, L, message, 1);
  return 1;
}

// A body's failure: the message pushed, 1 returned.
int fail(lua_State* L, const char* message) {
  lua_pushstring(L, message);
  return 1;
}

enum class Fetch { Ready, Absent, Failed };

// Leaves handler, function, definition on the stack (Ready), nothing more to do (Absent), or a failure
// message on top (Failed).
Fetch prepareCallback(lua_State* L, Runtime& runtime, const Reference& definition, const char* name, int& handler) {
  luaL_checkstack(L, kStackRoom, nullptr);
  lua_pushcfunction(L, luaUiTraceback);
  handler = lua_gettop(L);
  if (!runtime.pushReference(definition) || !lua_istable(L, -1)) {
    fail(L, "Lua UI definition is no longer available");
    return Fetch::Failed;
  }
  const int type = rawField(L, -1, name);
  if (type == LUA_TNIL) return Fetch::Absent;
  if (type != LUA_TFUNCTION) {
    lua_pushfstring(L, "Lua UI callback '%s' must be a function", name);
    return Fetch::Failed;
  }
  lua_rotate(L, -2, 1);
  return Fetch::Ready;
}

// The callback's call; on failure the message is on top and the answer is false.
bool callLuaUiFunction(lua_State* L, int arguments, int results, int handler, const char* name) {
  if (lua_pcall(L, arguments, results, handler) == LUA_OK) return true;
  const char* text = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "unknown Lua error";
  lua_pushfstring(L, "Lua UI '%s' callback failed: %s", name, text);
  return false;
}

// A measured size: a Lua number (not a numeric string), finite, 0 ... 2147483647, truncated.
bool readSize(lua_State* L, int index, int32_t& size) {
  if (lua_type(L, index) != LUA_TNUMBER) return false;
  const double value = lua_tonumber(L, index);
  if (!(std::isfinite(value) && value >= 0.0 && value <= 2147483647.0)) return false;
  size = static_cast<int32_t>(value);
  return true;
}

// The field (raw) as one of the names: its position, -1 for nil, -2 for anything else.
template <size_t N>
int readName(lua_State* L, int table, const char* field, const char* const (&names)[N]) {
  const int type = rawField(L, table, field);
  if (type == LUA_TNIL) return -1;
  if (type != LUA_TSTRING) return -2;
  size_t length = 0;
  const char* text = lua_tolstring(L, -1, &length);
  const int found = findName({text, length}, names);
  return found < 0 ? -2 : found;
}

// The table an event callback returned, read raw field by field; the first bad field fails.
int readEventResult(lua_State* L, int table, EventResult& result) {
  const std::pair<const char*, bool*> flags[] = {{"handled", &result.handled}, {"redraw", &result.redraw}};
  for (const auto& [field, value] : flags) {
    const int type = rawField(L, table, field);
    if (type == LUA_TNIL) continue;
    if (type != LUA_TBOOLEAN) {
      lua_pushfstring(L, "Lua UI event result field '%s' must be a boolean", field);
      return 1;
    }
    *value = lua_toboolean(L, -1);
  }
  int actions[2] = {};
  const char* const actionFields[] = {"focus", "capture"};
  for (int i = 0; i < 2; ++i) {
    actions[i] = readName(L, table, actionFields[i], kActionNames);
    if (actions[i] == -2) {
      lua_pushfstring(L, "Lua UI event result field '%s' must be 'unchanged', 'acquire', or 'release'",
                      actionFields[i]);
      return 1;
    }
  }
  if (actions[0] > 0) result.focus = static_cast<FocusAction>(actions[0]);
  if (actions[1] > 0) result.capture = static_cast<CaptureAction>(actions[1]);
  const int cursor = readName(L, table, "cursor", kCursorNames);
  if (cursor == -2) return fail(L, "Lua UI event result field 'cursor' must be 'arrow', 'ibeam', or 'size_we'");
  if (cursor >= 0) {
    result.cursor = cursor;
    result.hasCursor = true;
  }
  return 0;
}

// The protected call of a body: standard exceptions become Lua errors with their text.
template <typename Body>
int protectedBody(lua_State* L) {
  Body& body = *static_cast<Body*>(lua_touserdata(L, 1));
  return raiseStdFailures(L, [&] { return body(L); });
}

}  // namespace

void pushControlEvent(lua_State* L, const ControlEvent& event) {
  const auto kind = static_cast<uint32_t>(event.kind);
  const auto button = static_cast<uint32_t>(event.button);
  lua_createtable(L, 0, 18);
  lua_pushstring(L, kind < std::size(kKindNames) ? kKindNames[kind] : "unknown");
  lua_setfield(L, -2, "kind");
  lua_pushstring(L, button < std::size(kButtonNames) ? kButtonNames[button] : "other");
  lua_setfield(L, -2, "button");
  const std::pair<const char*, double> numbers[] = {
      {"x", event.x},   {"y", event.y},  {"window_x", event.windowX}, {"window_y", event.windowY},
      {"dx", event.dx}, {"dy", event.dy}};
  for (const auto& [name, value] : numbers) {
    lua_pushnumber(L, value);
    lua_setfield(L, -2, name);
  }
  lua_pushlstring(L, event.key.data(), event.key.size());
  lua_setfield(L, -2, "key");
  lua_pushlstring(L, event.text.data(), event.text.size());
  lua_setfield(L, -2, "text");
  const std::pair<const char*, int32_t> integers[] = {
      {"text_start", event.textStart}, {"text_length", event.textLength}, {"clicks", event.clicks}};
  for (const auto& [name, value] : integers) {
    lua_pushinteger(L, value);
    lua_setfield(L, -2, name);
  }
  const std::pair<const char*, bool> flags[] = {{"repeat", event.repeat},
                                                {"control", event.control},
                                                {"shift", event.shift},
                                                {"alt", event.alt},
                                                {"system", event.system}};
  for (const auto& [name, value] : flags) {
    lua_pushboolean(L, value);
    lua_setfield(L, -2, name);
  }
}

template <typename Body>
bool Runtime::runProtected(const char* name, Body& body) {
  lua_State* L = luaState_;
  if (!lua_checkstack(L, 3)) {
    reportError("Lua UI callback skipped: the Lua stack is full");
    return false;
  }
  const int top = lua_gettop(L);
  lua_pushcfunction(L, protectedBody<Body>);
  lua_pushlightuserdata(L, &body);
  const int status = lua_pcall(L, 1, 1, 0);
  const bool succeeded = status == LUA_OK && lua_isnil(L, -1);
  if (status != LUA_OK) {
    // The frame itself raised (memory, mostly): the message is composed without allocating.
    char message[512];
    const char* text = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "unknown Lua error";
    std::snprintf(message, sizeof message, "Lua UI '%s' callback failed: %s", name, text);
    reportError(message);
  } else if (!succeeded) {
    size_t length = 0;
    const char* text = lua_tolstring(L, -1, &length);
    reportError(std::string_view(text != nullptr ? text : "", text != nullptr ? length : 0));
  }
  lua_settop(L, top);
  return succeeded;
}

std::optional<Size> Runtime::callMeasure(const Reference& definition, ControlCanvas& canvas,
                                         const Constraints& constraints, bool& enabled) {
  if (!enabled || !isActiveOnThisThread()) return std::nullopt;
  std::optional<Size> answer;
  auto body = [&](lua_State* L) {
    int handler = 0;
    const Fetch fetched = prepareCallback(L, *this, definition, "measure", handler);
    if (fetched != Fetch::Ready) return fetched == Fetch::Failed ? 1 : 0;
    if (!canvas.push()) return fail(L, kCanvasGone);
    for (const int32_t value :
         {constraints.minWidth, constraints.minHeight, constraints.maxWidth, constraints.maxHeight}) {
      lua_pushinteger(L, value);
    }
    if (!callLuaUiFunction(L, 6, 2, handler, "measure")) return 1;
    Size size;
    if (!readSize(L, -2, size.width) || !readSize(L, -1, size.height)) {
      return fail(L, "Lua UI 'measure' must return two finite, non-negative sizes");
    }
    answer = size;
    return 0;
  };
  if (!runProtected("measure", body)) enabled = false;
  return answer;
}

void Runtime::callDraw(const Reference& definition, ControlCanvas& canvas, bool& enabled) {
  if (!enabled || !isActiveOnThisThread()) return;
  auto body = [&](lua_State* L) {
    int handler = 0;
    const Fetch fetched = prepareCallback(L, *this, definition, "draw", handler);
    if (fetched != Fetch::Ready) return fetched == Fetch::Failed ? 1 : 0;
    if (!canvas.push()) return fail(L, kCanvasGone);
    return callLuaUiFunction(L, 2, 0, handler, "draw") ? 0 : 1;
  };
  if (!runProtected("draw", body)) enabled = false;
}

std::optional<EventResult> Runtime::callEvent(const Reference& definition, const ControlEvent& event,
                                              ControlCanvas& canvas, bool& enabled) {
  if (!enabled || !isActiveOnThisThread()) return std::nullopt;
  std::optional<EventResult> answer;
  auto body = [&](lua_State* L) {
    int handler = 0;
    const Fetch fetched = prepareCallback(L, *this, definition, "event", handler);
    if (fetched != Fetch::Ready) return fetched == Fetch::Failed ? 1 : 0;
    pushControlEvent(L, event);
    if (!canvas.push()) return fail(L, kCanvasGone);
    if (!callLuaUiFunction(L, 3, 1, handler, "event")) return 1;
    EventResult result;
    const int type = lua_type(L, -1);
    if (type == LUA_TTABLE) {
      if (readEventResult(L, lua_gettop(L), result) != 0) return 1;
    } else if (type != LUA_TNIL) {
      return fail(L, "Lua UI 'event' callback must return a table or nil");
    }
    answer = result;
    return 0;
  };
  if (!runProtected("event", body)) enabled = false;
  return answer;
}

bool Runtime::callCloseRequest(const Reference& definition, bool& allow) {
  allow = false;
  if (!isActiveOnThisThread()) return false;
  bool answered = false;
  auto body = [&](lua_State* L) {
    int handler = 0;
    const Fetch fetched = prepareCallback(L, *this, definition, "on_close_request", handler);
    if (fetched == Fetch::Failed) return 1;
    if (fetched == Fetch::Absent) {
      answered = allow = true;
      return 0;
    }
    if (!callLuaUiFunction(L, 1, 1, handler, "on_close_request")) return 1;
    if (!lua_isboolean(L, -1)) return fail(L, "Lua UI 'on_close_request' callback must return a boolean");
    allow = lua_toboolean(L, -1);
    answered = true;
    return 0;
  };
  runProtected("on_close_request", body);
  if (!answered) allow = false;
  return answered;
}

void Runtime::callComplete(const Reference& definition, const std::string& result, bool& enabled) {
  if (!enabled || !isActiveOnThisThread()) return;
  auto body = [&](lua_State* L) {
    int handler = 0;
    const Fetch fetched = prepareCallback(L, *this, definition, "on_complete", handler);
    if (fetched != Fetch::Ready) return fetched == Fetch::Failed ? 1 : 0;
    lua_pushlstring(L, result.data(), result.size());
    return callLuaUiFunction(L, 2, 0, handler, "on_complete") ? 0 : 1;
  };
  if (!runProtected("on_complete", body)) enabled = false;
}

bool Runtime::callFormEvent(const Reference& definition, const ControlEvent& event, bool& enabled) {
  if (!enabled || !isActiveOnThisThread()) return false;
  bool handled = false;
  auto body = [&](lua_State* L) {
    int handler = 0;
    const Fetch fetched = prepareCallback(L, *this, definition, "event", handler);
    if (fetched != Fetch::Ready) return fetched == Fetch::Failed ? 1 : 0;
    pushControlEvent(L, event);
    if (!callLuaUiFunction(L, 2, 1, handler, "event")) return 1;
    if (lua_isnil(L, -1)) return 0;
    if (!lua_isboolean(L, -1)) return fail(L, "Lua UI Form 'event' callback must return a boolean or nil");
    handled = lua_toboolean(L, -1);
    return 0;
  };
  if (!runProtected("event", body)) {
    enabled = false;
    return false;
  }
  return handled;
}

void Runtime::callDeferred(const Reference& function) {
  if (!isActiveOnThisThread()) return;
  auto body = [&](lua_State* L) {
    luaL_checkstack(L, kStackRoom, nullptr);
    lua_pushcfunction(L, luaUiTraceback);
    const int handler = lua_gettop(L);
    if (!pushReference(function) || !lua_isfunction(L, -1)) {
      return fail(L, "Deferred Lua UI callback is no longer available");
    }
    return callLuaUiFunction(L, 0, 0, handler, "deferred") ? 0 : 1;
  };
  runProtected("deferred", body);
}

}  // namespace ui::lua
