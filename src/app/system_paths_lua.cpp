// Path text functions of the `system` module. They follow the host's path style ("/" the only separator and
// the canonical one) and never fail on content.
#include <optional>
#include <string>

#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "host/path_resolution.h"
#include "host/path_text.h"
#include "platform/file_utils.h"

namespace {

constexpr PathStyle kStyle = kHostPathStyle;

// The separator argument at index: the host's separator when absent or nil, else "/" or "\".
char checkSeparator(lua_State* L, int index) {
  if (lua_isnoneornil(L, index)) return canonicalSeparator(kStyle);
  size_t length = 0;
  const char* text = lua_type(L, index) == LUA_TSTRING ? lua_tolstring(L, index, &length) : nullptr;
  if (text == nullptr || length != 1 || (text[0] != '/' && text[0] != '\\')) {
    raiseArgumentError(L, index, "separator must be '/' or '\\'");
  }
  return text[0];
}

// Pushes the string that compute returns, as the single result.
template <typename Compute>
int pushComputed(lua_State* L, const char* task, Compute&& compute) {
  return guardMemory(L, task, [&] {
    pushStringView(L, compute());
    return 1;
  });
}

// Pushes the optional string that compute returns, or no result when it is empty.
template <typename Compute>
int pushOptionalComputed(lua_State* L, const char* task, Compute&& compute) {
  return guardMemory(L, task, [&] {
    const std::optional<std::string> result = compute();
    if (!result) return 0;
    pushStringView(L, *result);
    return 1;
  });
}

}  // namespace

// system.absolute_path(path [, base]) -> absolute path, or nothing
int systemAbsolutePath(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  std::optional<std::string_view> base;
  if (!lua_isnoneornil(L, 2)) base = checkStringView(L, 2);
  return pushOptionalComputed(L, "resolve path",
                              [&] { return absolutePath(path, base, currentDirectoryUtf8(), kStyle); });
}

// system.has_extension(path, extension) -> boolean
int systemHasExtension(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  const std::string_view extension = checkStringView(L, 2);
  lua_pushboolean(L, hasExtension(path, extension, kStyle));
  return 1;
}

// system.fix_slashes(path [, separator]) -> path with every separator written as separator
int systemFixSlashes(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  const char separator = checkSeparator(L, 2);
  return pushComputed(L, "fix slashes", [&] { return replaceSeparators(path, separator, kStyle); });
}

// system.join_path(first, second [, trailing]) -> joined path
int systemJoinPath(lua_State* L) {
  const std::string_view first = checkStringView(L, 1);
  const std::string_view second = checkStringView(L, 2);
  const bool trailing = lua_toboolean(L, 3);
  return pushComputed(L, "join paths", [&] { return joinPath(first, second, trailing, kStyle); });
}

// system.ensure_trailing_slash(path [, separator]) -> path ending in the separator
int systemEnsureTrailingSlash(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  const char separator = checkSeparator(L, 2);
  return pushComputed(L, "add a trailing slash", [&] { return ensureTrailingSeparator(path, separator, kStyle); });
}

// system.remove_trailing_slash(path) -> path without trailing separators
int systemRemoveTrailingSlash(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  return pushComputed(L, "remove a trailing slash", [&] { return removeTrailingSeparators(path, kStyle); });
}

// system.normalize_path(path) -> normalized path
int systemNormalizePath(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  return pushComputed(L, "normalize path", [&] { return normalizePath(path, kStyle); });
}

// system.path_dirname(path) -> parent path, or nothing
int systemPathDirname(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  return pushOptionalComputed(L, "find the parent path", [&] { return pathDirname(path, kStyle); });
}

// system.path_key(path) -> comparison key
int systemPathKey(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  return pushComputed(L, "build a path key", [&] { return pathKey(path, kStyle); });
}
