// How the "DB" objects that a collection takes stop, seen from a Lua state with the db module.
#include <gtest/gtest.h>

#include <string>

#include "db/db_lua.h"
#include "db_test_support.h"
#include "host/lua_api.h"

namespace {

class DbCollection : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    L_ = luaL_newstate();
    luaL_openlibs(L_);
    luaL_requiref(L_, "db", luaopen_db, 1);
    lua_pop(L_, 1);
  }
  void TearDown() override {
    lua_close(L_);
    ScratchDirTest::TearDown();
  }

  // Runs `chunk` with a path and a number, raising a test failure with Lua's message when it fails.
  void run(const std::string& chunk, const std::string& path, int64_t number) {
    ASSERT_EQ(luaL_loadstring(L_, chunk.c_str()), LUA_OK) << lua_tostring(L_, -1);
    lua_pushstring(L_, path.c_str());
    lua_pushinteger(L_, number);
    ASSERT_EQ(lua_pcall(L_, 2, 0, 0), LUA_OK) << lua_tostring(L_, -1);
  }

  lua_State* L_ = nullptr;
};

// A collection that the host's own code sets off, with no Lua function running (an allocation while it pushes
// the arguments of a call), is an ordinary one, not the close of the state: the object's stop waits for its
// whole queue, which here takes seconds past its deadline, and keeps every write.
TEST_F(DbCollection, ACollectionStartedOutsideAnyLuaCallKeepsTheWholeQueue) {
  // Inserts of a few milliseconds each, far below what a request may run past the deadline, 6 s in all.
  const int64_t rows = dbtest::rowsTakingAbout(std::chrono::milliseconds(4));
  run(R"lua(
    local path, rows = ...
    local d = assert(db.open(path))
    assert(d:exec("CREATE TABLE t(n)"))
    for _ = 1, 1500 do
      assert(d:exec_async("INSERT INTO t SELECT count(*) FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL "
        .. "SELECT x + 1 FROM c LIMIT " .. rows .. ") SELECT x FROM c)"))
    end
  )lua",
      path("queue.db"), rows);
  testing::internal::CaptureStderr();
  lua_gc(L_, LUA_GCCOLLECT);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said, "");
  SqliteConnection connection = dbtest::openConnection(path("queue.db"));
  EXPECT_EQ(dbtest::countRows(connection.get(), "t"), 1500);
}

}  // namespace
