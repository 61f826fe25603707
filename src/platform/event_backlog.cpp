// The backlog filter. SDL calls the filter for every pushed event, on the pushing thread, before its event
// watches; an event the filter refuses never reaches the queue or the watches. Events held back are added
// later with SDL_PeepEvents, which passes by the filter. Only moves and wheel steps are ever held back or
// merged: every other event goes on to SDL as before, so its watches still see it even when the queue is full.
//
// The count of queued events is kept here (added by the filter, taken by pollEventBacklog, cleared when a
// poll finds the queue empty), since SDL's own count is not public and counting its queue costs a walk over it.
#include "platform/event_backlog.h"

#include <SDL3/SDL_timer.h>

#include <cstddef>
#include <mutex>
#include <optional>

namespace {

// Below this many queued events nothing is held back: a script that polls sees every move.
constexpr size_t kMergeFrom = 4096;
// SDL's queue holds 65,535 events; some room is left for the sentinel SDL pushes with each pump.
constexpr size_t kQueueRoom = 65535 - 256;

struct Backlog {
  std::mutex mutex;
  size_t queued = 0;
  std::optional<SDL_Event> held;  // newer than everything queued
  bool overflowed = false;        // events were lost since the last marker
  uint32_t overflowType = 0;
};

Backlog backlog;

bool isMergeable(const SDL_Event& event) {
  return event.type == SDL_EVENT_MOUSE_MOTION || event.type == SDL_EVENT_MOUSE_WHEEL;
}

// Folds `older` into `newer` when they are consecutive moves (or wheel steps) of one pointer in one window.
bool mergeInto(const SDL_Event& older, SDL_Event& newer) {
  if (older.type != newer.type) return false;
  if (newer.type == SDL_EVENT_MOUSE_MOTION) {
    const SDL_MouseMotionEvent& was = older.motion;
    SDL_MouseMotionEvent& now = newer.motion;
    if (was.windowID != now.windowID || was.which != now.which || was.state != now.state) return false;
    now.xrel += was.xrel;
    now.yrel += was.yrel;
    return true;
  }
  const SDL_MouseWheelEvent& was = older.wheel;
  SDL_MouseWheelEvent& now = newer.wheel;
  if (was.windowID != now.windowID || was.which != now.which || was.direction != now.direction) return false;
  now.x += was.x;
  now.y += was.y;
  return true;
}

// Adds one event behind the filter's back; a lost one is remembered for the marker.
void addToQueue(SDL_Event event) {
  if (backlog.queued >= kQueueRoom || SDL_PeepEvents(&event, 1, SDL_ADDEVENT, 0, 0) != 1) {
    backlog.overflowed = true;
    return;
  }
  ++backlog.queued;
}

// The marker goes in before anything newer than the events it stands for.
void addMarkerIfLost() {
  if (!backlog.overflowed || backlog.queued >= kQueueRoom) return;
  if (backlog.overflowType == 0) {
    backlog.overflowed = false;
    return;
  }
  backlog.overflowed = false;
  SDL_Event marker{};
  marker.type = backlog.overflowType;
  marker.common.timestamp = SDL_GetTicksNS();
  addToQueue(marker);
}

void releaseHeld() {
  if (!backlog.held) return;
  addMarkerIfLost();
  addToQueue(*backlog.held);
  backlog.held.reset();
}

// True when SDL's queue holds an event (its poll marks aside); looks at the first only.
bool queueHasEvents() {
  SDL_Event first;
  return SDL_PeepEvents(&first, 1, SDL_PEEKEVENT, SDL_EVENT_FIRST, SDL_EVENT_LAST) > 0;
}

bool SDLCALL backlogFilter(void*, SDL_Event* event) {
  const std::lock_guard<std::mutex> lock(backlog.mutex);
  if (!backlog.held && !backlog.overflowed && backlog.queued < kMergeFrom) {
    ++backlog.queued;
    return true;
  }
  // A move is held back only behind a queued event, which wakes a waiting consumer: the count runs ahead of an
  // empty queue when events left it without a poll (SDL_FlushEvent), and a move held then would wake nobody.
  if (isMergeable(*event) && !backlog.held && !queueHasEvents()) {
    backlog.queued = 0;
    addMarkerIfLost();
    ++backlog.queued;
    return true;
  }
  if (isMergeable(*event)) {
    SDL_Event newest = *event;  // the pusher's own event stays as it was
    if (backlog.held && !mergeInto(*backlog.held, newest)) releaseHeld();
    backlog.held = newest;
    return false;
  }
  releaseHeld();
  if (backlog.queued >= kQueueRoom) {
    backlog.overflowed = true;  // SDL will most likely refuse it too, but its watches still see it
  } else {
    addMarkerIfLost();
    ++backlog.queued;
  }
  return true;
}

}  // namespace

void installEventBacklog() {
  const uint32_t type = SDL_RegisterEvents(1);
  {
    const std::lock_guard<std::mutex> lock(backlog.mutex);
    backlog.queued = 0;
    backlog.held.reset();
    backlog.overflowed = false;
    backlog.overflowType = type;
  }
  // SDL passes the events already queued through the filter, which counts them.
  SDL_SetEventFilter(backlogFilter, nullptr);
}

void removeEventBacklog() {
  SDL_SetEventFilter(nullptr, nullptr);
  const std::lock_guard<std::mutex> lock(backlog.mutex);
  if (backlog.held) SDL_PeepEvents(&*backlog.held, 1, SDL_ADDEVENT, 0, 0);
  backlog.held.reset();
  backlog.overflowed = false;
  backlog.overflowType = 0;
}

bool pollEventBacklog(SDL_Event* event) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (SDL_PollEvent(event)) {
      const std::lock_guard<std::mutex> lock(backlog.mutex);
      if (backlog.queued > 0) --backlog.queued;
      return true;
    }
    const std::lock_guard<std::mutex> lock(backlog.mutex);
    // A poll also ends at the mark SDL queues with each pump, which newer events may follow.
    if (!SDL_HasEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST)) backlog.queued = 0;
    if (!backlog.held && !backlog.overflowed) return false;
    releaseHeld();
    addMarkerIfLost();
  }
  return false;
}

bool eventBacklogHolds() {
  const std::lock_guard<std::mutex> lock(backlog.mutex);
  return backlog.held || backlog.overflowed;
}

uint32_t eventBacklogOverflowType() {
  const std::lock_guard<std::mutex> lock(backlog.mutex);
  return backlog.overflowType;
}
