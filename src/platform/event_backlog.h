// The backlog of SDL's event queue while nobody polls it. SDL holds at most 65,535 events and drops the rest
// in silence; after a stall of the scripts, pointer moves would crowd out keystrokes. Once a backlog has built
// up, consecutive pointer moves of one window are merged into one (their relative motion summed), and so are
// consecutive wheel steps; an event that would still not fit is dropped, and the next event polled after it
// is an overflow marker of its own type, so the scripts learn that input was lost.
#pragma once

#include <SDL3/SDL_events.h>

#include <cstdint>

// Sets SDL's event filter and registers the marker's event type (without one left, events are still merged
// but lost ones go unmarked). Removed again with removeEventBacklog.
void installEventBacklog();
void removeEventBacklog();

// SDL_PollEvent for the one consumer of SDL's queue: once the queue has drained, the moves and wheel steps
// still held back are handed out, after the overflow marker when events were dropped.
bool pollEventBacklog(SDL_Event* event);

// True while moves or wheel steps (or the overflow marker) are held back for pollEventBacklog: a consumer
// about to wait must not, since its next poll has an event.
bool eventBacklogHolds();

// The event type of the overflow marker; 0 while no backlog is installed.
uint32_t eventBacklogOverflowType();
