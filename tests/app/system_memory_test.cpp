// Running out of Lua's own memory inside the `system` functions that build their results or messages: each
// answers nil and its "not enough memory to" message, as it does when C++ runs out, never a raised error.
#include <gtest/gtest.h>

#include <string>

#include "app/system_lua.h"
#include "failing_allocator.h"
#include "host/lua_api.h"
#include "scratch_dir.h"

namespace {

class SystemMemory : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "system", luaopen_system, 1);
    lua_pop(L, 1);
    lua_pushstring(L, dir.c_str());
    lua_setglobal(L, "dir");
    writeText("file.txt", "some bytes");
    run("collectgarbage('stop')");
  }
  void TearDown() override {
    lua_close(L);
    ScratchDirTest::TearDown();
  }

  void run(const std::string& chunk) {
    ASSERT_EQ(luaL_dostring(L, chunk.c_str()), LUA_OK) << lua_tostring(L, -1);
    lua_settop(L, 0);
  }

  lua_State* L = nullptr;
};

// Before each attempt the call runs unhindered, giving the answer that an attempt with enough memory must
// give, and a collection frees that answer; the collector is stopped otherwise. Some calls answer a failure
// of their own, such as a missing file.
TEST_F(SystemMemory, GuardedFunctionsAnswerNilAndTheirMessageWhenLuaRunsOutOfMemory) {
  struct Case {
    const char* setup;  // sets fn and args
    const char* message;
  };
  const Case cases[] = {
      {"fn, args = system.list_dir, {dir}", "not enough memory to list directory"},
      {"fn, args = system.read_file, {dir .. '/file.txt'}", "not enough memory to read file"},
      {"fn, args = system.temp_path, {}", "not enough memory to find the temporary directory"},
      {"fn, args = system.parse_file_locations, {'3:4-5:6,@10-20'}", "not enough memory to parse file locations"},
      {"fn, args = system.parse_file_reference, {'a.zip:/b.txt:7', true}",
       "not enough memory to parse a file reference"},
      {"fn, args = system.format_filename, {dir .. '/a.zip', 'inner/b.txt'}",
       "not enough memory to format a file name"},
      {"fn, args = system.absolute_path, {'x/../y', dir}", "not enough memory to resolve path"},
      {"fn, args = system.normalize_path, {dir .. '//x/'}", "not enough memory to normalize path"},
      {"fn, args = system.path_dirname, {dir .. '/x/y'}", "not enough memory to find the parent path"},
      {"fn, args = system.write_file_atomic, {dir .. '/missing/f', 'data'}", "not enough memory to save file"},
      {"fn, args = system.remove_tree, {dir .. '/x\\0'}", "not enough memory to remove directory"},
      {"fn, args = system.spawn, {dir .. '/missing-program', {'a', 'b'}}", "not enough memory to start the process"},
      {"fn, args = system.open_directory, {dir .. '/missing'}", "not enough memory to open the directory"},
      {"fn, args = system.resolve_shell_link, {dir .. '/file.txt'}", "not enough memory to resolve the shortcut"},
  };
  for (const Case& c : cases) {
    run(c.setup);
    int failures = 0;
    for (long growths = 0; growths < 400; ++growths) {
      const LimitedCall unhindered = callWithGrowthLimit(L, -1);
      run("collectgarbage()");  // the answer's strings and tables must be made again
      const LimitedCall result = callWithGrowthLimit(L, growths);
      const std::string where = std::string(c.setup) + " after " + std::to_string(growths) + " growths";
      ASSERT_EQ(result.status, LUA_OK) << where << ": " << result.message;
      if (result.succeeded || result.message != c.message) {
        EXPECT_EQ(result.succeeded, unhindered.succeeded) << where;
        EXPECT_EQ(result.message, unhindered.message) << where;
        break;
      }
      ++failures;
    }
    EXPECT_GT(failures, 0) << c.setup << ": memory never ran out";
  }
}

}  // namespace
