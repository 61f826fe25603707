// The UI host's pump, run when the native event queue is empty: every queued event of every root window
// goes to its root in its own UI-work scope (the requests and callbacks it deferred run before the next
// event), then the marks are applied, the root windows are drawn in one scope, and last the windows whose
// close was asked for during that work are closed.
#include <exception>

#include "ui/application_state.h"

namespace {

// One event of one window in its own scope, the marks left for the pump; 0, 1 or 2 as dispatchNextEvent.
int dispatchOne(UpdateBatch& batch, WindowRegistry& windows, uint64_t window) {
  int answer = 0;
  try {
    answer = windows.dispatchNextEvent(window);
    batch.end(false);
  } catch (...) {
    batch.abort();
    throw;
  }
  return answer;
}

}  // namespace

bool Application::processWindows() {
  UpdateBatch& batch = state_->batch;
  WindowRegistry& windows = state_->windows;
  if (batch.isActive()) return false;
  const std::vector<uint64_t> ids = windows.windowsWithRoots();
  for (const uint64_t id : ids) {
    while (windows.exists(id)) {
      if (!batch.begin()) return false;
      const int answer = dispatchOne(batch, windows, id);
      if (answer == 0) break;
      if (answer == 2) {
        closeWindow(id);
        break;
      }
    }
  }
  batch.flushInvalidations();
  if (!batch.begin()) return false;
  try {
    windows.drawRootWindows();
    batch.end(true);
  } catch (...) {
    batch.abort();
    throw;
  }
  // Every recorded close runs even when one throws; the first failure leaves afterwards.
  const std::vector<uint64_t> closing = std::exchange(state_->pendingClose, {});
  std::exception_ptr failure;
  for (const uint64_t id : closing) {
    try {
      closeWindow(id);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return true;
}
