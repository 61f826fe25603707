// The `system` functions that replace or remove files: the atomic save and the recursive removal.
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "host/lua_api.h"
#include "host/path_resolution.h"
#include "host/removal_guard.h"
#include "platform/atomic_write.h"
#include "platform/file_queries.h"
#include "platform/file_utils.h"
#include "platform/remove_tree.h"

namespace {

// The absolute form of path, or nothing with the errno of the failure.
std::optional<std::string> resolveForRemoval(std::string_view path, int& error) {
  if (path.find('\0') != std::string_view::npos) {
    error = EINVAL;
    return std::nullopt;
  }
  errno = 0;
  const std::string currentDirectory = path.starts_with('/') ? std::string() : currentDirectoryUtf8();
  error = errno != 0 ? errno : ENOENT;
  return absolutePath(path, std::nullopt, currentDirectory, kHostPathStyle);
}

// True when target is one of the user's profile directories ($HOME, and USERPROFILE when set), by identity.
bool isUserProfile(const std::string& target) {
  for (const char* variable : {"HOME", "USERPROFILE"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr || value[0] == '\0') continue;
    int ignored = 0;
    const std::optional<std::string> profile = resolveForRemoval(value, ignored);
    bool same = false;
    if (profile && isSameFile(target, *profile, same, ignored) && same) return true;
  }
  return false;
}

// The refusal for a resolved target, checked as written and where its directory really leads: a link among
// the parent directories would otherwise take the walk into a protected place unnoticed.
const char* refusalFor(const std::string& target) {
  if (const char* refusal = removalRefusal(target, kHostPathStyle)) return refusal;
  const std::optional<std::string> physical = physicalPathOf(target);
  return physical ? removalRefusal(*physical, kHostPathStyle) : nullptr;
}

}  // namespace

// system.write_file_atomic(path, data) -> true, or nil and a message
int systemWriteFileAtomic(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  const std::string_view data = checkStringView(L, 2);
  if (path.empty() || path[0] == '\0') luaL_argerror(L, 1, "path must not be empty");
  return guardMemory(L, "save file", [&] {
    const AtomicWriteResult result = writeFileAtomic(path, data);
    if (result.status == AtomicWriteStatus::Written) {
      lua_pushboolean(L, true);
      return 1;
    }
    if (result.status == AtomicWriteStatus::ReadOnly) return pushFailure(L, "file is read-only");
    if (result.error.code == EACCES || result.error.code == EPERM) {
      return pushFailure(L, "access denied while saving file");
    }
    lua_pushnil(L);
    lua_pushfstring(L, "%s failed (%d)", result.error.step, result.error.code);
    return 2;
  });
}

// system.remove_tree(path) -> true, or nil and a message
int systemRemoveTree(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  if (path.empty()) luaL_argerror(L, 1, "directory path must not be empty");
  return guardMemory(L, "remove directory", [&] {
    int error = 0;
    const std::optional<std::string> target = resolveForRemoval(path, error);
    if (!target) return pushPlatformError(L, "directory path resolution failed", error);
    if (const char* refusal = refusalFor(*target)) return pushFailure(L, refusal);
    if (isUserProfile(*target)) return pushFailure(L, "refusing to remove the user profile root");
    if (!removeTree(*target, error)) return pushPlatformError(L, "directory removal failed", error);
    lua_pushboolean(L, true);
    return 1;
  });
}
