// Content hashes and random identifiers of the `system` module.
#include <exception>
#include <string>

#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "host/lua_api.h"
#include "platform/random_hash.h"
#include "platform/sha256.h"

// system.random_hash() -> 32 lowercase hexadecimal digits
int systemRandomHash(lua_State* L) {
  std::string failure;
  try {
    const RandomHash hash = makeRandomHash();
    lua_pushlstring(L, hash.data(), hash.size());
    return 1;
  } catch (const std::exception& error) {
    failure = error.what();
  }
  return luaL_error(L, "random hash generation failed: %s", failure.c_str());
}

// system.check_random_hash(text) -> boolean
int systemCheckRandomHash(lua_State* L) {
  lua_pushboolean(L, isRandomHash(checkStringView(L, 1)));
  return 1;
}

// system.sha256(data) -> 64 lowercase hexadecimal digits
int systemSha256(lua_State* L) {
  pushStringView(L, sha256HexView(sha256Digest(checkStringView(L, 1))));
  return 1;
}
