// system.poll_event, wait_event and the routing of native events, with events pushed into SDL's queue.
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "render/window_renderer.h"
#include "system_module_fixture.h"
#include "ui/root.h"
#include "ui/update_batch.h"

namespace {

class SystemEvents : public SystemModuleTest {
 protected:
  void pushButton(uint32_t type, uint64_t window, uint8_t button, float x, float y, uint8_t clicks = 1) {
    SDL_Event event = eventOfType(type);
    event.button.windowID = sdlIdOf(window);
    event.button.button = button;
    event.button.x = x;
    event.button.y = y;
    event.button.clicks = clicks;
    push(event);
  }

  void pushKey(uint32_t type, uint64_t window, SDL_Keycode key, SDL_Scancode scancode, uint16_t modifiers,
               bool repeat = false) {
    SDL_Event event = eventOfType(type);
    event.key.windowID = sdlIdOf(window);
    event.key.key = key;
    event.key.scancode = scancode;
    event.key.mod = modifiers;
    event.key.repeat = repeat;
    push(event);
  }

  void pushMotion(uint64_t window, float x, float y, float dx, float dy) {
    SDL_Event event = eventOfType(SDL_EVENT_MOUSE_MOTION);
    event.motion.windowID = sdlIdOf(window);
    event.motion.x = x;
    event.motion.y = y;
    event.motion.xrel = dx;
    event.motion.yrel = dy;
    push(event);
  }
};

TEST_F(SystemEvents, MouseButtonsOfTheMainWindowReturnValuesAndOnlyTheLeftOneCaptures) {
  pushButton(SDL_EVENT_MOUSE_BUTTON_DOWN, mainId, SDL_BUTTON_RIGHT, 10.5f, 20.0f);
  pushButton(SDL_EVENT_MOUSE_BUTTON_DOWN, mainId, SDL_BUTTON_LEFT, 1.0f, 2.0f, 2);
  pushButton(SDL_EVENT_MOUSE_BUTTON_UP, mainId, SDL_BUTTON_LEFT, 3.0f, 4.0f);
  EXPECT_EQ(poll(), (Values{"mousedown", "right", "10.5", "20.0", "1", ""}));
  EXPECT_TRUE(mouse.captureCalls.empty());

  SDL_SetModState(SDL_KMOD_LSHIFT);  // read when the event is polled
  EXPECT_EQ(poll(), (Values{"mousedown", "left", "1.0", "2.0", "2", "shift"}));
  EXPECT_EQ(poll(), (Values{"mouseup", "left", "3.0", "4.0"}));
  SDL_SetModState(SDL_KMOD_NONE);
  EXPECT_EQ(mouse.captureCalls, (std::vector<bool>{true, false}));
}

TEST_F(SystemEvents, KeyEventsOfTheMainWindowNameTheKeyAndItsModifiers) {
  pushKey(SDL_EVENT_KEY_DOWN, mainId, SDLK_A, SDL_SCANCODE_A, SDL_KMOD_LCTRL | SDL_KMOD_RALT);
  pushKey(SDL_EVENT_KEY_UP, mainId, SDLK_A, SDL_SCANCODE_A, SDL_KMOD_RCTRL | SDL_KMOD_LSHIFT);
  pushKey(SDL_EVENT_KEY_DOWN, mainId, 0, SDL_SCANCODE_F7, 0);
  EXPECT_EQ(poll(), (Values{"keydown", "a", "altgr"}));
  EXPECT_EQ(poll(), (Values{"keyup", "a", "ctrl+shift"}));
  EXPECT_EQ(poll(), (Values{"keydown", "f7", ""}));
}

TEST_F(SystemEvents, KeyPressesOfAMainWindowThatDidNotPollOutliveAFloodOfMoves) {
  // SDL_PushEvent says false for a move that was merged, as for one that was lost: the results are not read.
  SDL_Event move = eventOfType(SDL_EVENT_MOUSE_MOTION);
  move.motion.windowID = sdlIdOf(mainId);
  move.motion.xrel = 1.0f;
  SDL_Event key = eventOfType(SDL_EVENT_KEY_DOWN);
  key.key.windowID = sdlIdOf(mainId);
  key.key.key = SDLK_A;
  for (int keys = 0; keys < 10000; ++keys) {
    for (int step = 0; step < 10; ++step) SDL_PushEvent(&move);
    SDL_PushEvent(&key);
  }
  EXPECT_EQ(run(R"lua(
    local keys, motion, lost = 0, 0, 0
    while true do
      local name, _, _, dx = system.poll_event()
      if name == nil and not system.wait_event(0) then break end
      if name == "keydown" then keys = keys + 1 end
      if name == "mousemove" then motion = motion + dx end
      if name == "queue_overflow" then lost = lost + 1 end
    end
    return keys, motion, lost)lua"),
            (Values{"10000", "100000.0", "0"}));
}

TEST_F(SystemEvents, EventsSdlCouldNotHoldAreReportedToTheScriptAndEveryOtherWindow) {
  const uint64_t other = createSecondaryWindow();
  SDL_Event key = eventOfType(SDL_EVENT_KEY_DOWN);
  key.key.windowID = sdlIdOf(mainId);
  key.key.key = SDLK_A;
  for (int keys = 0; keys < 70000; ++keys) SDL_PushEvent(&key);
  EXPECT_EQ(run(R"lua(
    local keys, last = 0
    while true do
      local name = system.poll_event()
      if name == nil and not system.wait_event(0) then break end
      if name == "keydown" then keys = keys + 1 end
      last = name or last
    end
    return keys < 70000, last)lua"),
            (Values{"true", "queue_overflow"}));
  const std::deque<WindowEvent> queued = registry().window(other).takeEvents();
  ASSERT_FALSE(queued.empty());
  EXPECT_EQ(queued.back().type, "queue_overflow");
}

// A backlog of key presses that the main window's focus then discards leaves SDL's queue empty behind the
// event the script polls; the moves held back meanwhile are ready for poll_event, so wait_event must not sleep.
class SystemEventsAfterABacklog : public SystemEvents {
 protected:
  void SetUp() override {
    SystemEvents::SetUp();
    pushWindowEvent(SDL_EVENT_WINDOW_FOCUS_GAINED, mainId);
    for (int key = 0; key < 5000; ++key) pushKey(SDL_EVENT_KEY_DOWN, mainId, SDLK_A, SDL_SCANCODE_A, 0);
    pushWindowEvent(SDL_EVENT_WINDOW_MOUSE_LEAVE, mainId);
  }

  SDL_Event move() {
    SDL_Event event = eventOfType(SDL_EVENT_MOUSE_MOTION);
    event.motion.windowID = sdlIdOf(mainId);
    event.motion.xrel = 1.0f;
    return event;
  }

  // Polls the one event left, waits at most 5 s, then polls again: whether the wait saw an event, what the
  // second poll gave, and whether the wait ended within 2 s.
  Values pollWaitAndPoll() {
    return run(R"lua(
      assert(system.poll_event() == "mouseleave")
      local started = system.get_time()
      local woke = system.wait_event(5)
      local waited = system.get_time() - started
      return woke, system.poll_event(), waited < 2)lua");
  }
};

TEST_F(SystemEventsAfterABacklog, AMoveHeldBackWakesWaitEventAsItWakesPollEvent) {
  // SDL_PushEvent says false for a move that was held back, as for one that was lost: the result is not read.
  SDL_Event held = move();
  SDL_PushEvent(&held);  // behind 5,000 queued events
  EXPECT_EQ(pollWaitAndPoll(), (Values{"true", "mousemove", "true"}));
}

TEST_F(SystemEventsAfterABacklog, AMoveThatArrivesDuringTheWaitEndsIt) {
  std::thread mover([late = move()]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    SDL_PushEvent(&late);
  });
  const Values result = pollWaitAndPoll();
  mover.join();
  EXPECT_EQ(result, (Values{"true", "mousemove", "true"}));
}

TEST_F(SystemEvents, AnEmptyQueueGivesNoValuesAndWaitingZeroSecondsIsFalse) {
  EXPECT_EQ(run("return select('#', system.poll_event())"), Values{"0"});
  EXPECT_EQ(run("return system.wait_event(0)"), Values{"false"});
  EXPECT_EQ(run("return system.pump_events()"), Values{});
  pushWindowEvent(SDL_EVENT_WINDOW_MOUSE_LEAVE, mainId);
  EXPECT_EQ(run("return system.wait_event(0.5)"), Values{"true"}) << "an event is waiting: no wait";
  EXPECT_EQ(poll(), Values{"mouseleave"}) << "and it stays queued for poll_event";
}

TEST_F(SystemEvents, AnEmptyQueueProcessesTheRootWindowsAndIsRefusedDuringUiWork) {
  const uint64_t other = createSecondaryWindow();
  registry().setRoot(other, std::make_unique<ui::TestRoot>(other));
  pushWindowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED, other);
  EXPECT_EQ(poll(), Values{});
  EXPECT_FALSE(registry().exists(other)) << "its root closed it within the same call";

  Application& application = *currentApplication();
  ASSERT_TRUE(application.updateBatch().begin());
  EXPECT_EQ(poll(), Values{"error: [string \"return system.poll_event()\"]:1: cannot poll native events during an "
                           "active UI callback"});
  application.updateBatch().end(true);
}

TEST_F(SystemEvents, WaitEventRejectsTimeoutsOutsideItsRange) {
  EXPECT_EQ(run("return system.wait_event(-1)"),
            Values{"error: [string \"return system.wait_event(-1)\"]:1: bad argument #1 to 'wait_event' (timeout "
                   "must be a finite non-negative number)"});
  for (const char* timeout : {"-1", "0/0", "math.huge", "-0.001"}) {
    const Values result = run(std::string("return system.wait_event(") + timeout + ")");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_NE(result[0].find("timeout must be a finite non-negative number"), std::string::npos) << timeout;
  }
  EXPECT_NE(run("return system.wait_event(2147483.648)")[0].find("timeout is too large"), std::string::npos);
  EXPECT_NE(run("return system.wait_event('soon')")[0].find("number expected"), std::string::npos);
}

TEST_F(SystemEvents, QuitCloseRequestAndWakeUpNeedNoScript) {
  setWakeUpEventType(SDL_RegisterEvents(1));
  push(eventOfType(SDL_EVENT_QUIT));
  pushWindowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED, mainId);
  push(eventOfType(wakeUpEventType()));
  EXPECT_EQ(poll(), Values{"quit"});
  EXPECT_EQ(poll(), Values{"quit"});
  EXPECT_EQ(poll(), Values{"expose"});
  setWakeUpEventType(0);
}

TEST_F(SystemEvents, WindowChangesOfTheMainWindow) {
  NativeWindow& window = registry().window(mainId);
  pushWindowEvent(SDL_EVENT_WINDOW_RESIZED, mainId, 640, 480);
  pushWindowEvent(SDL_EVENT_WINDOW_EXPOSED, mainId);
  pushWindowEvent(SDL_EVENT_WINDOW_MAXIMIZED, mainId);
  pushWindowEvent(SDL_EVENT_WINDOW_FOCUS_LOST, mainId);
  pushWindowEvent(SDL_EVENT_WINDOW_MOVED, mainId, 5, 5);
  window.clearRedraw();
  EXPECT_EQ(poll(), (Values{"resize", "640", "480"}));
  EXPECT_TRUE(window.needsRedraw()) << "a resize marks the window for redraw";
  window.clearRedraw();
  EXPECT_EQ(poll(), Values{"expose"});
  EXPECT_TRUE(window.needsRedraw()) << "so does an expose";
  window.clearRedraw();
  EXPECT_EQ(poll(), (Values{"windowmode", "normal"})) << "the mode is read from the window, not the event";
  EXPECT_EQ(poll(), Values{}) << "focus changes and moves give the script nothing";
  EXPECT_FALSE(window.needsRedraw());
}

TEST_F(SystemEvents, PollingInsideAFrameLeavesTheFrameOpen) {
  WindowRenderer& renderer = *registry().window(mainId).renderer();
  int width = 0, height = 0;
  ASSERT_TRUE(SDL_GetWindowSizeInPixels(registry().window(mainId).sdlWindow(), &width, &height));
  renderer.beginDrawing();
  pushWindowEvent(SDL_EVENT_WINDOW_EXPOSED, mainId);
  pushWindowEvent(SDL_EVENT_WINDOW_DISPLAY_SCALE_CHANGED, mainId);
  EXPECT_EQ(poll(), Values{"expose"});
  EXPECT_EQ(poll(), (Values{"resize", std::to_string(width), std::to_string(height)})) << "the output size in pixels";
  EXPECT_TRUE(renderer.isDrawing());
  renderer.endDrawing();
  EXPECT_FALSE(renderer.isDrawing());
}

TEST_F(SystemEvents, PointerAndTextEventsOfTheMainWindow) {
  pushMotion(mainId, 5.0f, 6.0f, 1.0f, -1.0f);
  SDL_Event wheel = eventOfType(SDL_EVENT_MOUSE_WHEEL);
  wheel.wheel.windowID = sdlIdOf(mainId);
  wheel.wheel.y = -2.0f;
  push(wheel);
  SDL_Event text = eventOfType(SDL_EVENT_TEXT_INPUT);
  text.text.windowID = sdlIdOf(mainId);
  text.text.text = "\xC3\xA9t\xC3\xA9";
  push(text);
  SDL_Event editing = eventOfType(SDL_EVENT_TEXT_EDITING);
  editing.edit.windowID = sdlIdOf(mainId);
  editing.edit.start = 1;
  editing.edit.length = 2;
  push(editing);
  EXPECT_EQ(poll(), (Values{"mousemove", "5.0", "6.0", "1.0", "-1.0"}));
  EXPECT_EQ(poll(), (Values{"mousewheel", "-2.0"}));
  EXPECT_EQ(poll(), (Values{"textinput", "\xC3\xA9t\xC3\xA9"}));
  EXPECT_EQ(poll(), (Values{"textediting", "", "1", "2"})) << "absent composition text reads as empty";
}

TEST_F(SystemEvents, FilesDroppedOnTheMainWindowOnly) {
  const uint64_t other = createSecondaryWindow();
  for (uint64_t window : {other, mainId}) {
    SDL_Event drop = eventOfType(SDL_EVENT_DROP_FILE);
    drop.drop.windowID = sdlIdOf(window);
    drop.drop.x = 12.0f;
    drop.drop.y = 34.0f;
    drop.drop.data = "/tmp/d\xC3\xA9j\xC3\xA0.txt";
    push(drop);
  }
  EXPECT_EQ(poll(), (Values{"filedrop", "/tmp/d\xC3\xA9j\xC3\xA0.txt", "12.0", "34.0"}));
  EXPECT_TRUE(registry().takeEvents(other).empty());
}

TEST_F(SystemEvents, FocusOnTheMainWindowDiscardsQueuedKeyDowns) {
  registry().window(mainId).pointerPosition().present = false;
  pushWindowEvent(SDL_EVENT_WINDOW_FOCUS_GAINED, mainId);
  pushKey(SDL_EVENT_KEY_DOWN, mainId, SDLK_B, SDL_SCANCODE_B, 0);
  pushKey(SDL_EVENT_KEY_UP, mainId, SDLK_B, SDL_SCANCODE_B, 0);
  EXPECT_EQ(poll(), (Values{"keyup", "b", ""}));
  EXPECT_TRUE(registry().window(mainId).pointerPosition().present);
}

TEST_F(SystemEvents, EventsOfOtherWindowsAreQueuedOnThem) {
  const uint64_t other = createSecondaryWindow();
  SDL_SetModState(SDL_KMOD_LCTRL);
  pushKey(SDL_EVENT_KEY_DOWN, other, SDLK_Q, SDL_SCANCODE_Q, SDL_KMOD_LSHIFT | SDL_KMOD_RGUI, true);
  pushButton(SDL_EVENT_MOUSE_BUTTON_DOWN, other, SDL_BUTTON_X1, 8.0f, 9.0f, 3);
  pushWindowEvent(SDL_EVENT_WINDOW_FOCUS_LOST, other);
  pushWindowEvent(SDL_EVENT_WINDOW_RESIZED, other, 999, 999);
  pushWindowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED, other);
  EXPECT_EQ(poll(), Values{}) << "nothing for the script";
  SDL_SetModState(SDL_KMOD_NONE);

  const std::deque<WindowEvent> queued = registry().takeEvents(other);
  ASSERT_EQ(queued.size(), 5u);
  EXPECT_EQ(queued[0].type, "keydown");
  EXPECT_EQ(queued[0].text, "q");
  EXPECT_TRUE(queued[0].shift && queued[0].system && queued[0].repeat);
  EXPECT_FALSE(queued[0].control) << "a key event carries its own modifiers";
  EXPECT_EQ(queued[1].type, "mousedown");
  EXPECT_EQ(queued[1].text, "x1");
  EXPECT_EQ(queued[1].x, 8.0);
  EXPECT_EQ(queued[1].clicks, 3);
  EXPECT_TRUE(queued[1].control) << "pointer events carry SDL's modifier state";
  EXPECT_EQ(queued[2].type, "focuslost");
  EXPECT_EQ(queued[3].type, "resize");
  EXPECT_EQ(queued[3].width, 200) << "the logical size, not the event's";
  EXPECT_EQ(queued[3].height, 100);
  EXPECT_EQ(queued[4].type, "close_requested");
}

TEST_F(SystemEvents, AMouseMoveUpdatesThePointerOfItsOwnWindowOnly) {
  const uint64_t other = createSecondaryWindow();
  pushMotion(other, 10.4f, 20.6f, 2.0f, 3.0f);
  EXPECT_EQ(poll(), Values{});
  const PointerPosition& pointer = registry().window(other).pointerPosition();
  EXPECT_EQ(pointer.x, 10);
  EXPECT_EQ(pointer.y, 21);
  EXPECT_EQ(registry().window(mainId).pointerPosition().x, 0);
  EXPECT_EQ(registry().window(mainId).pointerPosition().y, 0);

  SDL_Event wheel = eventOfType(SDL_EVENT_MOUSE_WHEEL);
  wheel.wheel.windowID = sdlIdOf(other);
  wheel.wheel.x = 0.5f;
  wheel.wheel.y = 1.0f;
  push(wheel);
  EXPECT_EQ(poll(), Values{});
  const std::deque<WindowEvent> queued = registry().takeEvents(other);
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].dx, 2.0);
  EXPECT_EQ(queued[1].type, "mousewheel");
  EXPECT_EQ(queued[1].x, 10.0) << "a wheel event happens at the stored pointer position";
  EXPECT_EQ(queued[1].y, 21.0);
  EXPECT_EQ(queued[1].dy, 1.0);
}

TEST_F(SystemEvents, EventsOfUnregisteredWindowsAreDropped) {
  const uint64_t other = createSecondaryWindow();
  const uint32_t gone = sdlIdOf(other);
  registry().closeWindow(other);
  SDL_Event key = eventOfType(SDL_EVENT_KEY_DOWN);
  key.key.windowID = gone;
  push(key);
  key.key.windowID = 0;
  push(key);
  EXPECT_EQ(poll(), Values{});
}

TEST_F(SystemEvents, AFailureInsideTheUiHostIsALuaErrorNotACrash) {
  mouse.onCapture = [](bool) { throw std::runtime_error("capture exploded"); };
  pushButton(SDL_EVENT_MOUSE_BUTTON_DOWN, mainId, SDL_BUTTON_LEFT, 1.0f, 1.0f);
  pushWindowEvent(SDL_EVENT_WINDOW_MOUSE_LEAVE, mainId);
  const Values result = poll();
  ASSERT_EQ(result.size(), 1u);
  EXPECT_NE(result[0].find("capture exploded"), std::string::npos) << result[0];
  mouse.onCapture = nullptr;
  EXPECT_EQ(poll(), Values{"mouseleave"}) << "polling goes on with the next event";
}

}  // namespace
