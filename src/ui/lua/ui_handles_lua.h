// The handle userdata through which scripts name forms ("Form") and the nodes of forms ("Layout", "Pane",
// "Control"): copies of the host's handles that own nothing. Their metatables hold only __eq, which refuses
// a handle of another type with Lua's argument error, and __tostring ("Form(3:1)", "Pane(2:5:1)").
#pragma once

#include "ui/ui_types.h"

struct lua_State;

namespace ui::lua {

inline constexpr char kFormType[] = "Form";
inline constexpr char kLayoutType[] = "Layout";
inline constexpr char kPaneType[] = "Pane";
inline constexpr char kControlType[] = "Control";

// The push functions answer the pushed userdata's own copy, which a caller may fill in later: a handle made
// before the object it names lets the caller name it without needing memory afterwards.
FormHandle checkForm(lua_State* L, int index);
FormHandle* pushForm(lua_State* L, const FormHandle& form);
NodeHandle checkLayout(lua_State* L, int index);
NodeHandle checkPane(lua_State* L, int index);
NodeHandle checkControl(lua_State* L, int index);
NodeHandle* pushLayout(lua_State* L, const NodeHandle& node);
NodeHandle* pushPane(lua_State* L, const NodeHandle& node);
NodeHandle* pushControl(lua_State* L, const NodeHandle& node);

// Creates the metatable of one handle type (one of the names above) and pops it.
void registerHandleMetatable(lua_State* L, const char* typeName);

}  // namespace ui::lua
