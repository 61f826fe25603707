// Helpers shared by the binding files of the `system` module: string arguments and results, the error
// results of failed system calls, and the conversion of running out of memory into an error result.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "host/lua_memory_guard.h"

struct SDL_Window;

std::string_view checkStringView(lua_State* L, int index);
void pushStringView(lua_State* L, std::string_view text);

// True when text holds a zero byte, which no system call can take.
inline bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// The main workspace window, or null while there is none (then a dialog has no owner).
SDL_Window* mainWorkspaceWindow();

// The system's text for an errno value, without a trailing period or line break; empty when it has none.
std::string systemErrorText(int code);

// Pushes nil and message; returns 2.
int pushFailure(lua_State* L, const char* message);
// Pushes nil and "<what>: <system text> (<code>)"; returns 2. Used by the file functions and the launchers.
int pushPlatformError(lua_State* L, const char* what, int code);
// Pushes nil and "<what>: <system text>"; returns 2.
int formatWindowsError(lua_State* L, const char* what, int code);
// Runs body (which pushes its results and returns their count) through returnOnOutOfMemory: running out of
// memory, Lua's or C++'s, or a text too long for a string, answers nil and "not enough memory to <task>"
// (task a string literal).
template <typename Body>
int guardMemory(lua_State* L, const char* task, Body&& body) {
  return returnOnOutOfMemory(L, task, [&] {
    try {
      return body();
    } catch (const std::length_error&) {
      throw std::bad_alloc();
    }
  });
}
