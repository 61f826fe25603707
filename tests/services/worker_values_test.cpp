#include "services/worker_values.h"

#include <gtest/gtest.h>

#include <string>

#include "lua_test_state.h"
#include "scratch_dir.h"

namespace {

struct CopyOutcome {
  bool ok = false;
  std::string error;
  uint64_t charged = 0;
  WorkerValue value;
};

// Copies the value of the Lua expression with a budget starting at `start`.
CopyOutcome copyExpression(const LuaTestState& state, const std::string& expression, uint64_t start = 0) {
  lua_State* L = state.get();
  state.run("return " + expression);
  const int top = lua_gettop(L);
  CopyOutcome outcome;
  WorkerVisitSet visiting;
  WorkerCopyBudget budget{start};
  outcome.ok = copyWorkerValue(L, -1, outcome.value, visiting, 0, budget, outcome.error);
  EXPECT_EQ(lua_gettop(L), top);
  lua_settop(L, 0);
  outcome.charged = budget.used - start;
  return outcome;
}

TEST(WorkerValues, ChargesEveryNodeEntryTableAndStringByte) {
  LuaTestState state;
  // {x = "ab"}: the table node 72 + 24, one entry 144, the key 72 + 1, the value 72 + 2.
  EXPECT_EQ(copyExpression(state, "{x = 'ab'}").charged, 72u + 24 + 144 + 73 + 74);
  EXPECT_EQ(copyExpression(state, "nil").charged, 72u);
  EXPECT_EQ(copyExpression(state, "{{}, {}}").charged, 96u + 2 * (144 + 72 + 96));
}

TEST(WorkerValues, RefusesWhatCannotCrossWithItsMessage) {
  LuaTestState state;
  const struct {
    const char* expression;
    const char* error;
  } cases[] = {
      {"print", "worker values cannot contain function"},
      {"coroutine.create(print)", "worker values cannot contain thread"},
      {"io.stdout", "worker values cannot contain userdata"},
      {"{[{}] = setmetatable({}, {})}", "worker values cannot contain tables with metatables"},
      {"(function() local t = {} t[1] = {t} return t end)()", "worker values cannot contain table cycles"},
      {"string.rep('x', 8388608)", "worker request exceeds the copy limit"},
  };
  for (const auto& c : cases) {
    const CopyOutcome outcome = copyExpression(state, c.expression);
    EXPECT_FALSE(outcome.ok) << c.expression;
    EXPECT_EQ(outcome.error, c.error) << c.expression;
  }
}

TEST(WorkerValues, FindsAMetatableDeepDownWithinTheStackItMayUse) {
  LuaTestState state;
  // Nested through keys, each level holds a key and a value on the stack, which is full when the metatable
  // at the bottom is looked at.
  const CopyOutcome outcome = copyExpression(
      state, "(function() local t = setmetatable({}, {}) for _ = 1, 40 do t = {[t] = 1} end return t end)()");
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.error, "worker values cannot contain tables with metatables");
}

TEST(WorkerValues, AcceptsExactlyTheLimitAndNoMore) {
  LuaTestState state;
  const uint64_t stringNode = 72 + 100;
  EXPECT_TRUE(copyExpression(state, "string.rep('x', 100)", kWorkerCopyLimit - stringNode).ok);
  EXPECT_FALSE(copyExpression(state, "string.rep('x', 100)", kWorkerCopyLimit - stringNode + 1).ok);
}

TEST(WorkerValues, PushesTablesBackWithTheirEntriesAndSubtypes) {
  LuaTestState state;
  CopyOutcome outcome = copyExpression(state, "{1, 2.0, 'z\\0z', {true, false}, k = {n = -7}}");
  ASSERT_TRUE(outcome.ok);
  lua_State* L = state.get();
  pushWorkerValue(L, outcome.value);
  lua_setglobal(L, "copy");
  state.run(
      "assert(math.type(copy[1]) == 'integer' and math.type(copy[2]) == 'float' and copy[3] == 'z\\0z')\n"
      "assert(copy[4][1] == true and copy[4][2] == false and copy.k.n == -7)");
}

class WorkerModuleLoader : public ScratchDirTest {
 protected:
  bool copyLoader(const std::string& name, uint64_t start = 0) {
    lua_State* L = state.get();
    const int top = lua_gettop(L);
    WorkerCopyBudget budget{start};
    const bool ok = copyWorkerModuleLoader(L, name, chunk, budget, error);
    EXPECT_EQ(lua_gettop(L), top);
    return ok;
  }

  // Writes name.lua into the test's own directory and makes that directory package.path.
  void writeModuleOnPath(const std::string& name, const char* source) {
    writeText(name + ".lua", source);
    state.run("package.path = '" + path("?.lua") + "'");
  }

  LuaTestState state;
  std::string chunk;
  std::string error;
};

TEST_F(WorkerModuleLoader, DumpsAPreloadedLuaFunction) {
  state.run("package.preload.m = function() return 1 end");
  ASSERT_TRUE(copyLoader("m"));
  EXPECT_EQ(chunk.substr(0, 4), "\x1bLua");
}

TEST_F(WorkerModuleLoader, RefusesAnyOtherPreloadedValue) {
  for (const char* value : {"print", "false", "{}"}) {
    state.run(std::string("package.preload.m = ") + value);
    EXPECT_FALSE(copyLoader("m")) << value;
    EXPECT_EQ(error, "worker module loader must be a Lua function");
  }
}

TEST_F(WorkerModuleLoader, FindsFilesOnThePathAndNothingElsewhere) {
  writeModuleOnPath("found_module", "return {}");
  ASSERT_TRUE(copyLoader("found_module"));
  EXPECT_FALSE(chunk.empty());
  ASSERT_TRUE(copyLoader("missing_module"));
  EXPECT_TRUE(chunk.empty());
}

TEST_F(WorkerModuleLoader, ReportsSearchLoadAndBudgetFailures) {
  writeModuleOnPath("broken_module", "return {");
  EXPECT_FALSE(copyLoader("broken_module"));
  EXPECT_NE(error.find("broken_module.lua:1:"), std::string::npos) << error;
  state.run("package.preload.m = function() return 1 end");
  EXPECT_FALSE(copyLoader("m", kWorkerCopyLimit - 8));
  EXPECT_EQ(error, "worker request exceeds the copy limit");
  state.run("package.searchpath = function() error('search broke', 0) end");
  EXPECT_FALSE(copyLoader("other"));
  EXPECT_EQ(error, "search broke");
  state.run("package.searchpath = function() error({}) end");
  EXPECT_FALSE(copyLoader("other"));
  EXPECT_EQ(error, "worker module search failed");
}

}  // namespace
