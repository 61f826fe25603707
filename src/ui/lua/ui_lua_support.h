// What the UI modules (window, form, control, layout, pane) and the control canvas share: the UI host,
// their failure results, the option-table readers and the guards that turn C++ failures into results or
// Lua errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "host/lua_memory_guard.h"

class Application;

namespace ui::lua {

// The process's UI host; raises "the UI host is not running" when there is none.
Application& checkApplication(lua_State* L);

// Pushes nil and the message; 2 results.
int pushFailure(lua_State* L, const char* message);
// Pushes true, or nil and the host's message; the result count.
int pushOutcome(lua_State* L, bool succeeded, const std::string& error);

// The pointer cursors a control may show, by their Lua names, in the host's order.
inline constexpr const char* kCursorNames[] = {"arrow", "ibeam", "size_we"};

// The position of the text among the names, or -1.
template <size_t N>
int findName(std::string_view text, const char* const (&names)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (text == names[i]) return static_cast<int>(i);
  }
  return -1;
}

// Pushes the field of the table at index, read raw; its type.
int rawField(lua_State* L, int index, const char* field);
// The raw "name" field of the options table at argument `table`, left pushed so that the text stays alive:
// empty when nil, else a string, or `message` is raised as an argument error there.
std::string_view readNameField(lua_State* L, int table, const char* message);

// A colour table {r, g, b [, a]} read raw, each channel a number from 0 to 255 (alpha 255 when absent);
// packed r | g << 8 | b << 16 | a << 24. The colour is argument `argument`, or with a field name that field
// of the options table there, pushed on the stack's top by the caller. A table or channel of the wrong type,
// or a channel out of range, raises the argument error that names it.
uint32_t readUiColor(lua_State* L, int argument, const char* field = nullptr);

// The boolean field of the table at argument `table`: the default when nil, else it must be a boolean, or
// `message` is raised as an argument error there (or at `argument`, for a table nested in that argument).
// raw selects lua_rawget over lua_getfield.
bool readBooleanField(lua_State* L, int table, const char* field, bool fallback, const char* message, bool raw,
                      int argument = 0);
// A number field of the options table at argument `table`, checked by the entry checker `checker` (a value
// that is not a number, or one out of range, raises the argument error naming the field); the default when
// nil. raw selects lua_rawget over lua_getfield.
int32_t readCheckedField(lua_State* L, int table, const char* field, int32_t fallback,
                         int32_t (*checker)(lua_State*, const TableEntry&), bool raw);

// Runs native work; a standard exception becomes a Lua error with its text ("not enough memory" for
// std::bad_alloc), raised after the exception is gone. Lua errors raised inside pass through unchanged.
template <typename Work>
decltype(auto) raiseStdFailures(lua_State* L, Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    lua_pushliteral(L, "not enough memory");
  } catch (const std::exception& failure) {
    lua_pushstring(L, failure.what());
  }
  lua_error(L);
  std::abort();  // unreachable: lua_error raises
}

}  // namespace ui::lua
