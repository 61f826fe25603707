// Closing windows: a window goes with every window it owns, and the forms shown in them end their
// lifecycles with a close reason ("window_closed" for the closed window's forms, "owner_closed" for those
// of owned windows; a stored result wins) and are destroyed; forms without a lifecycle are only detached.
// No UI-work scope is opened here, so what the completion handlers do takes effect at once.
#include <algorithm>
#include <exception>

#include "ui/application_state.h"

namespace {

// The window and every window it owns, transitively, breadth-first.
std::vector<uint64_t> windowsToClose(const WindowRegistry& windows, uint64_t window) {
  std::vector<uint64_t> closing{window};
  for (size_t i = 0; i < closing.size(); ++i) {
    for (const uint64_t owned : windows.ownedWindows(closing[i])) {
      if (std::find(closing.begin(), closing.end(), owned) == closing.end()) closing.push_back(owned);
    }
  }
  return closing;
}

}  // namespace

// Post-order: the deepest nested forms first, each hosting form after its nested ones, the forms of owned
// windows before the form of the closed window.
std::vector<LifecycleCompletion> Application::collectCompletions(const std::vector<uint64_t>& closing,
                                                                 uint64_t closed) {
  std::vector<LifecycleCompletion> completions;
  for (auto window = closing.rbegin(); window != closing.rend(); ++window) {
    const std::optional<ui::FormHandle> form = formOfWindow(*window);
    if (!form) continue;
    const std::string reason = *window == closed ? "window_closed" : "owner_closed";
    collectLifecycles(*form, reason, state_->slots.size() + 1, completions);
  }
  return completions;
}

// Each lifecycle leaves its slot before its completion handler runs, so it completes once; the form is
// then destroyed unless the handler did so. A form that a notified control moved to a window that stays is
// no longer the closed windows' and is left alone. Every completion runs even when one throws.
void Application::completeLifecycles(const std::vector<LifecycleCompletion>& completions) {
  std::exception_ptr failure;
  for (const LifecycleCompletion& completion : completions) {
    FormSlot* slot = slotOf(completion.form);
    if (slot == nullptr || !slot->lifecycle) continue;
    const std::optional<uint64_t> shownIn = windowOfForm(completion.form);
    if (shownIn && state_->windows.exists(*shownIn)) continue;
    std::unique_ptr<ui::FormLifecycle> lifecycle = std::move(slot->lifecycle);
    try {
      lifecycle->complete(completion.result);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    std::string ignored;
    if (isFormValid(completion.form)) destroyFormImmediately(completion.form, ignored);
  }
  if (failure) std::rethrow_exception(failure);
}

bool Application::closeWindow(uint64_t window) {
  WindowRegistry& windows = state_->windows;
  if (!windows.exists(window)) return false;
  if (state_->batch.isActive()) {
    queueWindowClose(window);
    return true;
  }
  const std::vector<uint64_t> closing = windowsToClose(windows, window);
  const std::vector<LifecycleCompletion> completions = collectCompletions(closing, window);
  for (const uint64_t id : closing) resetWindowInput(id, false);
  for (const uint64_t id : closing) state_->overlayLayers.erase(id);
  windows.closeWindow(window);  // a notification above may have closed it already: it is closed either way
  for (FormSlot& slot : state_->slots) {
    if (slot.form && slot.host.attached && slot.host.kind == FormHostKind::Window &&
        !windows.exists(slot.host.window)) {
      slot.host.attached = false;
    }
  }
  refreshInputStates();
  completeLifecycles(completions);
  return true;
}

bool Application::requestFormClose(const ui::FormHandle& form, std::string result, std::string& error) {
  error.clear();
  FormSlot* slot = slotOf(form);
  if (slot == nullptr) return failWith(error, "form does not exist");
  if (!slot->lifecycle) return failWith(error, "Form has no Lua lifecycle");
  if (!slot->host.attached || slot->host.kind != FormHostKind::Window) {
    return failWith(error, "Form is not attached directly to a window");
  }
  const uint64_t window = slot->host.window;
  if (!state_->windows.exists(window)) return failWith(error, "window does not exist");
  slot->lifecycle->setResult(std::move(result));
  if (state_->batch.isActive()) {
    queueWindowClose(window);
    return true;
  }
  return closeWindow(window);
}

bool Application::requestWindowClose(const ui::FormHandle& form, std::string& error) {
  error.clear();
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return failWith(error, "form does not exist");
  if (!slot->host.attached || slot->host.kind != FormHostKind::Window) {
    return failWith(error, "Form is not attached directly to a window");
  }
  const uint64_t window = slot->host.window;
  if (!state_->windows.exists(window)) return failWith(error, "window does not exist");
  if (slot->lifecycle) {
    if (!slot->lifecycle->requestClose()) return failWith(error, "Form close request was rejected");
    // The handler ran script code: the form may be gone, or its lifecycle with it.
    const FormSlot* asked = slotOf(form);
    if (asked != nullptr && asked->lifecycle && !asked->lifecycle->hasResult()) asked->lifecycle->setResult("cancel");
  }
  if (state_->batch.isActive()) {
    if (state_->windows.exists(window)) queueWindowClose(window);
    return true;
  }
  return closeWindow(window);
}
