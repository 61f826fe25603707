// The argument checkers. Range tests are made on the double before truncation, so 2147483647.5 is refused
// while 2147483647.0 passes; NaN fails every comparison and so every checker's first test.
#include "host/lua_checks.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "host/lua_api.h"

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

}  // namespace

void raiseArgumentError(lua_State* L, int index, const char* message) {
  if (index >= 1) luaL_argerror(L, index, message);
  luaL_error(L, "%s", message);
  std::abort();  // unreachable: both calls raise
}

int32_t checkIntegerNumber(lua_State* L, int index) {
  if (int32_t value = 0; plainInteger(L, index, INT32_MIN, &value)) return value;
  const double value = luaL_checknumber(L, index);
  if (!(isFinite(value) && value >= kIntMin && value <= kIntMax)) raiseArgumentError(L, index, kIntegerRange);
  return static_cast<int32_t>(value);
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
  const double value = luaL_checknumber(L, index);
  if (!(isFinite(value) && value >= 0.0)) {
    raiseArgumentError(L, index, "expected a finite non-negative number in integer range");
  }
  if (value > kIntMax) raiseArgumentError(L, index, kIntegerRange);
  return static_cast<int32_t>(value);
}

int32_t checkPositiveInteger(lua_State* L, int index) {
  if (int32_t value = 0; plainInteger(L, index, 1, &value)) return value;
  const double value = luaL_checknumber(L, index);
  if (!(isFinite(value) && value >= 1.0)) raiseArgumentError(L, index, "expected a positive number in integer range");
  if (value > kIntMax) raiseArgumentError(L, index, kIntegerRange);
  return static_cast<int32_t>(value);
}

double checkNonNegativeNumber(lua_State* L, int index) {
  const double value = luaL_checknumber(L, index);
  if (!(isFinite(value) && value >= 0.0)) raiseArgumentError(L, index, "expected a finite non-negative number");
  return value;
}

float checkFloatNumber(lua_State* L, int index) {
  const double value = luaL_checknumber(L, index);
  if (!(isFinite(value) && std::fabs(value) <= kFloatMax)) {
    raiseArgumentError(L, index, "expected a finite number in float range");
  }
  return static_cast<float>(value);
}

float checkPositiveFloat(lua_State* L, int index) {
  const float value = checkFloatNumber(L, index);
  if (!(value > 0.0f)) raiseArgumentError(L, index, "expected a positive number");
  return value;
}

int checkColorChannel(lua_State* L, int index) {
  const double value = luaL_checknumber(L, index);
  if (!(isFinite(value) && value >= 0.0 && value <= 255.0)) {
    raiseArgumentError(L, index, "expected a color channel from 0 to 255");
  }
  return static_cast<int>(value);
}

std::string_view checkTextWithoutZero(lua_State* L, int index) {
  size_t length = 0;
  const char* text = luaL_checklstring(L, index, &length);
  const std::string_view view(text, length);
  if (view.find('\0') != std::string_view::npos) raiseArgumentError(L, index, "string contains a zero byte");
  return view;
}
