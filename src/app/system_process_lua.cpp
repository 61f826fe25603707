// Process launching and shell opening of the `system` module. Every launch is fire-and-forget: success
// means the program was started, never how it ended.
#include <SDL3/SDL_misc.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "platform/process_launch.h"
#include "platform/sdl_error.h"

namespace {

constexpr const char* kCommandInterpreter = "/bin/sh";

// The shell's codes for a folder it could not open.
constexpr int kFileNotFound = 2;
constexpr int kPathNotFound = 3;
constexpr int kAccessDenied = 5;
constexpr int kNoAssociation = 31;

int pushLaunchResult(lua_State* L, int error) {
  if (error != 0) return pushPlatformError(L, "process launch failed", error);
  lua_pushboolean(L, 1);
  return 1;
}

// The code for a folder that cannot be opened, or 0 when it can be handed to the desktop.
int directoryRefusal(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return 0;
  switch (errno) {
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kPathNotFound;
    case EACCES:
    case EPERM:
      return kAccessDenied;
    default:
      return kNoAssociation;
  }
}

// Raises the argument error of the first of the table's count elements that is no string or number, unless a
// string with a zero byte comes before it: then that string's index. 0 when every element is fine. Checked
// before the guarded work, so an argument error names system.spawn; a number's text never holds a zero byte
// and is made only in the work.
lua_Integer checkSpawnArguments(lua_State* L, lua_Integer count) {
  for (lua_Integer i = 1; i <= count; ++i) {
    lua_rawgeti(L, 2, i);
    if (!lua_isstring(L, -1)) {
      luaL_argerror(L, 2, lua_pushfstring(L, "argument %I must be a string, got %s", i, luaL_typename(L, -1)));
    }
    size_t length = 0;
    const bool holdsZero = lua_type(L, -1) == LUA_TSTRING && holdsNul({lua_tolstring(L, -1, &length), length});
    lua_pop(L, 1);
    if (holdsZero) return i;
  }
  return 0;
}

}  // namespace

// system.exec(command) -> true, or nil and a message
int systemExec(lua_State* L) {
  const std::string_view command = checkStringView(L, 1);
  if (holdsNul(command)) return pushFailure(L, "command contains a null byte");
  return guardMemory(L, "start the process", [&] {
    // "--" ends the shell's options, so a command that begins with "-" or "+" runs as written.
    return pushLaunchResult(
        L, launchDetached(kCommandInterpreter, {kCommandInterpreter, "-c", "--", std::string(command)}));
  });
}

// system.spawn(executable, arguments) -> true, or nil and a message
int systemSpawn(lua_State* L) {
  const std::string_view executable = checkStringView(L, 1);
  luaL_checktype(L, 2, LUA_TTABLE);
  if (executable.empty()) return pushFailure(L, "executable path is empty");
  if (holdsNul(executable)) return pushFailure(L, "executable path contains a null byte");
  const lua_Integer count = static_cast<lua_Integer>(lua_rawlen(L, 2));
  const lua_Integer nulArgument = checkSpawnArguments(L, count);
  return guardMemory(L, "start the process", [&] {
    if (nulArgument != 0) return pushFailure(L, lua_pushfstring(L, "argument %I contains a null byte", nulArgument));
    std::vector<std::string> parts{std::string(executable)};
    for (lua_Integer i = 1; i <= count; ++i) {
      lua_rawgeti(L, 2, i);
      size_t length = 0;
      const char* text = lua_tolstring(L, -1, &length);
      parts.emplace_back(text, length);
      lua_pop(L, 1);
    }
    return pushLaunchResult(L, launchDetached(parts.front(), parts));
  });
}

// system.open_url(url) -> true, or nil and a message
int systemOpenUrl(lua_State* L) {
  const std::string_view url = checkTextWithoutZero(L, 1);
  // No URL scheme begins with "-": the opener would take such a text as one of its options.
  if (url.substr(0, 1) == "-") return pushFailure(L, "URL must not begin with '-'");
  SDL_ClearError();
  if (!SDL_OpenURL(url.data())) return pushFailure(L, sdlFailureText("SDL_OpenURL").c_str());
  lua_pushboolean(L, 1);
  return 1;
}

// system.open_directory(path) -> true, or nil and a message: the path up to its first zero byte goes to the
// desktop's opener
int systemOpenDirectory(lua_State* L) {
  const std::string_view text = checkStringView(L, 1);
  return guardMemory(L, "open the directory", [&] {
    const std::string path(text.substr(0, text.find('\0')));
    int refusal = directoryRefusal(path);
    if (refusal == 0) {
      const std::string opener = findInPath("xdg-open");
      // A path that begins with "-" would read as an option of the opener.
      const std::string operand = path.front() == '-' ? "./" + path : path;
      if (opener.empty() || launchDetached(opener, {opener, operand}) != 0) refusal = kNoAssociation;
    }
    if (refusal == 0) {
      lua_pushboolean(L, 1);
      return 1;
    }
    lua_pushnil(L);
    lua_pushfstring(L, "Explorer refused the directory (%d)", refusal);
    return 2;
  });
}
