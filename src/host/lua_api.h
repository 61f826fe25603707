// The Lua 5.5 embedding API. Lua is compiled as C++ here, so its headers are included without extern "C"
// and a Lua error unwinds C++ frames as an exception (destructors run).
#pragma once

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
