// Running out of Lua's own memory inside the UI modules' functions that build something: each answers nil
// and its "not enough memory to" message, never a raised error, and leaves nothing behind (no form, node or
// registry reference the script could not name).
#include <gtest/gtest.h>

#include <string>

#include "failing_allocator.h"
#include "lua_ui_fixture.h"
#include "ui/form_model.h"
#include "ui/update_batch.h"

namespace {

class LuaUiMemory : public LuaUiTest {
 protected:
  ui::FormHandle formOf(const char* global) {
    lua_getglobal(L, global);
    const ui::FormHandle form = *static_cast<const ui::FormHandle*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return form;
  }
};

// Before each attempt a warm-up makes the same call where it fails for another reason (a destroyed form),
// so the strings that reading the arguments looks up exist already, and a form made and destroyed leaves
// the slot a failed form.create would take; the collector stays stopped in between.
TEST_F(LuaUiMemory, CreatingFunctionsAnswerNilAndTheirMessageAndLeaveNothingBehind) {
  struct Case {
    const char* setup;    // sets fn and args
    const char* warmUp;   // the same call, failing for another reason
    const char* message;  // the answer when memory runs out
  };
  const Case cases[] = {
      {"fn, args = control.create, {f, {name = 'made', draw = function() end}}", "control.create(stale, args[2])",
       "not enough memory to create Lua control"},
      {"fn, args = form.create, {{name = 'made'}}", "form.destroy(form.create(args[1]))",
       "not enough memory to create form"},
      {"fn, args = layout.rows, {f, {name = 'made'}}", "layout.rows(stale, args[2])",
       "not enough memory to create layout"},
      {"fn, args = pane.create, {f, {name = 'made'}}", "pane.create(stale, args[2])",
       "not enough memory to create pane"},
  };
  const std::shared_ptr<ui::lua::Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  ok("stale = form.create({}) form.destroy(stale) collectgarbage('stop')");
  for (const Case& c : cases) {
    ok("f = form.create({})");
    ok(c.setup);
    const ui::FormHandle form = formOf("f");
    const size_t references = runtime->liveReferenceCount();
    int failures = 0;
    for (long growths = 0; growths < 400; ++growths) {
      ok(std::string(c.warmUp) + " probe = form.create({}) form.destroy(probe)");
      const ui::FormHandle probe = formOf("probe");
      const LimitedCall result = callWithGrowthLimit(L, growths);
      const std::string where = std::string(c.setup) + " after " + std::to_string(growths) + " growths";
      ASSERT_EQ(result.status, LUA_OK) << where << ": " << result.message;
      if (result.succeeded) break;
      ++failures;
      EXPECT_EQ(result.message, c.message) << where;
      EXPECT_EQ(runtime->liveReferenceCount(), references) << where;
      EXPECT_FALSE(currentApplication()->isFormValid({probe.index, probe.generation + 1})) << where;
      FormModel& model = *currentApplication()->formModel(form);
      EXPECT_FALSE(model.findControl("made") || model.findLayout("made") || model.findPane("made")) << where;
    }
    EXPECT_GT(failures, 0) << c.setup;
    ok("fn, args = nil, nil form.destroy(f)");
  }
}

// The registry grows only when its free slots run out: references are kept (lifecycles bound, callbacks
// deferred inside UI work) with no growth allowed until one call needs it.
TEST_F(LuaUiMemory, RetainingFunctionsAnswerNilAndTheirMessageWhenTheRegistryCannotGrow) {
  struct Case {
    const char* setup;  // sets fn and args for one attempt
    const char* message;
  };
  const Case cases[] = {
      {"fn, args = form.bind_lifecycle, {form.create({}), {}}", "not enough memory to bind Form lifecycle"},
      {"fn, args = form.defer, {function() end}", "not enough memory to defer Lua UI callback"},
  };
  const std::shared_ptr<ui::lua::Runtime> runtime = ui::lua::acquireLuaUiRuntime(L);
  ok("collectgarbage('stop')");
  UpdateBatch& batch = currentApplication()->updateBatch();
  ASSERT_TRUE(batch.begin());  // deferred callbacks wait, holding their references
  for (const Case& c : cases) {
    ok(c.setup);
    ok("coroutine.wrap(fn)(table.unpack(args))");  // another state: refused after the answer was made
    int failures = 0;
    for (int attempts = 0; attempts < 2000 && failures == 0; ++attempts) {
      ok(c.setup);
      const size_t references = runtime->liveReferenceCount();
      const LimitedCall result = callWithGrowthLimit(L, 0);
      ASSERT_EQ(result.status, LUA_OK) << c.setup << ": " << result.message;
      if (result.succeeded) continue;
      ++failures;
      EXPECT_EQ(result.message, c.message) << c.setup;
      EXPECT_EQ(runtime->liveReferenceCount(), references) << c.setup;
    }
    EXPECT_EQ(failures, 1) << c.setup;
  }
  batch.end(true);
}

// A poll that runs out of memory while it builds its tables loses no event: the window still holds them all,
// in their order, for the next poll.
TEST_F(LuaUiMemory, PollingEventsThatRunsOutOfMemoryLeavesEveryEventQueued) {
  ok("w = window.create({visible = false}) window.poll_events(w) fn, args = window.poll_events, {w}"
     " collectgarbage('stop')");
  int failures = 0;
  for (long growths = 0; growths < 400; ++growths) {
    ok("for i = 1, 3 do window._queue_test_event(w, {text_start = i}) end");
    const LimitedCall result = callWithGrowthLimit(L, growths);
    const std::string where = "after " + std::to_string(growths) + " growths";
    ASSERT_EQ(result.status, LUA_OK) << where << ": " << result.message;
    if (result.succeeded) break;
    ++failures;
    EXPECT_EQ(result.message, "not enough memory to poll window events") << where;
    EXPECT_EQ(ok("local e = window.poll_events(w) return #e, e[1].text_start, e[2].text_start, e[3].text_start"),
              (Values{"3", "1", "2", "3"}))
        << where;
  }
  EXPECT_GT(failures, 0);
  EXPECT_EQ(ok("return #window.poll_events(w)"), Values{"0"}) << "a poll that succeeds takes the events";
}

}  // namespace
