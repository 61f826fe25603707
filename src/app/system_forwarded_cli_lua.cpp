// Forwarded command lines of the `system` module: the first instance's scripts take the command lines that
// later starts handed over and release the senders that wait for them. Nothing is pushed into Lua: the
// scripts poll, typically from their event loop.
#include "app/system_functions.h"
#include "host/lua_api.h"
#include "host/single_instance.h"

namespace {

// {args = {...}, stdin_data = s?, working_directory = s?, request_id = n?}; an argument ends at a NUL byte.
void pushForwardedRequest(lua_State* L, const ForwardedRequest& request) {
  lua_createtable(L, 0, 4);
  lua_createtable(L, static_cast<int>(request.args.size()), 0);
  lua_Integer index = 0;
  for (const std::string& arg : request.args) {
    lua_pushstring(L, arg.c_str());
    lua_rawseti(L, -2, ++index);
  }
  lua_setfield(L, -2, "args");
  if (request.stdin_data) {
    lua_pushlstring(L, request.stdin_data->data(), request.stdin_data->size());
    lua_setfield(L, -2, "stdin_data");
  }
  if (!request.working_directory.empty()) {
    lua_pushlstring(L, request.working_directory.data(), request.working_directory.size());
    lua_setfield(L, -2, "working_directory");
  }
  if (request.request_id != 0) {
    lua_pushinteger(L, static_cast<lua_Integer>(request.request_id));
    lua_setfield(L, -2, "request_id");
  }
}

}  // namespace

// system.poll_forwarded_cli() -> array of forwarded command lines, oldest first (empty when none came)
int systemPollForwardedCli(lua_State* L) {
  const std::vector<ForwardedRequest> requests = singleInstance().takeRequests();
  lua_createtable(L, static_cast<int>(requests.size()), 0);
  lua_Integer index = 0;
  for (const ForwardedRequest& request : requests) {
    pushForwardedRequest(L, request);
    lua_rawseti(L, -2, ++index);
  }
  return 1;
}

// system.complete_forwarded_cli(request_id) -> true when the waiting sender was released
int systemCompleteForwardedCli(lua_State* L) {
  const lua_Integer id = luaL_checkinteger(L, 1);
  if (id < 1) luaL_argerror(L, 1, "expected a positive request identifier");
  lua_pushboolean(L, singleInstance().completeRequest(static_cast<uint64_t>(id)));
  return 1;
}
