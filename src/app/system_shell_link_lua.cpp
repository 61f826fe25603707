// Shortcut resolution of the `system` module.
#include <string>

#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "host/lua_api.h"
#include "platform/shell_link.h"

// system.resolve_shell_link(path) -> target, or nil and a message with the status
int systemResolveShellLink(lua_State* L) {
  const std::string_view path = checkStringView(L, 1);
  return guardMemory(L, "resolve the shortcut", [&] {
    std::string target;
    const int32_t status = resolveShellLink(path, target);
    if (status != kShellLinkResolved) {
      lua_pushnil(L);
      lua_pushfstring(L, "Could not resolve Windows shortcut (HRESULT %d)", static_cast<int>(status));
      return 2;
    }
    pushStringView(L, target);
    return 1;
  });
}
