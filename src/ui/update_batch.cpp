// The UI-work scope: marks, queues, and the end of the outermost scope.
#include "ui/update_batch.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "ui/application.h"
#include "ui/window_registry.h"

bool UpdateBatch::begin() {
  if (active_) return false;
  active_ = true;
  return true;
}

void UpdateBatch::end(bool flush) {
  const std::optional<std::string> failure = owner_.runDeferredRequests();
  if (flush) flushInvalidations();
  active_ = false;
  if (failure) throw std::runtime_error(*failure);
  runCallbacks();
}

void UpdateBatch::runCallbacks() {
  std::vector<ui::DeferredCallback> taken = std::exchange(callbacks_, {});
  std::exception_ptr first;
  for (ui::DeferredCallback& callback : taken) {
    try {
      callback();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  taken.clear();
  if (first) std::rethrow_exception(first);
}

void UpdateBatch::abort() noexcept {
  discardAll();
  active_ = false;
}

void UpdateBatch::discardAll() noexcept {
  requests_.clear();
  pendingFocus_.reset();
  pendingCapture_.reset();
  callbacks_.clear();
}

void UpdateBatch::queueRequest(const UiRequest& request) {
  if (active_) requests_.push_back(request);
}

void UpdateBatch::queueCallback(ui::DeferredCallback callback) {
  if (active_ && callback) callbacks_.push_back(std::move(callback));
}

void UpdateBatch::setPendingFocus(const PendingFocus& focus) {
  if (active_) pendingFocus_ = focus;
}

void UpdateBatch::setPendingCapture(const PendingCapture& capture) {
  if (active_) pendingCapture_ = capture;
}

void UpdateBatch::requestLayout(uint64_t window) {
  if (!active_ || window == 0) return;
  invalidateWindows_.erase(window);
  redrawWindows_.erase(window);
  layoutWindows_.insert(window);
}

void UpdateBatch::requestInvalidate(uint64_t window) {
  if (!active_ || window == 0 || layoutWindows_.count(window) != 0) return;
  redrawWindows_.erase(window);
  invalidateWindows_.insert(window);
}

void UpdateBatch::requestRedraw(uint64_t window) {
  if (!active_ || window == 0 || layoutWindows_.count(window) != 0 || invalidateWindows_.count(window) != 0) return;
  redrawWindows_.insert(window);
}

void UpdateBatch::flushInvalidations() {
  WindowRegistry& registry = owner_.windowRegistry();
  for (const uint64_t id : layoutWindows_) {
    if (registry.exists(id)) registry.markRelayout(id);
  }
  for (const uint64_t id : invalidateWindows_) {
    if (registry.exists(id)) registry.invalidate(id);
  }
  for (const uint64_t id : redrawWindows_) {
    if (registry.exists(id)) registry.markRedraw(id);
  }
  layoutWindows_.clear();
  invalidateWindows_.clear();
  redrawWindows_.clear();
}

std::vector<UiRequest> UpdateBatch::takeRequests() { return std::exchange(requests_, {}); }

std::optional<PendingFocus> UpdateBatch::takePendingFocus() { return std::exchange(pendingFocus_, std::nullopt); }

std::optional<PendingCapture> UpdateBatch::takePendingCapture() { return std::exchange(pendingCapture_, std::nullopt); }

bool UpdateBatch::hasPending() const { return !requests_.empty() || pendingFocus_ || pendingCapture_; }
