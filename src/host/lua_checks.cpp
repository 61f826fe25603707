// The argument checkers. Range tests are made on the double before truncation, so 2147483647.5 is refused
// while 2147483647.0 passes; NaN fails every comparison and so every checker's first test.
#include "host/lua_checks.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "host/lua_api.h"

static_assert(std::is_same_v<lua_Integer, long long>, "TableEntry keeps element positions as lua_Integer");

namespace {

constexpr double kIntMin = -2147483648.0;
constexpr double kIntMax = 2147483647.0;
constexpr double kFloatMax = static_cast<double>(std::numeric_limits<float>::max());

constexpr const char* kIntegerRange = "expected a finite number in integer range";

bool isFinite(double value) { return std::isfinite(value); }

// The argument when it is exactly an integer from `low` to INT32_MAX (the usual case, read without going
// through a double); otherwise false, and the caller's checks on the number give the same value or error.
bool plainInteger(lua_State* L, int index, lua_Integer low, int32_t* value) {
  int isInteger = 0;
  const lua_Integer integer = lua_tointegerx(L, index, &isInteger);
  if (isInteger == 0 || integer < low || integer > INT32_MAX) return false;
  *value = static_cast<int32_t>(integer);
  return true;
}

// Each checker's test of a number: its message when the number fails, else null.
const char* integerNumberFailure(double value) {
  return isFinite(value) && value >= kIntMin && value <= kIntMax ? nullptr : kIntegerRange;
}

const char* nonNegativeIntegerFailure(double value) {
  if (!(isFinite(value) && value >= 0.0)) return "expected a finite non-negative number in integer range";
  return value > kIntMax ? kIntegerRange : nullptr;
}

const char* positiveIntegerFailure(double value) {
  if (!(isFinite(value) && value >= 1.0)) return "expected a positive number in integer range";
  return value > kIntMax ? kIntegerRange : nullptr;
}

const char* floatNumberFailure(double value) {
  return isFinite(value) && std::fabs(value) <= kFloatMax ? nullptr : "expected a finite number in float range";
}

// Tested on the single-precision value, as it is used.
const char* positiveFloatFailure(double value) {
  if (const char* failure = floatNumberFailure(value)) return failure;
  return static_cast<float>(value) > 0.0f ? nullptr : "expected a positive number";
}

const char* colorChannelFailure(double value) {
  return isFinite(value) && value >= 0.0 && value <= 255.0 ? nullptr : "expected a color channel from 0 to 255";
}

// The argument at index as a number that passes the test; otherwise the checker's argument error.
double checkedNumber(lua_State* L, int index, const char* (*failureOf)(double)) {
  const double value = luaL_checknumber(L, index);
  if (const char* failure = failureOf(value)) raiseArgumentError(L, index, failure);
  return value;
}

// The entry's value as a number that passes the test; otherwise its type error, or the checker's message
// framed as the entry's error.
double checkedEntryNumber(lua_State* L, const TableEntry& entry, const char* (*failureOf)(double)) {
  checkEntryType(L, entry, LUA_TNUMBER);
  const double value = lua_tonumber(L, -1);
  if (const char* failure = failureOf(value)) raiseEntryError(L, entry, failure);
  return value;
}

}  // namespace

void raiseArgumentError(lua_State* L, int index, const char* message) {
  if (index >= 1) luaL_argerror(L, index, message);
  luaL_error(L, "%s", message);
  std::abort();  // unreachable: both calls raise
}

int32_t checkIntegerNumber(lua_State* L, int index) {
  if (int32_t value = 0; plainInteger(L, index, INT32_MIN, &value)) return value;
  return static_cast<int32_t>(checkedNumber(L, index, integerNumberFailure));
}

int32_t checkCppInteger(lua_State* L, int index) {
  const lua_Integer value = luaL_checkinteger(L, index);
  if (value < INT32_MIN || value > INT32_MAX) {
    raiseArgumentError(L, index, "expected an integer in C++ integer range");
  }
  return static_cast<int32_t>(value);
}

int32_t checkNonNegativeInteger(lua_State* L, int index) {
  if (int32_t value = 0; plainInteger(L, index, 0, &value)) return value;
  return static_cast<int32_t>(checkedNumber(L, index, nonNegativeIntegerFailure));
}

int32_t checkPositiveInteger(lua_State* L, int index) {
  if (int32_t value = 0; plainInteger(L, index, 1, &value)) return value;
  return static_cast<int32_t>(checkedNumber(L, index, positiveIntegerFailure));
}

double checkNonNegativeNumber(lua_State* L, int index) {
  const double value = luaL_checknumber(L, index);
  if (!(isFinite(value) && value >= 0.0)) raiseArgumentError(L, index, "expected a finite non-negative number");
  return value;
}

float checkFloatNumber(lua_State* L, int index) {
  return static_cast<float>(checkedNumber(L, index, floatNumberFailure));
}

float checkPositiveFloat(lua_State* L, int index) {
  return static_cast<float>(checkedNumber(L, index, positiveFloatFailure));
}

int checkColorChannel(lua_State* L, int index) {
  return static_cast<int>(checkedNumber(L, index, colorChannelFailure));
}

std::string_view checkTextWithoutZero(lua_State* L, int index) {
  size_t length = 0;
  const char* text = luaL_checklstring(L, index, &length);
  const std::string_view view(text, length);
  if (view.find('\0') != std::string_view::npos) raiseArgumentError(L, index, "string contains a zero byte");
  return view;
}

void raiseEntryError(lua_State* L, const TableEntry& entry, const char* message) {
  luaL_Buffer text;
  luaL_buffinit(L, &text);
  if (entry.field != nullptr) {
    lua_pushfstring(L, "field '%s'", entry.field);
    luaL_addvalue(&text);
  }
  if (entry.element != 0) {
    lua_pushfstring(L, entry.field != nullptr ? " element %I" : "element %I", static_cast<lua_Integer>(entry.element));
    luaL_addvalue(&text);
  }
  if (entry.elementField != nullptr) {
    const bool first = entry.field == nullptr && entry.element == 0;
    lua_pushfstring(L, first ? "field '%s'" : " field '%s'", entry.elementField);
    luaL_addvalue(&text);
  }
  luaL_addstring(&text, ": ");
  luaL_addstring(&text, message);
  luaL_pushresult(&text);
  luaL_argerror(L, entry.argument, lua_tostring(L, -1));
  std::abort();  // unreachable: luaL_argerror raises
}

void checkEntryType(lua_State* L, const TableEntry& entry, int type) {
  const bool fits = type == LUA_TNUMBER   ? lua_isnumber(L, -1) != 0
                    : type == LUA_TSTRING ? lua_isstring(L, -1) != 0
                                          : lua_type(L, -1) == type;
  if (!fits) raiseEntryTypeError(L, entry, type);
}

void raiseEntryTypeError(lua_State* L, const TableEntry& entry, int type) {
  // The actual type as Lua's own type error names it.
  const int value = lua_gettop(L);
  const char* actual = nullptr;
  if (luaL_getmetafield(L, value, "__name") == LUA_TSTRING) {
    actual = lua_tostring(L, -1);
  } else {
    actual = lua_type(L, value) == LUA_TLIGHTUSERDATA ? "light userdata" : luaL_typename(L, value);
  }
  raiseEntryError(L, entry, lua_pushfstring(L, "%s expected, got %s", lua_typename(L, type), actual));
}

long long checkEntryInteger(lua_State* L, const TableEntry& entry) {
  int isInteger = 0;
  const lua_Integer value = lua_tointegerx(L, -1, &isInteger);
  if (isInteger != 0) return value;
  checkEntryType(L, entry, LUA_TNUMBER);
  raiseEntryError(L, entry, "number has no integer representation");
}

std::string_view checkEntryText(lua_State* L, const TableEntry& entry) {
  checkEntryType(L, entry, LUA_TSTRING);
  size_t length = 0;
  const char* text = lua_tolstring(L, -1, &length);
  return {text, length};
}

int checkEntryOption(lua_State* L, const TableEntry& entry, const char* fallback, const char* const names[]) {
  const char* name = fallback;
  if (!lua_isnil(L, -1) || fallback == nullptr) name = checkEntryText(L, entry).data();
  for (int i = 0; names[i] != nullptr; ++i) {
    if (std::strcmp(names[i], name) == 0) return i;
  }
  raiseEntryError(L, entry, lua_pushfstring(L, "invalid option '%s'", name));
}

int32_t checkEntryIntegerNumber(lua_State* L, const TableEntry& entry) {
  return static_cast<int32_t>(checkedEntryNumber(L, entry, integerNumberFailure));
}

int32_t checkEntryNonNegativeInteger(lua_State* L, const TableEntry& entry) {
  return static_cast<int32_t>(checkedEntryNumber(L, entry, nonNegativeIntegerFailure));
}

int32_t checkEntryPositiveInteger(lua_State* L, const TableEntry& entry) {
  return static_cast<int32_t>(checkedEntryNumber(L, entry, positiveIntegerFailure));
}

float checkEntryFloatNumber(lua_State* L, const TableEntry& entry) {
  return static_cast<float>(checkedEntryNumber(L, entry, floatNumberFailure));
}

float checkEntryPositiveFloat(lua_State* L, const TableEntry& entry) {
  return static_cast<float>(checkedEntryNumber(L, entry, positiveFloatFailure));
}

int checkEntryColorChannel(lua_State* L, const TableEntry& entry) {
  return static_cast<int>(checkedEntryNumber(L, entry, colorChannelFailure));
}
