// Live resize: while a platform sizing loop keeps the scripts' own loop from running, size and expose events
// raised on another thread reach the scripts through a callback run on the main thread.
#pragma once

struct lua_State;

// Removes the event watch and the callback; releases the callback's reference in L's registry when L is
// given. Harmless when nothing is installed. Called at shutdown before the Lua state is closed.
void clearLiveResizeCallback(lua_State* L);
