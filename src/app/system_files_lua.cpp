// File query and file operation functions of the `system` module. Paths go to the system as given (relative
// ones against the current directory); a path holding a NUL byte names no file and fails.
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "host/lua_api.h"
#include "host/path_text.h"
#include "platform/file_queries.h"
#include "platform/file_read.h"
#include "platform/file_utils.h"

namespace {

// The read_file arguments in their checking order; raises the argument errors.
struct ReadRequest {
  std::string_view path;
  uint64_t offset = 0;
  uint64_t limit = kNoByteLimit;
};

ReadRequest checkReadRequest(lua_State* L) {
  ReadRequest request;
  request.path = checkStringView(L, 1);
  const bool hasLimit = !lua_isnoneornil(L, 2);
  const lua_Integer limit = hasLimit ? luaL_checkinteger(L, 2) : 0;
  const lua_Integer offset = luaL_optinteger(L, 3, 0);
  if (request.path.empty() || request.path[0] == '\0') luaL_argerror(L, 1, "path must not be empty");
  if (hasLimit && limit < 0) luaL_argerror(L, 2, "byte limit must not be negative");
  if (offset < 0) luaL_argerror(L, 3, "byte offset must not be negative");
  if (hasLimit) request.limit = static_cast<uint64_t>(limit);
  request.offset = static_cast<uint64_t>(offset);
  return request;
}

}  // namespace

// system.chdir(path) -> nothing; raises "chdir() failed"
int systemChdir(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  if (!changeDirectory(path)) luaL_error(L, "chdir() failed");
  return 0;
}

// system.list_dir(path) -> array of entry names, or nil and a message; a listing cut short by a failure
// gives the names read before it and the failure's message
int systemListDir(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  if (path.empty()) return pushFailure(L, "invalid UTF-8 path");
  return guardMemory(L, "list directory", [&] {
    const std::optional<DirectoryListing> listing = listDirectory(path);
    if (!listing) return pushFailure(L, "cannot list directory");
    lua_createtable(L, static_cast<int>(listing->names.size()), 0);
    lua_Integer index = 0;
    for (const std::string& name : listing->names) {
      pushStringView(L, name);
      lua_rawseti(L, -2, ++index);
    }
    if (listing->error == 0) return 1;
    formatWindowsError(L, "directory read failed", listing->error);
    lua_remove(L, -2);  // the nil before the message
    return 2;
  });
}

// system.get_file_info(path) -> {modified, size, type, is_link}, or nil and a message
int systemGetFileInfo(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  if (path.empty()) return pushFailure(L, "invalid UTF-8 path");
  const std::optional<PathInfo> info = queryPathInfo(path);
  if (!info) return pushFailure(L, "cannot stat path");
  lua_createtable(L, 0, 4);
  lua_pushnumber(L, static_cast<lua_Number>(info->modifiedSeconds));
  lua_setfield(L, -2, "modified");
  lua_pushnumber(L, static_cast<lua_Number>(info->size));
  lua_setfield(L, -2, "size");
  lua_pushstring(L, info->isDirectory ? "dir" : "file");
  lua_setfield(L, -2, "type");
  lua_pushboolean(L, info->isLink);
  lua_setfield(L, -2, "is_link");
  return 1;
}

// system.is_file(path) -> boolean
int systemIsFile(lua_State* L) {
  const std::optional<PathInfo> info = queryPathInfo(checkStringView(L, 1));
  lua_pushboolean(L, info && !info->isDirectory);
  return 1;
}

// system.is_dir(path) -> boolean
int systemIsDir(lua_State* L) {
  const std::optional<PathInfo> info = queryPathInfo(checkStringView(L, 1));
  lua_pushboolean(L, info && info->isDirectory);
  return 1;
}

// system.read_file(path [, limit [, offset]]) -> bytes, or nil and a message
int systemReadFile(lua_State* L) {
  const ReadRequest request = checkReadRequest(L);
  if (holdsNul(request.path)) return formatWindowsError(L, "path conversion failed", EINVAL);
  return guardMemory(L, "read file", [&] {
    std::string data;
    FileStepError error;
    if (!readFileRange(request.path, request.offset, request.limit, data, error)) {
      return formatWindowsError(L, (std::string(error.step) + " failed").c_str(), error.code);
    }
    pushStringView(L, data);
    return 1;
  });
}

// system.temp_path() -> the temporary directory, normalized
int systemTempPath(lua_State* L) {
  return guardMemory(L, "find the temporary directory", [&] {
    pushStringView(L, normalizePath(tempDirectoryUtf8(), kHostPathStyle));
    return 1;
  });
}

// system.mkdir(path) -> true, or nil and a message
int systemMkdir(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  if (path.empty()) luaL_argerror(L, 1, "directory path must not be empty");
  if (holdsNul(path)) return pushPlatformError(L, "directory path conversion failed", EINVAL);
  int error = 0;
  if (!makeDirectory(path, error)) return pushPlatformError(L, "directory creation failed", error);
  lua_pushboolean(L, true);
  return 1;
}
