#include "ui/window_event_queue.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace {

WindowEvent event(const std::string& type, double x = 0.0) {
  WindowEvent made;
  made.type = type;
  made.x = x;
  return made;
}

std::vector<std::string> types(const WindowEventQueue& queue) {
  std::vector<std::string> names;
  for (const WindowEvent& queued : queue.events()) names.push_back(queued.type);
  return names;
}

// 1024 key-downs numbered by x from 0 (oldest) to 1023.
WindowEventQueue fullOfKeyDowns() {
  WindowEventQueue queue;
  for (int i = 0; i < 1024; ++i) queue.push(event("keydown", i));
  return queue;
}

TEST(WindowEventQueue, BackToBackStateEventsCoalesceIntoTheNewest) {
  WindowEventQueue queue;
  for (double x : {1.0, 2.0, 3.0}) queue.push(event("mousemove", x));
  ASSERT_EQ(queue.events().size(), 1u);
  EXPECT_EQ(queue.events().front().x, 3.0);

  for (const char* type : {"mouseleave", "resize", "expose", "focusgained", "focuslost", "close_requested"}) {
    queue.push(event(type, 1.0));
    queue.push(event(type, 2.0));
    EXPECT_EQ(queue.events().back(), event(type, 2.0)) << type;
  }
  EXPECT_EQ(queue.events().size(), 7u);
}

TEST(WindowEventQueue, CoalescingReplacesEveryFieldOfTheNewestEventOnly) {
  WindowEventQueue queue;
  WindowEvent first = event("mousemove", 1.0);
  first.shift = true;
  first.text = "old";
  queue.push(std::move(first));
  queue.push(event("keydown"));
  queue.push(event("mousemove", 2.0));
  EXPECT_EQ(types(queue), (std::vector<std::string>{"mousemove", "keydown", "mousemove"}));
  queue.push(event("mousemove", 3.0));
  EXPECT_EQ(queue.events().back(), event("mousemove", 3.0)) << "no field of the replaced event survives";
  EXPECT_TRUE(queue.events().front().shift);
}

TEST(WindowEventQueue, WheelsKeysAndEmptyTypesNeverCoalesce) {
  WindowEventQueue queue;
  for (const char* type : {"mousewheel", "mousewheel", "keydown", "keydown", "", ""}) queue.push(event(type));
  EXPECT_EQ(queue.events().size(), 6u);
}

TEST(WindowEventQueue, FullQueueSacrificesTheOldestMergeableEvent) {
  WindowEventQueue queue;
  for (int i = 0; i < 1024; ++i) queue.push(event(i == 10 || i == 20 ? "mousewheel" : "keydown", i));
  queue.push(event("keydown", 2000));
  ASSERT_EQ(queue.events().size(), 1024u);
  EXPECT_EQ(queue.events()[10].x, 11.0) << "the wheel at position 10 went";
  EXPECT_EQ(queue.events()[19].type, "mousewheel");
  EXPECT_EQ(queue.events().back().x, 2000.0);

  queue.push(event("keydown", 2001));
  EXPECT_EQ(queue.events()[19].x, 21.0) << "then the second wheel";
  queue.push(event("keydown", 2002));
  EXPECT_EQ(queue.events().front().type, "queue_overflow") << "then, with nothing mergeable left, the marker";
  EXPECT_EQ(queue.events().size(), 1024u);
}

TEST(WindowEventQueue, FullQueueWithoutMergeableEventsDropsANewMergeableOne) {
  WindowEventQueue queue = fullOfKeyDowns();
  queue.push(event("mousemove", 5000));
  ASSERT_EQ(queue.events().size(), 1024u);
  EXPECT_EQ(queue.events().front().x, 0.0);
  EXPECT_EQ(queue.events().back().x, 1023.0);
}

TEST(WindowEventQueue, OverflowPutsOneMarkerBeforeTheNewestSurvivors) {
  WindowEventQueue queue = fullOfKeyDowns();
  queue.push(event("keyup"));
  ASSERT_EQ(queue.events().size(), 1024u);
  EXPECT_EQ(queue.events()[0], event("queue_overflow"));
  EXPECT_EQ(queue.events()[1].x, 2.0) << "the two oldest key-downs went";
  EXPECT_EQ(queue.events()[1022].x, 1023.0);
  EXPECT_EQ(queue.events()[1023].type, "keyup");

  queue.push(event("keyup", 1.0));
  ASSERT_EQ(queue.events().size(), 1024u);
  EXPECT_EQ(queue.events()[0].type, "queue_overflow") << "the marker stays first and single";
  EXPECT_EQ(queue.events()[1].x, 3.0) << "the oldest event after the marker went";
  EXPECT_EQ(queue.events()[1023].x, 1.0);
}

TEST(WindowEventQueue, AMarkerFurtherBackKeepsItsPlace) {
  WindowEventQueue queue;
  queue.push(event("keydown", -1));
  queue.push(event("queue_overflow"));
  for (int i = 0; i < 1022; ++i) queue.push(event("keydown", i));
  queue.push(event("keyup"));
  ASSERT_EQ(queue.events().size(), 1024u);
  EXPECT_EQ(queue.events()[0].type, "queue_overflow") << "the oldest event, not the marker, went";
  EXPECT_EQ(queue.events()[1].x, 0.0);
  EXPECT_EQ(queue.events().back().type, "keyup");
}

TEST(WindowEventQueue, TakeAllEmptiesTheQueueInArrivalOrder) {
  WindowEventQueue queue;
  queue.push(event("keydown", 1));
  queue.push(event("keyup", 2));
  const std::deque<WindowEvent> taken = queue.takeAll();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].type, "keydown");
  EXPECT_EQ(taken[1].type, "keyup");
  EXPECT_TRUE(queue.events().empty());
}

TEST(WindowEventQueue, PutBackRestoresTakenEventsAheadOfThoseQueuedSince) {
  WindowEventQueue queue;
  queue.push(event("keydown", 1));
  queue.push(event("mousemove", 2));
  std::deque<WindowEvent> taken = queue.takeAll();
  queue.push(event("mousemove", 3));
  queue.push(event("keyup", 4));
  queue.putBack(std::move(taken));
  EXPECT_EQ(types(queue), (std::vector<std::string>{"keydown", "mousemove", "keyup"}));
  EXPECT_EQ(queue.events()[1].x, 3.0) << "the later move merged into the one put back";

  WindowEventQueue full;
  full.push(event("mousemove"));
  for (int i = 1; i < 1024; ++i) full.push(event("keydown", i));
  full.putBack(full.takeAll());
  full.push(event("keyup"));
  EXPECT_EQ(full.events().front().type, "keydown") << "the move put back is the one a full queue sacrifices";
  EXPECT_EQ(full.events().back().type, "keyup");
}

}  // namespace
