// The ordered list of native modules. Modules are added here, in this order, as they are built: system,
// renderer, canvas, db, utf8, window, form, control, layout, pane, ui_font, ui_glyph, pack, text,
// native_tokenizer, xml, web, worker.
#include "app/native_modules.h"

#include <string>
#include <vector>

#include "app/system_lua.h"
#include "db/db_lua.h"
#include "host/lua_api.h"
#include "host/lua_function_names.h"
#include "services/lua_worker.h"
#include "services/pack_lua.h"
#include "services/web_lua.h"
#include "services/worker_lua.h"
#include "services/xml_lua.h"
#include "text/native_tokenizer_lua.h"
#include "text/text_lua.h"
#include "text/utf8_lua.h"
#include "ui/lua/canvas_lua.h"
#include "ui/lua/control_lua.h"
#include "ui/lua/form_lua.h"
#include "ui/lua/layout_lua.h"
#include "ui/lua/pane_lua.h"
#include "ui/lua/renderer_lua.h"
#include "ui/lua/ui_font_lua.h"
#include "ui/lua/ui_glyph_lua.h"
#include "ui/lua/window_lua.h"

namespace {

struct NativeModule {
  const char* name;
  lua_CFunction opener;
};

const NativeModule kNativeModules[] = {
    {"system", luaopen_system},
    {"renderer", luaopen_renderer},
    {"canvas", luaopen_canvas},
    {"db", luaopen_db},
    {LUA_UTF8LIBNAME, luaopen_utf8_module},
    {"window", luaopen_window},
    {"form", luaopen_form},
    {"control", luaopen_control},
    {"layout", luaopen_layout},
    {"pane", luaopen_pane},
    {"ui_font", luaopen_ui_font},
    {"ui_glyph", luaopen_ui_glyph},
    {"pack", luaopen_pack},
    {"text", luaopen_text},
    {"native_tokenizer", luaopen_native_tokenizer},
    {"xml", luaopen_xml},
    {"web", luaopen_web},
    {"worker", luaopen_worker},
    {nullptr, nullptr},
};

}  // namespace

void registerNativeModules(lua_State* L) {
  // The worker's own state opens the same system and utf8 modules as this one.
  setWorkerStateOpeners(luaopen_system, luaopen_utf8_module);
  const std::vector<std::string> standardTypes = registeredTypeNames(L);
  std::vector<std::string> names;
  for (const NativeModule* module = kNativeModules; module->name != nullptr; ++module) {
    luaL_requiref(L, module->name, module->opener, 1);
    lua_pop(L, 1);
    names.emplace_back(module->name);
  }
  nameNativeFunctions(L, names, standardTypes);
}
