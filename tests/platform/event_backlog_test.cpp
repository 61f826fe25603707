// The backlog of SDL's queue while nobody polls: moves and wheel steps merge, key presses stay, lost events
// are marked. Events are pushed straight into SDL's queue, as its drivers push what they read.
#include "platform/event_backlog.h"

#include <SDL3/SDL_init.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr SDL_WindowID kWindow = 7;

class EventBacklog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SDL_InitSubSystem(SDL_INIT_EVENTS)) << SDL_GetError();
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    installEventBacklog();
  }
  void TearDown() override {
    removeEventBacklog();
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    SDL_QuitSubSystem(SDL_INIT_EVENTS);
  }

  static void pushMove(float x, float xrel, SDL_WindowID window = kWindow) {
    SDL_Event event{};
    event.type = SDL_EVENT_MOUSE_MOTION;
    event.motion.windowID = window;
    event.motion.x = x;
    event.motion.xrel = xrel;
    SDL_PushEvent(&event);
  }
  static void pushWheel(float y, SDL_WindowID window = kWindow) {
    SDL_Event event{};
    event.type = SDL_EVENT_MOUSE_WHEEL;
    event.wheel.windowID = window;
    event.wheel.y = y;
    SDL_PushEvent(&event);
  }
  static void pushKey(SDL_Keycode key) {
    SDL_Event event{};
    event.type = SDL_EVENT_KEY_DOWN;
    event.key.windowID = kWindow;
    event.key.key = key;
    SDL_PushEvent(&event);
  }

  // Every event the one consumer polls until the queue is empty, of the types these tests push.
  static std::vector<SDL_Event> drain() {
    std::vector<SDL_Event> events;
    SDL_Event event;
    // A poll stops at the mark SDL sets at each pump, with events behind it: go on until none is left.
    while (true) {
      if (!pollEventBacklog(&event)) {
        if (SDL_HasEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST)) continue;
        break;
      }
      const bool ours = event.type == SDL_EVENT_MOUSE_MOTION || event.type == SDL_EVENT_MOUSE_WHEEL ||
                        event.type == SDL_EVENT_KEY_DOWN || event.type == eventBacklogOverflowType();
      if (ours) events.push_back(event);
    }
    return events;
  }
};

TEST_F(EventBacklog, AFloodOfMovesLeavesEveryKeyPressInOrderAndTheMotionWhole) {
  constexpr int kKeys = 10000, kMovesPerKey = 10;
  for (int key = 0; key < kKeys; ++key) {
    for (int step = 0; step < kMovesPerKey; ++step) pushMove(static_cast<float>(key * kMovesPerKey + step), 1.0f);
    pushKey(key);
  }
  std::vector<SDL_Keycode> keys;
  double motion = 0.0;
  size_t moves = 0;
  float lastX = -1.0f;
  for (const SDL_Event& event : drain()) {
    ASSERT_NE(event.type, eventBacklogOverflowType()) << "nothing had to be dropped";
    if (event.type == SDL_EVENT_KEY_DOWN) keys.push_back(event.key.key);
    if (event.type == SDL_EVENT_MOUSE_MOTION) {
      motion += event.motion.xrel;
      lastX = event.motion.x;
      ++moves;
    }
  }
  ASSERT_EQ(keys.size(), static_cast<size_t>(kKeys));
  for (int key = 0; key < kKeys; ++key) ASSERT_EQ(keys[key], static_cast<SDL_Keycode>(key));
  EXPECT_EQ(motion, kKeys * kMovesPerKey) << "merged moves carry the motion of those they replace";
  EXPECT_EQ(lastX, kKeys * kMovesPerKey - 1) << "and the newest position";
  EXPECT_LT(moves, static_cast<size_t>(kKeys * kMovesPerKey));
}

TEST_F(EventBacklog, WithoutABacklogEveryMoveIsKept) {
  for (int step = 0; step < 100; ++step) pushMove(static_cast<float>(step), 1.0f);
  const std::vector<SDL_Event> events = drain();
  ASSERT_EQ(events.size(), 100u);
  for (int step = 0; step < 100; ++step) EXPECT_EQ(events[step].motion.x, step);
}

TEST_F(EventBacklog, InABacklogOnlyConsecutiveStepsOfOneWindowMerge) {
  constexpr int kBacklog = 5000;
  for (int key = 0; key < kBacklog; ++key) pushKey(key);
  for (int step = 0; step < 4; ++step) pushWheel(1.0f);
  pushWheel(1.0f, kWindow + 1);
  pushWheel(2.0f);
  pushMove(5.0f, 2.0f);
  pushMove(6.0f, 3.0f);
  pushKey(-1);
  pushMove(7.0f, 1.0f);

  const std::vector<SDL_Event> events = drain();
  ASSERT_EQ(events.size(), static_cast<size_t>(kBacklog + 6));
  const SDL_Event* tail = &events[kBacklog];
  EXPECT_EQ(tail[0].type, SDL_EVENT_MOUSE_WHEEL);
  EXPECT_EQ(tail[0].wheel.y, 4.0f);
  EXPECT_EQ(tail[1].wheel.windowID, kWindow + 1) << "another window's step stays between";
  EXPECT_EQ(tail[2].wheel.y, 2.0f);
  EXPECT_EQ(tail[3].type, SDL_EVENT_MOUSE_MOTION);
  EXPECT_EQ(tail[3].motion.x, 6.0f);
  EXPECT_EQ(tail[3].motion.xrel, 5.0f);
  EXPECT_EQ(tail[4].key.key, static_cast<SDL_Keycode>(-1));
  EXPECT_EQ(tail[5].motion.x, 7.0f) << "held back until the queue drained, then handed out";
}

TEST_F(EventBacklog, EventsBeyondTheQueueAreMarkedWhereTheyWereLost) {
  constexpr int kFlood = 70000;
  for (int key = 0; key < kFlood; ++key) pushKey(key);
  SDL_Event event;
  for (int taken = 0; taken < 1000; ++taken) ASSERT_TRUE(pollEventBacklog(&event));
  pushKey(kFlood);

  const std::vector<SDL_Event> events = drain();
  ASSERT_GE(events.size(), 2u);
  const SDL_Event& marker = events[events.size() - 2];
  EXPECT_EQ(marker.type, eventBacklogOverflowType()) << "the marker stands before what came after the loss";
  EXPECT_EQ(events.back().key.key, static_cast<SDL_Keycode>(kFlood));
  const SDL_Event& lastKept = events[events.size() - 3];
  EXPECT_LT(lastKept.key.key, static_cast<SDL_Keycode>(kFlood - 1)) << "the queue could not take them all";
  for (size_t i = 1; i + 2 < events.size(); ++i) {
    ASSERT_EQ(events[i].key.key, events[i - 1].key.key + 1) << "what was kept is whole and in order";
  }
}

TEST_F(EventBacklog, RemovingTheBacklogHandsBackTheMoveItHeld) {
  for (int key = 0; key < 5000; ++key) pushKey(key);
  pushMove(3.0f, 1.0f);
  removeEventBacklog();
  SDL_Event event;
  int moves = 0;
  while (SDL_PollEvent(&event)) moves += event.type == SDL_EVENT_MOUSE_MOTION;
  EXPECT_EQ(moves, 1);
  installEventBacklog();
}

}  // namespace
