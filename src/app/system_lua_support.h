// Helpers shared by the binding files of the `system` module: string arguments and results, the error
// results of failed system calls, and the conversion of a failed allocation into an error result.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

struct lua_State;

std::string_view checkStringView(lua_State* L, int index);
void pushStringView(lua_State* L, std::string_view text);

// True when text holds a zero byte, which no system call can take.
inline bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// The system's text for an errno value, without a trailing period or line break; empty when it has none.
std::string systemErrorText(int code);

// Pushes nil and message; returns 2.
int pushFailure(lua_State* L, const char* message);
// Pushes nil and "<what>: <system text> (<code>)"; returns 2. Used by the file functions and the launchers.
int pushPlatformError(lua_State* L, const char* what, int code);
// Pushes nil and "<what>: <system text>"; returns 2.
int formatWindowsError(lua_State* L, const char* what, int code);
// Pushes nil and "not enough memory to <task>"; returns 2.
int pushOutOfMemory(lua_State* L, const char* task);

// Runs body (which pushes its results and returns their count); a failed allocation inside it gives the
// results of pushOutOfMemory instead. Lua errors pass through untouched.
template <typename Body>
int guardMemory(lua_State* L, const char* task, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return pushOutOfMemory(L, task);
  } catch (const std::length_error&) {
    return pushOutOfMemory(L, task);
  }
}
