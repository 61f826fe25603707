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

// A value inside a table argument, which the caller has pushed on the stack's top: the field `field` of the
// table at argument `argument` (an options table), its element `element`, that element of the table in the
// field (a colour given as an option), or the field `elementField` of the element (an array of records). Its
// errors are argument errors at `argument` that say which value was wrong: "bad argument #3 to 'load' (field
// 'embolden': number expected, got string)", "(element 2 field 'x': ...)".
struct TableEntry {
  int argument = 0;
  const char* field = nullptr;
  long long element = 0;               // 0: none
  const char* elementField = nullptr;  // a field of the element

  static TableEntry ofField(int argument, const char* field) { return {argument, field, 0, nullptr}; }
  static TableEntry ofElement(int argument, long long element) { return {argument, nullptr, element, nullptr}; }
  TableEntry withElement(long long index) const { return {argument, field, index, nullptr}; }
  TableEntry withElementField(const char* name) const { return {argument, field, element, name}; }
};

// Raises "bad argument #N to 'f' (field 'x': message)" for the entry.
[[noreturn]] void raiseEntryError(lua_State* L, const TableEntry& entry, const char* message);
// Raises Lua's type error for the entry's value: "<type> expected, got <its type>".
[[noreturn]] void raiseEntryTypeError(lua_State* L, const TableEntry& entry, int type);
// The entry's value has the Lua type, as the standard checkers see it (a number or a string that converts to
// one is a number, a number is a string); otherwise Lua's type error, naming the entry.
void checkEntryType(lua_State* L, const TableEntry& entry, int type);
// As luaL_checkinteger, luaL_checklstring and luaL_checkoption (nil takes `fallback`), naming the entry.
long long checkEntryInteger(lua_State* L, const TableEntry& entry);
std::string_view checkEntryText(lua_State* L, const TableEntry& entry);
int checkEntryOption(lua_State* L, const TableEntry& entry, const char* fallback, const char* const names[]);

// The number checkers for an entry: a value that is not a number raises the entry's type error, a number out
// of range the checker's message as the entry's error ("(field 'width': expected a positive number in
// integer range)").
int32_t checkEntryIntegerNumber(lua_State* L, const TableEntry& entry);
int32_t checkEntryNonNegativeInteger(lua_State* L, const TableEntry& entry);
int32_t checkEntryPositiveInteger(lua_State* L, const TableEntry& entry);
float checkEntryFloatNumber(lua_State* L, const TableEntry& entry);
float checkEntryPositiveFloat(lua_State* L, const TableEntry& entry);
int checkEntryColorChannel(lua_State* L, const TableEntry& entry);
