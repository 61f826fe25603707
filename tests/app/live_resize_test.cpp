// Live resize: watch calls from another thread reach the scripts' callback, or a secondary window's queue,
// through one main-thread call that runs when the main thread next pumps events.
#include <thread>

#include "system_module_fixture.h"
#include "ui/root.h"

namespace {

class LiveResize : public SystemModuleTest {
 protected:
  void SetUp() override {
    SystemModuleTest::SetUp();
    run("calls, arguments = 0, -1");
  }

  // The events are raised on another thread, then the main thread pumps once.
  void raiseElsewhere(std::initializer_list<std::pair<uint32_t, uint64_t>> events) {
    std::thread raiser([&] {
      for (const auto& [type, window] : events) pushWindowEvent(type, window, 300, 200);
    });
    raiser.join();
    SDL_PumpEvents();
  }

  int calls() { return std::stoi(run("return calls")[0]); }
};

constexpr const char* kCountingCallback =
    "system.set_live_resize_callback(function(...) calls = calls + 1; arguments = select('#', ...) end)";

TEST_F(LiveResize, TwoWatchCallsBeforeTheMainThreadRunsDispatchOnce) {
  run(kCountingCallback);
  raiseElsewhere({{SDL_EVENT_WINDOW_RESIZED, mainId}, {SDL_EVENT_WINDOW_PIXEL_SIZE_CHANGED, mainId}});
  EXPECT_EQ(calls(), 1);
  EXPECT_EQ(run("return arguments"), Values{"0"}) << "the callback gets no arguments";
  raiseElsewhere({{SDL_EVENT_WINDOW_EXPOSED, mainId}});
  EXPECT_EQ(calls(), 2);
}

TEST_F(LiveResize, TheLaterEventOfTwoNamesTheWindowThatIsServed) {
  run(kCountingCallback);
  const uint64_t first = createSecondaryWindow();
  const uint64_t second = createSecondaryWindow();
  ASSERT_TRUE(SDL_SetWindowSize(registry().window(second).sdlWindow(), 260, 140));
  drainEvents();
  raiseElsewhere({{SDL_EVENT_WINDOW_RESIZED, first}, {SDL_EVENT_WINDOW_RESIZED, second}});
  EXPECT_TRUE(registry().takeEvents(first).empty());
  const std::deque<WindowEvent> queued = registry().takeEvents(second);
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].type, "resize");
  EXPECT_EQ(queued[0].width, 260) << "the window's size now, from its refreshed metrics";
  EXPECT_EQ(queued[0].height, 140);
  EXPECT_EQ(calls(), 0) << "the main window's callback is not run for another window";

  raiseElsewhere({{SDL_EVENT_WINDOW_EXPOSED, first}});
  EXPECT_EQ(registry().takeEvents(first).front().type, "expose");
}

TEST_F(LiveResize, ARootedWindowIsProcessedAtOnce) {
  run(kCountingCallback);
  const uint64_t other = createSecondaryWindow();
  auto root = std::make_unique<ui::TestRoot>(other);
  const ui::TestRoot* test = root.get();
  registry().setRoot(other, std::move(root));
  raiseElsewhere({{SDL_EVENT_WINDOW_EXPOSED, other}});
  EXPECT_EQ(test->eventCount(), 1u) << "the queued expose went to the root";
  EXPECT_FALSE(registry().window(other).needsRedraw()) << "and the window was drawn";
}

TEST_F(LiveResize, TheMainThreadsOwnEventsReachTheScriptThroughPolling) {
  run(kCountingCallback);
  pushWindowEvent(SDL_EVENT_WINDOW_RESIZED, mainId, 300, 200);
  EXPECT_EQ(poll(), (Values{"resize", "300", "200"}));
  EXPECT_EQ(calls(), 0);
}

TEST_F(LiveResize, ACallbackIsReplacedAndCleared) {
  run("system.set_live_resize_callback(function() calls = calls + 100 end)");
  run(kCountingCallback);
  raiseElsewhere({{SDL_EVENT_WINDOW_RESIZED, mainId}});
  EXPECT_EQ(calls(), 1) << "only the newer callback runs";

  EXPECT_EQ(run("system.set_live_resize_callback(nil); system.set_live_resize_callback()"), Values{});
  raiseElsewhere({{SDL_EVENT_WINDOW_RESIZED, mainId}});
  EXPECT_EQ(calls(), 1);
}

TEST_F(LiveResize, ANonFunctionIsRefusedAndChangesNothing) {
  run(kCountingCallback);
  EXPECT_NE(run("system.set_live_resize_callback(false)")[0].find("function expected"), std::string::npos);
  raiseElsewhere({{SDL_EVENT_WINDOW_RESIZED, mainId}});
  EXPECT_EQ(calls(), 1);
}

TEST_F(LiveResize, ACallbackErrorIsReportedAndContained) {
  run("system.set_live_resize_callback(function() calls = calls + 1; error('resize broke', 0) end)");
  testing::internal::CaptureStderr();
  raiseElsewhere({{SDL_EVENT_WINDOW_RESIZED, mainId}});
  raiseElsewhere({{SDL_EVENT_WINDOW_RESIZED, mainId}});
  run("system.set_live_resize_callback(function() error({}) end)");
  raiseElsewhere({{SDL_EVENT_WINDOW_RESIZED, mainId}});
  const std::string reported = testing::internal::GetCapturedStderr();
  EXPECT_EQ(calls(), 2) << "the loop goes on after an error";
  EXPECT_EQ(reported,
            "live resize callback failed: resize broke\n"
            "live resize callback failed: resize broke\n"
            "live resize callback failed: (error object is a table value)\n");
  EXPECT_EQ(lua_gettop(L), 0) << "the error value was popped";
}

}  // namespace
