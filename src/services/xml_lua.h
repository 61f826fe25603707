// The opener of the Lua `xml` module (XML documents over pugixml).
#pragma once

struct lua_State;

int luaopen_xml(lua_State* L);
