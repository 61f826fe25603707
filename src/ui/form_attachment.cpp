// Attaching forms to windows and into panes, in three layers: the request entries of the scripts (queue
// during UI work after the checks that can be made at once, else run now), the synchronous entries
// (refused during UI work) and the immediate operations, which are also the replay targets of the queue.
#include "ui/application_state.h"

std::optional<ui::FormHandle> Application::paneOwner(const NodeHandle& pane) const {
  const std::optional<ui::FormHandle> owner = formContainingNode(pane);
  if (!owner || !slotOf(*owner)->form->isPaneValid(pane)) return std::nullopt;
  return owner;
}

// A dialog form needs a dialog window and a dialog window a dialog form.
bool Application::isDialogWindowMismatch(uint64_t window, const ui::FormHandle& form, std::string& error) const {
  const std::optional<WindowFrame> frame = state_->windows.frameOf(window);
  const bool dialogForm = slotOf(form)->form->isDialog();
  if (frame && dialogForm == (*frame == WindowFrame::Dialog)) return false;
  error =
      dialogForm ? "a dialog Form requires a native dialog Window" : "a native dialog Window requires a dialog Form";
  return true;
}

UiStatus Application::attachFormToWindow(uint64_t window, const ui::FormHandle& form, std::string& error) {
  error.clear();
  WindowRegistry& windows = state_->windows;
  if (!windows.exists(window)) return refuseWith(error, "window does not exist");
  if (windows.mainWindowId() == window) return refuseWith(error, "the main workspace cannot host forms yet");
  if (frameRendering())
    return refuseWith(error, "forms cannot be attached while a frame is rendering", UiStatus::RendererBusy);
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return refuseWith(error, "form does not exist");
  if (isDialogWindowMismatch(window, form, error)) return UiStatus::Refused;
  if (slot->host.attached && slot->host.kind == FormHostKind::Window && slot->host.window == window) {
    return UiStatus::Done;
  }

  unhostForm(form, true);
  resetWindowInput(window, false);
  // Both calls notify controls, which may have destroyed the form or closed the window.
  if (!windows.exists(window)) return refuseWith(error, "window does not exist");
  if (slotOf(form) == nullptr) return refuseWith(error, "form does not exist");
  state_->overlayLayers.erase(window);
  for (FormSlot& other : state_->slots) {
    if (other.form && other.host.attached && other.host.kind == FormHostKind::Window && other.host.window == window) {
      other.host.attached = false;
    }
  }
  slotOf(form)->host = {window, {}, FormHostKind::Window, true};
  windows.setRoot(window, std::make_unique<ui::FormRoot>(*this, window, form));
  refreshInputStates();
  if (!windows.exists(window)) return UiStatus::Done;
  // A window that has the platform's input focus keeps taking keys when its form is replaced.
  windowInputState(window).active = windows.hasPointer(window);
  const FormSlot* attached = slotOf(form);
  if (attached != nullptr && attached->initialFocus) setFocus(window, ControlRef{form, *attached->initialFocus});
  return UiStatus::Done;
}

UiStatus Application::attachFormToPane(const NodeHandle& pane, const ui::FormHandle& form, std::string& error) {
  error.clear();
  const std::optional<ui::FormHandle> owner = paneOwner(pane);
  if (slotOf(form) == nullptr) return refuseWith(error, owner ? "form does not exist" : "pane does not exist");
  if (!owner) return refuseWith(error, "pane does not exist");
  if (slotOf(form)->form->isDialog()) return refuseWith(error, "a dialog Form cannot be attached to a Pane");
  if (frameRendering())
    return refuseWith(error, "forms cannot be attached while a frame is rendering", UiStatus::RendererBusy);
  if (isFormInside(*owner, form)) return refuseWith(error, "forms cannot contain themselves");
  if (!fitsNestingLimit(*owner, form)) return refuseWith(error, "forms cannot be nested more than 64 levels");
  const FormHost& host = slotOf(form)->host;
  if (host.attached && host.kind == FormHostKind::Pane && host.pane == pane) return UiStatus::Done;

  unhostForm(form, true);
  const std::optional<ui::FormHandle> liveOwner = paneOwner(pane);
  if (!liveOwner) return refuseWith(error, "pane owner does not exist");
  if (slotOf(form) == nullptr) return refuseWith(error, "form does not exist");
  if (const std::optional<ui::FormHandle> previous = formModel(*liveOwner)->paneForm(pane)) {
    removeOverlaysOfForm(*previous);
    releaseInputOfForm(*previous);
    if (FormSlot* replaced = slotOf(*previous)) replaced->host.attached = false;
  }
  FormModel* ownerModel = formModel(*liveOwner);
  FormSlot* slot = slotOf(form);
  if (ownerModel == nullptr || slot == nullptr) return refuseWith(error, "form was removed during attachment");
  ownerModel->setPaneForm(pane, form);
  slot->host = {0, pane, FormHostKind::Pane, true};
  refreshInputStates();
  const std::optional<uint64_t> window = windowOfForm(form);
  const FormSlot* attached = slotOf(form);
  if (window && attached != nullptr && attached->initialFocus) {
    const WindowInputState* input = findWindowInputState(*window);
    if (input == nullptr || !input->focus) setFocus(*window, ControlRef{form, *attached->initialFocus});
  }
  markFormRelayout(*liveOwner);
  return UiStatus::Done;
}

bool Application::attachedAsExpected(uint64_t window, const ui::FormHandle& form) const {
  return formOfWindow(window) == form;
}

bool Application::attachedAsExpected(const NodeHandle& pane, const ui::FormHandle& form) const {
  const std::optional<ui::FormHandle> owner = paneOwner(pane);
  return owner && slotOf(*owner)->form->paneForm(pane) == form;
}

bool Application::attachForm(uint64_t window, const ui::FormHandle& form, std::string& error) {
  error.clear();
  if (state_->batch.isActive()) {
    return failWith(error, "a form cannot be attached synchronously during active UI work; use requestAttachForm");
  }
  const bool attached = runInUiWork(state_->batch, true, [&] { return bool(attachFormToWindow(window, form, error)); });
  if (!attached) return false;
  return attachedAsExpected(window, form) || failWith(error, "form was removed during attachment");
}

bool Application::attachForm(const NodeHandle& pane, const ui::FormHandle& form, std::string& error) {
  error.clear();
  if (state_->batch.isActive()) {
    return failWith(error, "a form cannot be attached synchronously during active UI work; use requestAttachForm");
  }
  const bool attached = runInUiWork(state_->batch, true, [&] { return bool(attachFormToPane(pane, form, error)); });
  if (!attached) return false;
  return attachedAsExpected(pane, form) || failWith(error, "form was removed during attachment");
}

bool Application::requestAttachForm(uint64_t window, const ui::FormHandle& form, std::string& error) {
  error.clear();
  if (!state_->batch.isActive()) return attachForm(window, form, error);
  if (!state_->windows.exists(window)) return failWith(error, "window does not exist");
  if (state_->windows.mainWindowId() == window) return failWith(error, "the main workspace cannot host forms yet");
  if (slotOf(form) == nullptr) return failWith(error, "form does not exist");
  if (isDialogWindowMismatch(window, form, error)) return false;
  state_->batch.queueRequest(AttachToWindowRequest{window, form});
  return true;
}

bool Application::requestAttachForm(const NodeHandle& pane, const ui::FormHandle& form, std::string& error) {
  error.clear();
  if (!state_->batch.isActive()) return attachForm(pane, form, error);
  const std::optional<ui::FormHandle> owner = paneOwner(pane);
  if (!owner) return failWith(error, "pane does not exist");
  if (slotOf(form) == nullptr) return failWith(error, "form does not exist");
  if (slotOf(form)->form->isDialog()) return failWith(error, "a dialog Form cannot be attached to a Pane");
  if (isFormInside(*owner, form)) return failWith(error, "forms cannot contain themselves");
  if (!fitsNestingLimit(*owner, form)) return failWith(error, "forms cannot be nested more than 64 levels");
  state_->batch.queueRequest(AttachToPaneRequest{pane, form});
  return true;
}

bool Application::bindLifecycle(const ui::FormHandle& form, std::unique_ptr<ui::FormLifecycle> lifecycle,
                                std::string& error) {
  error.clear();
  if (state_->batch.isActive()) return failWith(error, "a Form lifecycle cannot be attached during active UI work");
  FormSlot* slot = slotOf(form);
  if (slot == nullptr) return failWith(error, "form does not exist");
  if (!lifecycle || !lifecycle->isBound()) return failWith(error, "Form lifecycle is not ready");
  if (slot->lifecycle) return failWith(error, "Form already has a Lua lifecycle");
  slot->lifecycle = std::move(lifecycle);
  return true;
}

std::optional<ui::FormHandle> Application::formOfWindow(uint64_t window) const {
  for (size_t i = 0; i < state_->slots.size(); ++i) {
    const FormSlot& slot = state_->slots[i];
    if (slot.form && slot.host.attached && slot.host.kind == FormHostKind::Window && slot.host.window == window) {
      return handleOfSlot(i);
    }
  }
  return std::nullopt;
}

std::optional<ui::FormHandle> Application::formOfPane(const NodeHandle& pane) const {
  const std::optional<ui::FormHandle> owner = paneOwner(pane);
  if (!owner) return std::nullopt;
  return slotOf(*owner)->form->paneForm(pane);
}

FormHost Application::formHost(const ui::FormHandle& form) const {
  const FormSlot* slot = slotOf(form);
  return slot != nullptr ? slot->host : FormHost{};
}

std::optional<uint32_t> Application::formType(const ui::FormHandle& form) const {
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return std::nullopt;
  return slot->form->type();
}
