// The Lua UI runtime: one state and one thread, references that end with it, error reports that reach
// core.on_error or standard error as one line, and lifecycles and deferred calls that stop with it.
#include "ui/lua/lua_ui_runtime.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "failing_allocator.h"
#include "host/lua_api.h"
#include "ui/lua/control_lua.h"
#include "ui/lua/lua_form_lifecycle.h"

namespace {

using ui::lua::Reference;
using ui::lua::Runtime;

class LuaUiRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
  }
  void TearDown() override {
    ui::lua::abandonLuaUiRuntime(L);
    if (L != nullptr) lua_close(L);
  }

  void run(const char* chunk) { ASSERT_EQ(luaL_dostring(L, chunk), LUA_OK) << lua_tostring(L, -1); }

  // Retains the global's value.
  Reference retainGlobal(Runtime& runtime, const char* name) {
    lua_getglobal(L, name);
    Reference reference = runtime.retain(-1);
    lua_pop(L, 1);
    return reference;
  }

  lua_State* L = nullptr;
};

TEST_F(LuaUiRuntimeTest, TheRuntimeAnswersOnlyItsStateAndThread) {
  const std::shared_ptr<Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  ASSERT_TRUE(runtime);
  EXPECT_EQ(ui::lua::acquireLuaUiRuntime(L), runtime);
  lua_State* other = luaL_newstate();
  EXPECT_FALSE(ui::lua::acquireLuaUiRuntime(other));
  EXPECT_FALSE(ui::lua::acquireLuaUiRuntime(lua_newthread(L))) << "a coroutine is another state";
  lua_pop(L, 1);
  run("value = {}");
  std::string error;
  std::thread([&] {
    EXPECT_FALSE(ui::lua::acquireLuaUiRuntime(L));
    EXPECT_FALSE(retainGlobal(*runtime, "value").isValid());
    EXPECT_FALSE(ui::lua::shutdownLuaUiRuntime(L, error));
  }).join();
  EXPECT_EQ(error, "Lua UI runtime must shut down on its creating thread");
  EXPECT_FALSE(ui::lua::shutdownLuaUiRuntime(other, error));
  EXPECT_EQ(error, "Lua UI runtime belongs to a different Lua state");
  testing::internal::CaptureStderr();
  shutdownLuaUi(other);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Lua UI shutdown failed: Lua UI runtime belongs to a different Lua state\n");
  EXPECT_TRUE(runtime->isActiveOnThisThread()) << "a refused shutdown changes nothing";
  lua_close(other);

  ASSERT_TRUE(ui::lua::shutdownLuaUiRuntime(L, error)) << error;
  EXPECT_FALSE(runtime->isActiveOnThisThread());
  EXPECT_TRUE(ui::lua::shutdownLuaUiRuntime(L, error)) << "nothing left to shut down";
  const std::shared_ptr<Runtime> fresh = ui::lua::acquireLuaUiRuntime(L);
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh, runtime);
  EXPECT_TRUE(fresh->isActiveOnThisThread());
}

TEST_F(LuaUiRuntimeTest, ReferencesAreReleasedOnceAndNeverAfterShutdown) {
  const std::shared_ptr<Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  run("value = {}");
  Reference first = retainGlobal(*runtime, "value");
  ASSERT_TRUE(first.isValid());
  const int id = first.id();
  runtime->releaseRef(id);
  runtime->releaseRef(id);
  first.reset();
  // A second unref of one id would put it on Lua's free list twice: two new references would share it.
  const Reference a = retainGlobal(*runtime, "value");
  const Reference b = retainGlobal(*runtime, "value");
  EXPECT_NE(a.id(), b.id());
  Reference moved = retainGlobal(*runtime, "value");
  Reference target = std::move(moved);
  EXPECT_EQ(moved.id(), 0);
  EXPECT_EQ(runtime->liveReferenceCount(), 3u);

  Reference kept = retainGlobal(*runtime, "value");
  std::string error;
  ASSERT_TRUE(ui::lua::shutdownLuaUiRuntime(L, error));
  EXPECT_EQ(runtime->liveReferenceCount(), 0u);
  EXPECT_FALSE(kept.isValid());
  EXPECT_FALSE(retainGlobal(*runtime, "value").isValid());
  EXPECT_FALSE(runtime->pushReference(kept));
  lua_close(L);  // the references below go after the state: they must not touch it
  L = nullptr;
}

TEST_F(LuaUiRuntimeTest, AbandoningARuntimeThatRefusedToShutDownLeavesItInactive) {
  const std::shared_ptr<Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  run("value = {}");
  Reference kept = retainGlobal(*runtime, "value");
  lua_State* other = luaL_newstate();
  testing::internal::CaptureStderr();
  shutdownLuaUi(other);
  testing::internal::GetCapturedStderr();
  lua_close(other);
  ui::lua::abandonLuaUiRuntime(L);
  EXPECT_FALSE(runtime->isActiveOnThisThread());
  lua_close(L);
  L = nullptr;
  kept.reset();  // under ASan: no use of the closed state
}

// Whether the last finalizer `probe` of a state found a runtime for it.
bool probeFoundRuntime = false;

// Gives the state a value whose finalizer asks for the runtime; it runs when the state closes.
void addClosingProbe(lua_State* L) {
  lua_pushcfunction(L, [](lua_State* state) {
    probeFoundRuntime = ui::lua::acquireLuaUiRuntime(state) != nullptr;
    return 0;
  });
  lua_setglobal(L, "acquire");
  ASSERT_EQ(luaL_dostring(L, "probe = setmetatable({}, {__gc = function() acquire() end})"), LUA_OK);
}

// The scripts may close the state themselves (os.exit(code, true)) while references are alive, and the host
// closes it after the runtime's shutdown: either way the runtime ends with the state, and finalizers run
// by the close find no runtime (a finalizer made after the runtime runs before the state's own, and may
// still use it).
TEST_F(LuaUiRuntimeTest, AClosingStateEndsItsRuntimeAndGetsNoNewOne) {
  addClosingProbe(L);
  const std::shared_ptr<Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  run("value = {}");
  Reference kept = retainGlobal(*runtime, "value");
  probeFoundRuntime = true;
  lua_close(L);
  L = nullptr;
  EXPECT_FALSE(runtime->isActiveOnThisThread());
  EXPECT_EQ(runtime->liveReferenceCount(), 0u);
  EXPECT_FALSE(probeFoundRuntime);
  kept.reset();  // under ASan with an instrumented Lua: no use of the closed state

  L = luaL_newstate();
  luaL_openlibs(L);
  ASSERT_TRUE(ui::lua::acquireLuaUiRuntime(L)) << "a new state gets a runtime";
  addClosingProbe(L);
  std::string error;
  ASSERT_TRUE(ui::lua::shutdownLuaUiRuntime(L, error)) << error;
  ui::lua::abandonLuaUiRuntime(L);
  probeFoundRuntime = true;
  lua_close(L);
  L = nullptr;
  EXPECT_FALSE(probeFoundRuntime);
}

TEST_F(LuaUiRuntimeTest, ReportsGoToOnErrorOrToStandardErrorAsOneLine) {
  struct Case {
    const char* setup;
    const char* printed;
    const char* delivered;
  };
  const Case cases[] = {
      {"core = nil", "broken\n", ""},
      {"core = 5", "broken\n", ""},
      {"core = {}", "broken\n", ""},
      {"core = {on_error = 5}", "broken\n", ""},
      {"core = setmetatable({}, {__index = {on_error = function(m) got = m end}})", "broken\n", ""},
      {"core = {on_error = function(m) error('handler broke') end}", "broken\n", ""},
      {"core = nil setmetatable(_G, {__index = function(_, k) error('undefined ' .. k) end})", "broken\n", ""},
      {"core = {on_error = function(m) got = m end}", "", "broken"},
  };
  const std::shared_ptr<Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  for (const Case& c : cases) {
    run("setmetatable(_G, nil) got = ''");
    run(c.setup);
    const int top = lua_gettop(L);
    testing::internal::CaptureStderr();
    runtime->reportError("broken");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed) << c.setup;
    EXPECT_EQ(lua_gettop(L), top);
    run("setmetatable(_G, nil) result = got");
    lua_getglobal(L, "result");
    EXPECT_STREQ(lua_tostring(L, -1), c.delivered) << c.setup;
    lua_pop(L, 1);
  }
}

TEST_F(LuaUiRuntimeTest, AFailureReportedWhileOnErrorRunsIsPrinted) {
  const std::shared_ptr<Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  run("calls = 0 core = {on_error = function(m) calls = calls + 1 fail_deferred() end}");
  run("deferred = function() error('inner', 0) end");
  Reference deferred = retainGlobal(*runtime, "deferred");
  lua_pushlightuserdata(L, &deferred);
  lua_pushcclosure(
      L,
      [](lua_State* state) {
        auto* reference = static_cast<Reference*>(lua_touserdata(state, lua_upvalueindex(1)));
        ui::lua::acquireLuaUiRuntime(state)->callDeferred(*reference);
        return 0;
      },
      1);
  lua_setglobal(L, "fail_deferred");
  testing::internal::CaptureStderr();
  runtime->callDeferred(deferred);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_THAT(printed, testing::StartsWith("Lua UI 'deferred' callback failed: inner\nstack traceback:"));
  EXPECT_EQ(printed.find("failed", 40), std::string::npos) << "one report printed: " << printed;
  lua_getglobal(L, "calls");
  EXPECT_EQ(lua_tointeger(L, -1), 1);
  lua_pop(L, 1);
}

TEST_F(LuaUiRuntimeTest, LifecyclesAndDeferredCallsStopWithTheRuntime) {
  const std::shared_ptr<Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  run("completions = 0 calls = 0 lifecycle = {on_complete = function() completions = completions + 1 end}"
      " deferred = function() calls = calls + 1 end");
  ui::lua::FormLifecycle twice(runtime, retainGlobal(*runtime, "lifecycle"));
  ASSERT_TRUE(twice.isBound());
  twice.complete("done");
  twice.complete("done");
  ui::lua::FormLifecycle late(runtime, retainGlobal(*runtime, "lifecycle"));
  late.setResult("first");
  late.setResult("second");
  EXPECT_EQ(late.resultOr("fallback"), "first");
  const Reference deferred = retainGlobal(*runtime, "deferred");
  runtime->callDeferred(deferred);
  std::string error;
  ASSERT_TRUE(ui::lua::shutdownLuaUiRuntime(L, error));
  EXPECT_FALSE(late.isBound());
  EXPECT_FALSE(late.requestClose());
  late.complete("after");
  runtime->callDeferred(deferred);
  run("assert(completions == 1 and calls == 1, completions .. ' ' .. calls)");
}

TEST_F(LuaUiRuntimeTest, RunningOutOfMemoryInACallbackFrameIsReportedNotRaised) {
  const std::shared_ptr<Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  run("events = 0 core = {on_error = function(m) reported = m end}"
      " lifecycle = {event = function() events = events + 1 return true end}");
  ui::lua::FormLifecycle lifecycle(runtime, retainGlobal(*runtime, "lifecycle"));
  FailingAllocator allocator(L);
  const int top = lua_gettop(L);
  allocator.growthsLeft = 0;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lifecycle.dispatchEvent(ControlEvent{}));
  allocator.growthsLeft = -1;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Lua UI 'event' callback failed: not enough memory\n");
  EXPECT_EQ(lua_gettop(L), top);
  EXPECT_FALSE(lifecycle.dispatchEvent(ControlEvent{})) << "the handler is switched off";
  run("assert(events == 0 and reported == nil)");
}

}  // namespace
