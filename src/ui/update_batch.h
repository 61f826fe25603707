// The UI-work scope. While it is active the form tree and the window set must not change under the code
// that walks them, so the batch collects what would: queued structural requests, deferred callbacks, one
// pending focus change and one pending capture change, and three ladders of window marks (layout implies
// invalidate implies redraw; a window is in at most one set). The outermost scope's end replays the
// requests, applies the marks, reports the first fatal error and then runs the callbacks in queue order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "ui/deferred_callback.h"
#include "ui/ui_request.h"

class Application;

struct PendingFocus {
  uint64_t window = 0;
  ControlRef control;
  uint32_t action = 0;  // 1 take focus, 2 give it up
};

struct PendingCapture {
  uint64_t window = 0;
  ControlRef control;
  uint32_t action = 0;  // 1 acquire, 2 release
  uint32_t eventKind = 0;
  uint32_t button = 0;
};

class UpdateBatch {
 public:
  explicit UpdateBatch(Application& owner) : owner_(owner) {}
  UpdateBatch(const UpdateBatch&) = delete;
  UpdateBatch& operator=(const UpdateBatch&) = delete;

  // False when a scope is open already: the nested scope then neither ends nor aborts.
  bool begin();
  bool isActive() const { return active_; }
  // Replays the requests (active still set, so what they queue goes back in), applies the window marks
  // when asked, closes the scope, throws a replay's fatal error, then runs the callbacks: all of them, the
  // first exception rethrown after.
  void end(bool flush);
  // Drops requests, pending records and callbacks unrun, and closes the scope; the window marks stay.
  void abort() noexcept;

  // These store only while active.
  void queueRequest(const UiRequest& request);
  void queueCallback(ui::DeferredCallback callback);
  void setPendingFocus(const PendingFocus& focus);
  void setPendingCapture(const PendingCapture& capture);

  // Window marks, no-ops while inactive or for window 0.
  void requestLayout(uint64_t window);
  void requestInvalidate(uint64_t window);
  void requestRedraw(uint64_t window);
  // Applies the marks to the windows that still exist and empties the sets.
  void flushInvalidations();

  // The replay's side (Application::runDeferredRequests).
  std::vector<UiRequest> takeRequests();
  std::optional<PendingFocus> takePendingFocus();
  std::optional<PendingCapture> takePendingCapture();
  bool hasPending() const;
  // Drops requests, both pending records and the callbacks unrun; the scope stays as it is.
  void discardAll() noexcept;

  const std::unordered_set<uint64_t>& layoutWindows() const { return layoutWindows_; }
  const std::unordered_set<uint64_t>& invalidateWindows() const { return invalidateWindows_; }
  const std::unordered_set<uint64_t>& redrawWindows() const { return redrawWindows_; }

 private:
  void runCallbacks();

  Application& owner_;
  std::unordered_set<uint64_t> layoutWindows_;
  std::unordered_set<uint64_t> invalidateWindows_;
  std::unordered_set<uint64_t> redrawWindows_;
  std::vector<UiRequest> requests_;
  std::vector<ui::DeferredCallback> callbacks_;
  std::optional<PendingFocus> pendingFocus_;
  std::optional<PendingCapture> pendingCapture_;
  bool active_ = false;
};

// Runs `work` inside a UI-work scope: when the scope was opened here it is ended (with `flush`) after the
// work, or aborted when the work or the end throws; a nested scope leaves the outer one alone.
template <typename Work>
auto runInUiWork(UpdateBatch& batch, bool flush, Work&& work) {
  const bool opened = batch.begin();
  try {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      if (opened) batch.end(flush);
    } else {
      auto result = work();
      if (opened) batch.end(flush);
      return result;
    }
  } catch (...) {
    if (opened) batch.abort();
    throw;
  }
}
