// Writing a document back through the xml module where the indented text would outgrow memory: a deep
// document's indentation grows with the square of its depth. Run in a child process whose address space is
// limited, so that a text built without a bound fails there instead of taking the machine's memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/lua_api.h"
#include "memory_limited_child.h"
#include "services/xml_lua.h"

namespace {

// An address space a serialisation within the limit fits in, and a million-level one's indentation never.
constexpr size_t kAllowance = size_t{3} << 30;

// Runs `source` with the xml module in a memory-limited child; the child exits 0 when the chunk returns true,
// else prints its second result or its error and exits 1.
int runLimited(const std::string& source, long depth) {
  std::fflush(nullptr);
  return runInMemoryLimitedChild(kAllowance, [&] {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "xml", luaopen_xml, 1);
    lua_settop(L, 0);
    if (luaL_loadstring(L, source.c_str()) != LUA_OK) return 3;
    lua_pushinteger(L, depth);
    if (lua_pcall(L, 1, 2, 0) != LUA_OK) {
      std::fprintf(stderr, "error: %s\n", lua_tostring(L, -1));
      return 1;
    }
    if (lua_toboolean(L, 1)) return 0;
    std::fprintf(stderr, "%s\n", luaL_tolstring(L, 2, nullptr));
    return 1;
  });
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
