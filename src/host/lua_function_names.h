// Names for the native functions that Lua cannot name by itself. An argument error names its function by
// the call Lua sees ('get_width' in font:get_width(x)) or else by a search of package.loaded, two tables
// deep ('system.read_file' when pcall calls it). That search reaches neither a type's methods nor the
// functions of a module's inner table (renderer.font.load, pack.zlib.compress), which were named '?'. Each
// such function is entered into package.loaded under its whole name, "module.field.function" or
// "Type.method", so they read 'pack.zlib.compress' and 'Canvas.get_pixel' (and the same in tracebacks).
// Nothing is entered under the name of a type or an inner table, which stays free for the scripts' own
// modules: require("Canvas") loads the scripts' Canvas.lua.
#pragma once

#include <string>
#include <vector>

struct lua_State;

// The names of the userdata types in the registry: the tables that name themselves with __name.
std::vector<std::string> registeredTypeNames(lua_State* L);

// Enters the functions of the inner tables of each module in `modules` (names in package.loaded), and the
// methods of each type registered since `typesBefore` was taken, as described above. A name that
// package.loaded holds already is left out.
void nameNativeFunctions(lua_State* L, const std::vector<std::string>& modules,
                         const std::vector<std::string>& typesBefore);
