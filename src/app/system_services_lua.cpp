// Small services of the `system` module: fuzzy ranking, debug output, process memory, the computer and user
// names, sleeping and a monotonic clock.
#include <SDL3/SDL_timer.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <string>

#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "host/exit_request.h"
#include "host/lua_api.h"
#include "platform/fuzzy_match.h"
#include "platform/process_memory.h"
#include "platform/system_names.h"

namespace {

// The longest sleep: 2^32 - 1 milliseconds.
constexpr double kLongestSleepMilliseconds = 4294967295.0;

void setIntegerField(lua_State* L, const char* name, uint64_t value) {
  lua_pushinteger(L, static_cast<lua_Integer>(value));
  lua_setfield(L, -2, name);
}

// Pushes the name, or nil and "could not get <what>: <reason>".
int pushName(lua_State* L, const char* what, const SystemName& result) {
  if (result.usable()) {
    pushStringView(L, result.name);
    return 1;
  }
  std::string reason = result.error != 0 ? systemErrorText(result.error) : std::string();
  if (reason.empty()) reason = "platform returned no usable name";
  lua_pushnil(L);
  lua_pushfstring(L, "could not get %s: %s", what, reason.c_str());
  return 2;
}

}  // namespace

// system.fuzzy_match(text, pattern) -> score, or nothing when the pattern does not fit
int systemFuzzyMatch(lua_State* L) {
  const std::optional<int64_t> score = fuzzyMatchScore(checkStringView(L, 1), checkStringView(L, 2));
  if (!score) return 0;
  lua_pushnumber(L, static_cast<lua_Number>(*score));
  return 1;
}

// system.debug_output(text): the text up to its first zero byte, to standard error in one write
int systemDebugOutput(lua_State* L) {
  const std::string_view text = checkStringView(L, 1);
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text.data(), text.substr(0, text.find('\0')).size());
  return 0;
}

// system.get_memory_usage_bytes() -> {source, working_set_bytes, private_bytes, virtual_bytes,
// peak_working_set_bytes [, error]}
int systemGetMemoryUsageBytes(lua_State* L) {
  const std::optional<ProcessMemory> memory = queryProcessMemory();
  lua_createtable(L, 0, 6);
  if (!memory) {
    lua_pushstring(L, "unable to query process memory usage");
    lua_setfield(L, -2, "error");
  }
  lua_pushstring(L, memory ? "linux" : "unknown");
  lua_setfield(L, -2, "source");
  const ProcessMemory figures = memory.value_or(ProcessMemory{});
  setIntegerField(L, "working_set_bytes", figures.workingSetBytes);
  setIntegerField(L, "private_bytes", figures.privateBytes);
  setIntegerField(L, "virtual_bytes", 0);
  setIntegerField(L, "peak_working_set_bytes", figures.peakWorkingSetBytes);
  return 1;
}

// system.get_computer_name() -> name, or nil and message
int systemGetComputerName(lua_State* L) { return pushName(L, "computer name", computerName()); }

// system.get_user_name() -> name, or nil and message
int systemGetUserName(lua_State* L) { return pushName(L, "user name", userName()); }

// system.sleep(seconds): a worker job's os.exit ends the process during the sleep
int systemSleep(lua_State* L) {
  const double seconds = luaL_checknumber(L, 1);
  luaL_argcheck(L, std::isfinite(seconds) && seconds >= 0.0, 1, "duration must be a finite non-negative number");
  exitIfRequested(L);
  if (seconds == 0.0) {
    SDL_Delay(0);
    return 0;
  }
  luaL_argcheck(L, seconds * 1000.0 <= kLongestSleepMilliseconds, 1, "duration is too large");
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9 + 0.5));
  // The last millisecond is slept precisely, which a wait for the request is not.
  sleepUnlessExitRequested(L, until - std::chrono::milliseconds(1));
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
  if (left > 0) SDL_DelayPrecise(static_cast<Uint64>(left));
  return 0;
}

// system.get_time() -> seconds since an arbitrary fixed start
int systemGetTime(lua_State* L) {
  lua_pushnumber(L,
                 static_cast<double>(SDL_GetPerformanceCounter()) / static_cast<double>(SDL_GetPerformanceFrequency()));
  return 1;
}
