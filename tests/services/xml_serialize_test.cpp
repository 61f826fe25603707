// Writing a document back through the xml module where the indented text would outgrow memory: a deep
// document's indentation grows with the square of its depth. Run in a child process whose address space is
// limited, so that a text built without a bound fails there instead of taking the machine's memory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/lua_api.h"
#include "services/xml_lua.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define QZ_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZ_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(QZ_ADDRESS_SANITIZER)
constexpr bool kAddressLimitWorks = false;  // the sanitizer's shadow memory needs far more address space
#else
constexpr bool kAddressLimitWorks = true;
#endif
constexpr rlim_t kAddressLimit = rlim_t{3} << 30;

// Runs `source` with the xml module in a child limited to kAddressLimit; the child exits 0 when the chunk
// returns true, else prints its second result or its error and exits 1.
int runLimited(const std::string& source, long depth) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (kAddressLimitWorks) {
      const rlimit limit{kAddressLimit, kAddressLimit};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    }
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "xml", luaopen_xml, 1);
    lua_settop(L, 0);
    if (luaL_loadstring(L, source.c_str()) != LUA_OK) _exit(3);
    lua_pushinteger(L, depth);
    if (lua_pcall(L, 1, 2, 0) != LUA_OK) {
      std::fprintf(stderr, "error: %s\n", lua_tostring(L, -1));
      _exit(1);
    }
    if (lua_toboolean(L, 1)) _exit(0);
    std::fprintf(stderr, "%s\n", luaL_tolstring(L, 2, nullptr));
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

constexpr const char* kSerializeDeep = R"lua(
  local depth = ...
  local document = assert(xml.parse(("<a>"):rep(depth) .. ("</a>"):rep(depth)))
  local compact = document:serialize({ compact = true })
  if #compact ~= 7 * depth - 3 then return false, "compact text of " .. #compact .. " bytes" end
  local ok, message = pcall(document.serialize, document)
  if ok then return false, "an indented text of " .. #message .. " bytes" end
  return message == "not enough memory to serialize XML", message
)lua";

// 30,000 levels indent to about 900 MB, which memory would still hold; 1,000,000 levels (7 MB of text)
// would take about 10^12 bytes. Both fail with the message, and both still serialize compactly.
TEST(XmlSerialize, ADeepDocumentsIndentedTextFailsBeforeMemoryRunsOut) {
  for (const long depth : {30000L, 1000000L}) {
    EXPECT_EQ(runLimited(kSerializeDeep, depth), 0) << depth << " levels";
  }
}

}  // namespace
