// The window module: windows are named by the registry's positive ids; every operation goes through the UI
// host and its window registry. with_render_target draws into one window through the renderer module and
// ends its frame as renderer.end_frame does, also when the function fails or closes the window.
#include "ui/lua/window_lua.h"

#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "render/window_renderer.h"
#include "ui/application.h"
#include "ui/lua/renderer_lua_internal.h"
#include "ui/lua/ui_handles_lua.h"
#include "ui/lua/ui_lua_support.h"
#include "ui/root.h"
#include "ui/window_registry.h"

namespace ui::lua {

namespace {

constexpr char kNoWindow[] = "window does not exist";
constexpr char kBooleanField[] = "window boolean field expected";

uint64_t checkWindowId(lua_State* L, int index) {
  const lua_Integer id = luaL_checkinteger(L, index);
  if (id <= 0) luaL_argerror(L, index, "window id must be positive");
  return static_cast<uint64_t>(id);
}

// window.create(options) -> id, or nil and a message
int windowCreate(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  WindowCreateInfo info;
  std::string_view title;  // stays on the stack until the end
  if (lua_getfield(L, 1, "title") != LUA_TNIL) {
    title = checkEntryText(L, TableEntry::ofField(1, "title"));
    // The native window takes its title as a C string, which a zero byte would cut short.
    if (title.find('\0') != std::string_view::npos) luaL_argerror(L, 1, "field 'title' contains a zero byte");
  }
  info.width = readCheckedField(L, 1, "width", 480, checkEntryPositiveInteger, false);
  info.height = readCheckedField(L, 1, "height", 240, checkEntryPositiveInteger, false);
  if (lua_getfield(L, 1, "owner_id") != LUA_TNIL) {
    const lua_Integer owner = checkEntryInteger(L, TableEntry::ofField(1, "owner_id"));
    if (owner <= 0) luaL_argerror(L, 1, "owner_id must be a positive window id");
    info.owner = static_cast<uint64_t>(owner);
  }
  lua_pop(L, 1);
  static const char* const kModalities[] = {"modeless", "owner_modal", nullptr};
  static const char* const kFrames[] = {"standard", "dialog", nullptr};
  lua_getfield(L, 1, "modality");
  info.modality =
      static_cast<WindowModality>(checkEntryOption(L, TableEntry::ofField(1, "modality"), "modeless", kModalities));
  lua_getfield(L, 1, "frame");
  info.frame = static_cast<WindowFrame>(checkEntryOption(L, TableEntry::ofField(1, "frame"), "standard", kFrames));
  lua_pop(L, 2);
  info.resizable = readBooleanField(L, 1, "resizable", true, kBooleanField, false);
  info.highPixelDensity = readBooleanField(L, 1, "high_pixel_density", true, kBooleanField, false);
  info.visible = readBooleanField(L, 1, "visible", true, kBooleanField, false);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "create window", [&] {
    info.title = title;
    std::string error;
    const std::optional<uint64_t> id = application.createWindow(info, error);
    if (!id) return pushFailure(L, error.c_str());
    lua_pushinteger(L, static_cast<lua_Integer>(*id));
    return 1;
  });
}

// window.close(id) -> true, or nil and a message; the windows it owns close with it
int windowClose(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  Application& application = checkApplication(L);
  WindowRegistry& windows = application.windowRegistry();
  if (windows.mainWindowId() == id) return pushFailure(L, "the main window cannot be closed through window.close");
  const std::optional<uint64_t> target = windows.renderTargetId();
  if (target && target != windows.mainWindowId()) {
    return pushFailure(L, "windows cannot be closed while a secondary window is rendering");
  }
  return returnOnOutOfMemory(L, "close window", [&] {
    if (!application.closeWindow(id)) return pushFailure(L, kNoWindow);
    return pushOutcome(L, true, {});
  });
}

// window.set_visible(id, visible) -> true, or nil and a message
int windowSetVisible(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  luaL_checktype(L, 2, LUA_TBOOLEAN);
  std::string error;
  return pushOutcome(L, checkApplication(L).setWindowVisible(id, lua_toboolean(L, 2), error), error);
}

// The descriptor tables of every window.
int pushWindowList(lua_State* L, WindowRegistry& registry) {
  const std::vector<WindowInfo> windows = registry.listWindows();
  lua_createtable(L, static_cast<int>(windows.size()), 0);
  lua_Integer index = 0;
  for (const WindowInfo& window : windows) {
    lua_createtable(L, 0, 15);
    const std::pair<const char*, lua_Integer> integers[] = {
        {"id", static_cast<lua_Integer>(window.id)}, {"native_id", window.sdlId},
        {"width", window.metrics.logicalWidth},      {"height", window.metrics.logicalHeight},
        {"pixel_width", window.metrics.pixelWidth},  {"pixel_height", window.metrics.pixelHeight}};
    for (const auto& [name, value] : integers) {
      lua_pushinteger(L, value);
      lua_setfield(L, -2, name);
    }
    lua_pushlstring(L, window.title.data(), window.title.size());
    lua_setfield(L, -2, "title");
    lua_pushnumber(L, window.metrics.displayScale);
    lua_setfield(L, -2, "display_scale");
    lua_pushnumber(L, window.metrics.pixelDensity);
    lua_setfield(L, -2, "pixel_density");
    lua_pushboolean(L, window.isMain);
    lua_setfield(L, -2, "is_main");
    lua_pushboolean(L, window.visible);
    lua_setfield(L, -2, "visible");
    lua_pushstring(L, window.modality == WindowModality::OwnerModal ? "owner_modal" : "modeless");
    lua_setfield(L, -2, "modality");
    lua_pushstring(L, window.frame == WindowFrame::Dialog ? "dialog" : "standard");
    lua_setfield(L, -2, "frame");
    if (window.owner) {
      lua_pushinteger(L, static_cast<lua_Integer>(*window.owner));
      lua_setfield(L, -2, "owner_id");
    }
    lua_rawseti(L, -2, ++index);
  }
  return 1;
}

// window.list() -> {{id, native_id, title, width, height, pixel_width, ...}, ...} by ascending id
int windowList(lua_State* L) {
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "list windows", [&] { return pushWindowList(L, application.windowRegistry()); });
}

// window.with_render_target(id, fn) -> true, or nil and a message; fn's error is raised again. The frame
// is closed only when the window still exists (fn may have closed it through its form), and the render
// target before the call is back afterwards (or none, when its window went).
int windowWithRenderTarget(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  luaL_checktype(L, 2, LUA_TFUNCTION);
  WindowRegistry& windows = checkApplication(L).windowRegistry();
  if (!windows.exists(id)) return pushFailure(L, kNoWindow);
  const WindowRenderer* current = windows.findRenderTargetRenderer();
  if (current != nullptr && current->isDrawing()) {
    return pushFailure(L, "window rendering cannot begin inside another frame");
  }
  const std::optional<uint64_t> saved = windows.renderTargetId();
  windows.setRenderTarget(id);
  windows.renderTargetRenderer().beginDrawing();
  lua_pushvalue(L, 2);
  const int status = lua_pcall(L, 0, 0, 0);
  bool drawn = true;
  if (windows.exists(id)) {
    try {
      windows.window(id).renderer()->endDrawing();
    } catch (const std::bad_alloc&) {
      drawn = false;
    }
  }
  if (saved && windows.exists(*saved)) {
    windows.setRenderTarget(*saved);
  } else {
    windows.clearRenderTarget();
  }
  renewCanvasKeepAlive(L);
  if (status != LUA_OK) {
    if (windows.exists(id)) windows.invalidate(id);
    return lua_error(L);
  }
  if (!drawn) return pushFailure(L, "not enough memory to draw the frame");
  if (windows.exists(id)) windows.window(id).clearRedraw();
  lua_pushboolean(L, 1);
  return 1;
}

// Pushes one table per event, in an array.
void pushEventArray(lua_State* L, const std::deque<WindowEvent>& events) {
  lua_createtable(L, static_cast<int>(events.size()), 0);
  lua_Integer index = 0;
  for (const WindowEvent& event : events) {
    lua_createtable(L, 0, 16);
    lua_pushlstring(L, event.type.data(), event.type.size());
    lua_setfield(L, -2, "type");
    if (!event.text.empty()) {
      lua_pushlstring(L, event.text.data(), event.text.size());
      lua_setfield(L, -2, "text");
    }
    const std::pair<const char*, double> numbers[] = {
        {"x", event.x}, {"y", event.y}, {"dx", event.dx}, {"dy", event.dy}};
    for (const auto& [name, value] : numbers) {
      lua_pushnumber(L, value);
      lua_setfield(L, -2, name);
    }
    const std::pair<const char*, int32_t> integers[] = {{"clicks", event.clicks},
                                                        {"width", event.width},
                                                        {"height", event.height},
                                                        {"text_start", event.textStart},
                                                        {"text_length", event.textLength}};
    for (const auto& [name, value] : integers) {
      lua_pushinteger(L, value);
      lua_setfield(L, -2, name);
    }
    const std::pair<const char*, bool> flags[] = {{"control", event.control},
                                                  {"shift", event.shift},
                                                  {"alt", event.alt},
                                                  {"system", event.system},
                                                  {"repeat", event.repeat}};
    for (const auto& [name, value] : flags) {
      lua_pushboolean(L, value);
      lua_setfield(L, -2, name);
    }
    lua_rawseti(L, -2, ++index);
  }
}

// window.poll_events(id) -> {{type, text, x, y, ...}, ...} in queue order, or nil and a message; a poll that
// runs out of memory leaves the events queued
int windowPollEvents(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  WindowRegistry& windows = checkApplication(L).windowRegistry();
  if (!windows.exists(id)) return pushFailure(L, kNoWindow);
  std::deque<WindowEvent> events = windows.takeEvents(id);
  bool built = false;
  const int results = returnOnOutOfMemory(L, "poll window events", [&] {
    pushEventArray(L, events);
    built = true;
    return 1;
  });
  // A finalizer run while the tables were made may have closed the window, or queued events behind these.
  if (!built && windows.exists(id)) {
    try {
      windows.putBackEvents(id, std::move(events));
    } catch (const std::bad_alloc&) {
      // only events queued meanwhile need room, and only they are lost
    }
  }
  return results;
}

// window._queue_test_event(id, event) -> true, or nil and a message; a "test" event on a rootless window
int windowQueueTestEvent(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  luaL_checktype(L, 2, LUA_TTABLE);
  WindowEvent event;
  event.type = "test";
  event.control = readBooleanField(L, 2, "control", false, kBooleanField, false);
  event.shift = readBooleanField(L, 2, "shift", false, kBooleanField, false);
  event.alt = readBooleanField(L, 2, "alt", false, kBooleanField, false);
  event.system = readBooleanField(L, 2, "system", false, kBooleanField, false);
  event.repeat = readBooleanField(L, 2, "repeat", false, kBooleanField, false);
  event.textStart = readCheckedField(L, 2, "text_start", 0, checkEntryIntegerNumber, false);
  event.textLength = readCheckedField(L, 2, "text_length", 0, checkEntryIntegerNumber, false);
  WindowRegistry& windows = checkApplication(L).windowRegistry();
  if (!windows.exists(id)) return pushFailure(L, kNoWindow);
  if (windows.mainWindowId() == id || windows.window(id).hasRoot()) {
    return pushFailure(L, "test events require a rootless secondary window");
  }
  windows.queueEvent(id, std::move(event));
  return pushOutcome(L, true, {});
}

// window.invalidate(id) -> true, or nil and a message: the next paint redraws the whole window
int windowInvalidate(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  WindowRegistry& windows = checkApplication(L).windowRegistry();
  if (!windows.exists(id)) return pushFailure(L, kNoWindow);
  if (!windows.window(id).hasRoot()) return pushFailure(L, "window has no attached UI root");
  windows.invalidate(id);
  return pushOutcome(L, true, {});
}

// window.attach_test_root(id) -> true, or nil and a message
int windowAttachTestRoot(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  WindowRegistry& windows = checkApplication(L).windowRegistry();
  if (!windows.exists(id)) return pushFailure(L, kNoWindow);
  if (windows.mainWindowId() == id) return pushFailure(L, "a test root cannot replace the main workspace");
  if (windows.window(id).hasRoot()) return pushFailure(L, "window already has a UI root");
  return returnOnOutOfMemory(L, "attach test root", [&] {
    windows.setRoot(id, std::make_unique<TestRoot>(id));
    return pushOutcome(L, true, {});
  });
}

// window.has_root(id) -> boolean, or nil and a message
int windowHasRoot(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  WindowRegistry& windows = checkApplication(L).windowRegistry();
  if (!windows.exists(id)) return pushFailure(L, kNoWindow);
  lua_pushboolean(L, windows.window(id).hasRoot());
  return 1;
}

// window.attach_form(id, form) -> true, or nil and a message
int windowAttachForm(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  const FormHandle form = checkForm(L, 2);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "attach form", [&] {
    std::string error;
    return pushOutcome(L, application.requestAttachForm(id, form, error), error);
  });
}

// window.detach_form(id) -> true, or nil and a message
int windowDetachForm(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  Application& application = checkApplication(L);
  return returnOnOutOfMemory(L, "detach form", [&] {
    std::string error;
    return pushOutcome(L, application.requestDetachForm(id, error), error);
  });
}

// window.get_form(id) -> Form, or nil when none is attached; nil and a message for an unknown window
int windowGetForm(lua_State* L) {
  const uint64_t id = checkWindowId(L, 1);
  Application& application = checkApplication(L);
  if (!application.windowRegistry().exists(id)) return pushFailure(L, kNoWindow);
  const std::optional<FormHandle> form = application.formOfWindow(id);
  if (!form) {
    lua_pushnil(L);
    return 1;
  }
  pushForm(L, *form);
  return 1;
}

const luaL_Reg kWindowFunctions[] = {
    {"create", windowCreate},
    {"close", windowClose},
    {"set_visible", windowSetVisible},
    {"list", windowList},
    {"with_render_target", windowWithRenderTarget},
    {"poll_events", windowPollEvents},
    {"_queue_test_event", windowQueueTestEvent},
    {"invalidate", windowInvalidate},
    {"attach_test_root", windowAttachTestRoot},
    {"has_root", windowHasRoot},
    {"attach_form", windowAttachForm},
    {"detach_form", windowDetachForm},
    {"get_form", windowGetForm},
    {nullptr, nullptr},
};

}  // namespace

}  // namespace ui::lua

int luaopen_window(lua_State* L) {
  luaL_checkversion(L);
  luaL_newlib(L, ui::lua::kWindowFunctions);
  return 1;
}
