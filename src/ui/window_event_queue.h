// The event queue of one native window: arrival order, oldest first, at most 1024 events. Events that only
// describe a current state merge with an equal-typed newest event; a full queue sacrifices the oldest
// mergeable event, then drops a new mergeable one, and otherwise loses its oldest events behind a single
// "queue_overflow" marker kept at the front.
#pragma once

#include <cstddef>
#include <deque>

#include "ui/window_defs.h"

// "mousemove", "mousewheel", "resize" and "expose": events a full queue may lose without losing meaning.
bool isMergeableEvent(const WindowEvent& event);

class WindowEventQueue {
 public:
  static constexpr size_t kCapacity = 1024;

  void push(WindowEvent&& event);
  // Moves the oldest event out; the queue must not be empty.
  WindowEvent popOldest();
  // Moves every queued event out, oldest first, leaving the queue empty.
  std::deque<WindowEvent> takeAll();
  // Puts events that takeAll moved out back in front, as if never taken; events queued since follow them
  // under the usual merging and limit.
  void putBack(std::deque<WindowEvent>&& taken);
  const std::deque<WindowEvent>& events() const { return events_; }

 private:
  bool coalesceWithNewest(WindowEvent& event);
  void pushIntoFullQueue(WindowEvent&& event);
  void append(WindowEvent&& event);
  void erase(std::deque<WindowEvent>::iterator position);

  std::deque<WindowEvent> events_;
  size_t mergeableCount_ = 0;  // spares a full queue of key events the search for one to sacrifice
};
