// The handle userdata: plain copies of the words of a host handle, compared word by word.
#include "ui/lua/ui_handles_lua.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "host/lua_api.h"

namespace ui::lua {

namespace {

template <typename Handle>
Handle checkHandle(lua_State* L, int index, const char* typeName) {
  return *static_cast<const Handle*>(luaL_checkudata(L, index, typeName));
}

template <typename Handle>
Handle* pushHandle(lua_State* L, const Handle& handle, const char* typeName) {
  void* memory = lua_newuserdatauv(L, sizeof(Handle), 0);
  std::memcpy(memory, &handle, sizeof(Handle));
  luaL_setmetatable(L, typeName);
  return static_cast<Handle*>(memory);
}

// __eq of one type: both sides must be of it.
template <typename Handle, const char* TypeName>
int handleEquals(lua_State* L) {
  lua_pushboolean(L, checkHandle<Handle>(L, 1, TypeName) == checkHandle<Handle>(L, 2, TypeName));
  return 1;
}

int formToString(lua_State* L) {
  const FormHandle form = checkHandle<FormHandle>(L, 1, kFormType);
  char text[64];
  std::snprintf(text, sizeof text, "Form(%" PRIu64 ":%" PRIu64 ")", form.index, form.generation);
  lua_pushstring(L, text);
  return 1;
}

template <const char* TypeName>
int nodeToString(lua_State* L) {
  const NodeHandle node = checkHandle<NodeHandle>(L, 1, TypeName);
  char text[96];
  std::snprintf(text, sizeof text, "%s(%" PRIu64 ":%" PRIu64 ":%" PRIu64 ")", TypeName, node.form, node.index,
                node.generation);
  lua_pushstring(L, text);
  return 1;
}

struct HandleType {
  const char* name;
  lua_CFunction equals;
  lua_CFunction toString;
};

constexpr HandleType kHandleTypes[] = {
    {kFormType, handleEquals<FormHandle, kFormType>, formToString},
    {kLayoutType, handleEquals<NodeHandle, kLayoutType>, nodeToString<kLayoutType>},
    {kPaneType, handleEquals<NodeHandle, kPaneType>, nodeToString<kPaneType>},
    {kControlType, handleEquals<NodeHandle, kControlType>, nodeToString<kControlType>},
};

}  // namespace

FormHandle checkForm(lua_State* L, int index) { return checkHandle<FormHandle>(L, index, kFormType); }
FormHandle* pushForm(lua_State* L, const FormHandle& form) { return pushHandle(L, form, kFormType); }
NodeHandle checkLayout(lua_State* L, int index) { return checkHandle<NodeHandle>(L, index, kLayoutType); }
NodeHandle checkPane(lua_State* L, int index) { return checkHandle<NodeHandle>(L, index, kPaneType); }
NodeHandle checkControl(lua_State* L, int index) { return checkHandle<NodeHandle>(L, index, kControlType); }
NodeHandle* pushLayout(lua_State* L, const NodeHandle& node) { return pushHandle(L, node, kLayoutType); }
NodeHandle* pushPane(lua_State* L, const NodeHandle& node) { return pushHandle(L, node, kPaneType); }
NodeHandle* pushControl(lua_State* L, const NodeHandle& node) { return pushHandle(L, node, kControlType); }

void registerHandleMetatable(lua_State* L, const char* typeName) {
  for (const HandleType& type : kHandleTypes) {
    if (std::strcmp(type.name, typeName) != 0) continue;
    luaL_newmetatable(L, type.name);
    lua_pushcfunction(L, type.equals);
    lua_setfield(L, -2, "__eq");
    lua_pushcfunction(L, type.toString);
    lua_setfield(L, -2, "__tostring");
    lua_pop(L, 1);
  }
}

}  // namespace ui::lua
