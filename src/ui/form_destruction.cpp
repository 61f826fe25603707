// Detaching forms from windows and panes, and destroying them, in the same three layers as attachment.
// Destroying or detaching a host form never destroys its nested forms: they stay alive, unattached.
#include "ui/application_state.h"

UiStatus Application::detachFormFromWindow(uint64_t window, std::string& error) {
  error.clear();
  WindowRegistry& windows = state_->windows;
  if (!windows.exists(window)) return refuseWith(error, "window does not exist");
  if (windows.renderTargetId() == window && windows.renderTargetRenderer().isDrawing()) {
    return refuseWith(error, "a form cannot be detached while its window is rendering", UiStatus::RendererBusy);
  }
  const std::optional<ui::FormHandle> form = formOfWindow(window);
  if (!form) return refuseWith(error, "window has no attached form");
  unhostForm(*form, true);
  refreshInputStates();
  return UiStatus::Done;
}

UiStatus Application::detachFormFromPane(const NodeHandle& pane, std::string& error) {
  error.clear();
  if (!paneOwner(pane)) return refuseWith(error, "pane does not exist");
  if (frameRendering()) {
    return refuseWith(error, "a form cannot be detached while a frame is rendering", UiStatus::RendererBusy);
  }
  const std::optional<ui::FormHandle> form = formOfPane(pane);
  if (!form || !isFormValid(*form)) return refuseWith(error, "pane has no attached form");
  unhostForm(*form, false);
  refreshInputStates();
  return UiStatus::Done;
}

UiStatus Application::destroyFormImmediately(const ui::FormHandle& form, std::string& error) {
  error.clear();
  if (slotOf(form) == nullptr) return refuseWith(error, "form does not exist");
  const std::optional<uint64_t> target = state_->windows.renderTargetId();
  if (target && isFormShownIn(form, *target) && state_->windows.renderTargetRenderer().isDrawing()) {
    return refuseWith(error, "an attached form cannot be destroyed while its window is rendering",
                      UiStatus::RendererBusy);
  }
  unhostForm(form, true);
  FormSlot* slot = slotOf(form);
  if (slot == nullptr) return UiStatus::Done;  // a control's notification destroyed it already
  // A notified control attached it elsewhere: it leaves that host too, without asking anyone again.
  removeOverlaysOfForm(form);
  dropHost(form, true);
  for (const NodeHandle& pane : slot->form->hostingPanes()) {
    const std::optional<ui::FormHandle> nested = slot->form->paneForm(pane);
    if (!nested) continue;
    if (FormSlot* nestedSlot = slotOf(*nested)) nestedSlot->host.attached = false;
    slot->form->setPaneForm(pane, std::nullopt);
  }
  state_->freeSlots.reserve(state_->freeSlots.size() + 1);
  // The slot is free before the form's controls and lifecycle go, so nothing they run can reach it.
  std::unique_ptr<ui::FormLifecycle> lifecycle = std::move(slot->lifecycle);
  std::unique_ptr<FormModel> model = std::move(slot->form);
  state_->slotOfFormId.erase(model->id());
  slot->initialFocus.reset();
  slot->host = {};
  if (++slot->generation == 0) slot->generation = 1;
  state_->freeSlots.push_back(form.index);
  lifecycle.reset();
  model.reset();
  refreshInputStates();
  return UiStatus::Done;
}

bool Application::detachForm(uint64_t window, std::string& error) {
  error.clear();
  if (state_->batch.isActive()) {
    return failWith(error, "a form cannot be detached synchronously during active UI work; use requestDetachForm");
  }
  return bool(detachFormFromWindow(window, error));
}

bool Application::detachForm(const NodeHandle& pane, std::string& error) {
  error.clear();
  if (state_->batch.isActive()) {
    return failWith(error, "a form cannot be detached synchronously during active UI work; use requestDetachForm");
  }
  return bool(detachFormFromPane(pane, error));
}

bool Application::destroyForm(const ui::FormHandle& form, std::string& error) {
  error.clear();
  if (state_->batch.isActive()) {
    return failWith(error, "a form cannot be destroyed synchronously during active UI work; use requestDestroyForm");
  }
  return bool(destroyFormImmediately(form, error));
}

bool Application::requestDetachForm(uint64_t window, std::string& error) {
  error.clear();
  if (!state_->batch.isActive()) return bool(detachFormFromWindow(window, error));
  if (!state_->windows.exists(window)) return failWith(error, "window does not exist");
  if (!formOfWindow(window)) return failWith(error, "window has no attached form");
  state_->batch.queueRequest(DetachFromWindowRequest{window});
  return true;
}

bool Application::requestDetachForm(const NodeHandle& pane, std::string& error) {
  error.clear();
  if (!state_->batch.isActive()) return bool(detachFormFromPane(pane, error));
  if (!paneOwner(pane)) return failWith(error, "pane does not exist");
  const std::optional<ui::FormHandle> form = formOfPane(pane);
  if (!form || !isFormValid(*form)) return failWith(error, "pane has no attached form");
  state_->batch.queueRequest(DetachFromPaneRequest{pane});
  return true;
}

bool Application::requestDestroyForm(const ui::FormHandle& form, std::string& error) {
  error.clear();
  if (!state_->batch.isActive()) return bool(destroyFormImmediately(form, error));
  if (slotOf(form) == nullptr) return failWith(error, "form does not exist");
  state_->batch.queueRequest(DestroyFormRequest{form});
  return true;
}

void Application::queueWindowClose(uint64_t window) {
  std::vector<uint64_t>& pending = state_->pendingClose;
  if (std::find(pending.begin(), pending.end(), window) == pending.end()) pending.push_back(window);
}
