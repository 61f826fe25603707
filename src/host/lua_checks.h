// Argument checkers shared by every native Lua module: each converts one argument or raises a fixed message.
#pragma once

#include <cstdint>
#include <string_view>

struct lua_State;

int32_t checkIntegerNumber(lua_State* L, int index);
int32_t checkCppInteger(lua_State* L, int index);
int32_t checkNonNegativeInteger(lua_State* L, int index);
int32_t checkPositiveInteger(lua_State* L, int index);
double checkNonNegativeNumber(lua_State* L, int index);
float checkFloatNumber(lua_State* L, int index);
float checkPositiveFloat(lua_State* L, int index);
int checkColorChannel(lua_State* L, int index);

// The string at index for a call that takes C strings: one that holds a zero byte, which the call would cut
// short, raises "string contains a zero byte".
std::string_view checkTextWithoutZero(lua_State* L, int index);

// Raises `message` as a bad-argument error for index >= 1, else as a plain error with the current position.
[[noreturn]] void raiseArgumentError(lua_State* L, int index, const char* message);
