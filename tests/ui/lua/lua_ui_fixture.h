// A headless qz for the Lua UI: the system fixture's application, main window and main Lua state, with the
// UI modules opened (which binds the Lua UI runtime to that state) and the scripts' error handler
// collecting reports in the global `reports`.
#pragma once

#include <string>

#include "system_module_fixture.h"
#include "ui/lua/control_lua.h"
#include "ui/lua/form_lua.h"
#include "ui/lua/layout_lua.h"
#include "ui/lua/lua_ui_runtime.h"
#include "ui/lua/pane_lua.h"
#include "ui/lua/renderer_lua.h"
#include "ui/lua/ui_font_lua.h"
#include "ui/lua/ui_glyph_lua.h"
#include "ui/lua/window_lua.h"

class LuaUiTest : public SystemModuleTest {
 protected:
  void SetUp() override {
    SystemModuleTest::SetUp();
    const std::pair<const char*, lua_CFunction> modules[] = {
        {"renderer", luaopen_renderer}, {"window", luaopen_window},    {"form", luaopen_form},
        {"control", luaopen_control},   {"layout", luaopen_layout},    {"pane", luaopen_pane},
        {"ui_font", luaopen_ui_font},   {"ui_glyph", luaopen_ui_glyph}};
    for (const auto& [name, opener] : modules) {
      luaL_requiref(L, name, opener, 1);
      lua_pop(L, 1);
    }
    run("reports = {} core = {on_error = function(message) reports[#reports + 1] = message end}");
  }

  void TearDown() override {
    shutdownLuaUi(L);
    ui::lua::abandonLuaUiRuntime(L);
    SystemModuleTest::TearDown();
  }

  // The reports collected since the last call.
  Values takeReports() { return run("local taken = reports; reports = {}; return table.unpack(taken)"); }

  // Runs the chunk, which must succeed; its results.
  Values ok(const std::string& chunk) {
    Values results = run(chunk);
    EXPECT_FALSE(!results.empty() && results[0].rfind("error: ", 0) == 0) << results[0];
    return results;
  }
};
