// The window event queue's merging and overflow rules.
#include "ui/window_event_queue.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view kOverflowType = "queue_overflow";

// Types whose newest queued event a new one of the same type replaces.
bool isCoalescingType(std::string_view type) {
  static constexpr std::array<std::string_view, 7> kTypes = {"mousemove",   "mouseleave", "resize",         "expose",
                                                             "focusgained", "focuslost",  "close_requested"};
  return std::find(kTypes.begin(), kTypes.end(), type) != kTypes.end();
}

}  // namespace

bool isMergeableEvent(const WindowEvent& event) {
  return event.type == "mousemove" || event.type == "mousewheel" || event.type == "resize" || event.type == "expose";
}

void WindowEventQueue::push(WindowEvent&& event) {
  if (coalesceWithNewest(event)) return;
  if (events_.size() < kCapacity) {
    append(std::move(event));
    return;
  }
  pushIntoFullQueue(std::move(event));
}

std::deque<WindowEvent> WindowEventQueue::takeAll() {
  mergeableCount_ = 0;
  return std::exchange(events_, {});
}

// Swapped, so that only events queued since can need room.
void WindowEventQueue::putBack(std::deque<WindowEvent>&& taken) {
  events_.swap(taken);
  mergeableCount_ = static_cast<size_t>(std::count_if(events_.begin(), events_.end(), isMergeableEvent));
  for (WindowEvent& newer : taken) push(std::move(newer));
}

WindowEvent WindowEventQueue::popOldest() {
  WindowEvent oldest = std::move(events_.front());
  if (isMergeableEvent(oldest)) --mergeableCount_;
  events_.pop_front();
  return oldest;
}

void WindowEventQueue::append(WindowEvent&& event) {
  const bool mergeable = isMergeableEvent(event);
  events_.push_back(std::move(event));
  if (mergeable) ++mergeableCount_;
}

void WindowEventQueue::erase(std::deque<WindowEvent>::iterator position) {
  if (isMergeableEvent(*position)) --mergeableCount_;
  events_.erase(position);
}

// Only the newest queued event is compared: an older one of the same type further back stays. The type,
// and with it the mergeable count, does not change.
bool WindowEventQueue::coalesceWithNewest(WindowEvent& event) {
  if (events_.empty() || event.type.empty() || events_.back().type != event.type) return false;
  if (!isCoalescingType(event.type)) return false;
  events_.back() = std::move(event);
  return true;
}

void WindowEventQueue::pushIntoFullQueue(WindowEvent&& event) {
  if (mergeableCount_ > 0) {
    erase(std::find_if(events_.begin(), events_.end(), isMergeableEvent));
    append(std::move(event));
    return;
  }
  if (isMergeableEvent(event)) return;

  const auto marker = std::find_if(events_.begin(), events_.end(),
                                   [](const WindowEvent& queued) { return queued.type == kOverflowType; });
  if (marker != events_.end()) {
    // Lose the oldest event that is not the marker, so the marker keeps its place.
    erase(marker == events_.begin() ? std::next(events_.begin()) : events_.begin());
    append(std::move(event));
    return;
  }
  erase(events_.begin());
  erase(events_.begin());
  WindowEvent overflow;
  overflow.type = kOverflowType;
  events_.push_front(std::move(overflow));
  append(std::move(event));
}
