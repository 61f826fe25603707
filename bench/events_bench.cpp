// Costs of the native event path: queuing on a window (coalesced pointer motion, and a full queue that
// keeps losing its oldest key events) and routing SDL events from the queue to the script or to a
// secondary window, per event.
#include <SDL3/SDL.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/main_window.h"
#include "app/native_event_routing.h"
#include "render/window_presentation.h"
#include "ui/application.h"
#include "ui/window_event_queue.h"
#include "ui/window_registry.h"

namespace {

WindowEvent windowEvent(const char* type, double x) {
  WindowEvent event;
  event.type = type;
  event.x = x;
  return event;
}

void BM_QueueCoalescedMouseMoves(benchmark::State& state) {
  WindowEventQueue queue;
  double x = 0.0;
  for (auto _ : state) queue.push(windowEvent("mousemove", ++x));
  benchmark::DoNotOptimize(queue.events().size());
}
BENCHMARK(BM_QueueCoalescedMouseMoves);

// Every push meets 1024 key events behind the overflow marker: the slowest path of the queue.
void BM_QueueFullOfKeys(benchmark::State& state) {
  WindowEventQueue queue;
  for (int i = 0; i < 1100; ++i) queue.push(windowEvent("keydown", i));
  double x = 0.0;
  for (auto _ : state) queue.push(windowEvent("keydown", ++x));
  benchmark::DoNotOptimize(queue.events().size());
}
BENCHMARK(BM_QueueFullOfKeys);

// The application with its main window and one secondary window, shared by the routing benchmarks.
class Windows {
 public:
  Windows() {
    SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "offscreen");
    if (!SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS)) std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
    chooseWindowPresentation();
    installApplication(std::make_unique<Application>());
    std::string error;
    main_ = createMainWindow(error).value_or(0);
    WindowCreateInfo info;
    info.width = 400;
    info.height = 300;
    secondary_ = currentApplication()->createWindow(info, error).value_or(0);
  }

  bool ready() const { return main_ != 0 && secondary_ != 0; }
  uint32_t sdlId(bool main) {
    return SDL_GetWindowID(currentWindowRegistry().window(main ? main_ : secondary_).sdlWindow());
  }
  uint64_t secondary() const { return secondary_; }

 private:
  uint64_t main_ = 0;
  uint64_t secondary_ = 0;
};

Windows& windows() {
  static Windows shared;
  return shared;
}

// Pushes a batch of key-downs for one window and routes them all; counts events.
void routeKeyBatches(benchmark::State& state, bool main) {
  if (!windows().ready()) {
    state.SkipWithError("no windows");
    return;
  }
  constexpr int kBatch = 256;
  SDL_Event event;
  SDL_zero(event);
  event.type = SDL_EVENT_KEY_DOWN;
  event.key.windowID = windows().sdlId(main);
  event.key.key = SDLK_A;
  event.key.scancode = SDL_SCANCODE_A;
  ScriptEvent values;
  int64_t routed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    for (int i = 0; i < kBatch; ++i) SDL_PushEvent(&event);
    state.ResumeTiming();
    SDL_Event polled;
    while (SDL_PollEvent(&polled)) {
      benchmark::DoNotOptimize(routeNativeEvent(polled, values));
      ++routed;
    }
    if (!main) currentWindowRegistry().takeEvents(windows().secondary());
  }
  state.SetItemsProcessed(routed);
}

void BM_RouteKeyDownsToTheScript(benchmark::State& state) { routeKeyBatches(state, true); }
BENCHMARK(BM_RouteKeyDownsToTheScript);

void BM_RouteKeyDownsToASecondaryWindow(benchmark::State& state) { routeKeyBatches(state, false); }
BENCHMARK(BM_RouteKeyDownsToASecondaryWindow);

}  // namespace

BENCHMARK_MAIN();
