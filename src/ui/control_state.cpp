// A control's visible, enabled and tab-stop flags and a pane's collapsed flag, changed through three layers:
// the scripts' requests (queued during UI work, else applied at once), the synchronous entries (refused
// during UI work) and the immediate workers, which are also the replay targets. After a change the overlays
// are pruned and placed again, hover, capture and focus are checked again, native text input follows, and
// the form's window is marked.
#include "ui/application_state.h"

namespace {

// Equal descriptions change nothing; the text input settings count only where text input is present.
bool sameState(const ui::ControlDescription& a, const ui::ControlDescription& b) {
  if (a.visible != b.visible || a.enabled != b.enabled || a.focusable != b.focusable || a.tabStop != b.tabStop ||
      a.acceptsPointer != b.acceptsPointer || a.tabOrder != b.tabOrder || a.cursor != b.cursor ||
      a.textInput.present != b.textInput.present) {
    return false;
  }
  return !a.textInput.present ||
         (a.textInput.type == b.textInput.type && a.textInput.capitalization == b.textInput.capitalization &&
          a.textInput.autocorrect == b.textInput.autocorrect && a.textInput.multiline == b.textInput.multiline);
}

void setFlag(ui::ControlDescription& state, ControlFlag flag, bool value) {
  switch (flag) {
    case ControlFlag::Enabled:
      state.enabled = value;
      break;
    case ControlFlag::Visible:
      state.visible = value;
      break;
    case ControlFlag::TabStop:
      state.tabStop = value;
      break;
  }
}

}  // namespace

bool Application::requestControlFlag(const ui::FormHandle& form, const NodeHandle& control, ControlFlag flag,
                                     bool value, std::string& error) {
  error.clear();
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return failWith(error, "form does not exist");
  if (!slot->form->controlState(control)) return failWith(error, "control does not belong to this form");
  if (!state_->batch.isActive()) return bool(applyControlFlag(form, control, flag, value, error));
  switch (flag) {
    case ControlFlag::Enabled:
      state_->batch.queueRequest(SetControlEnabledRequest{form, control, value});
      break;
    case ControlFlag::Visible:
      state_->batch.queueRequest(SetControlVisibleRequest{form, control, value});
      break;
    case ControlFlag::TabStop:
      state_->batch.queueRequest(SetControlTabStopRequest{form, control, value});
      break;
  }
  return true;
}

// The current description with one flag replaced, so queued changes build on each other in order.
UiStatus Application::applyControlFlag(const ui::FormHandle& form, const NodeHandle& control, ControlFlag flag,
                                       bool value, std::string& error) {
  error.clear();
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return refuseWith(error, "form does not exist");
  std::optional<ui::ControlDescription> state = slot->form->controlState(control);
  if (!state) return refuseWith(error, "control does not belong to this form");
  setFlag(*state, flag, value);
  return applyControlState(form, control, *state, error);
}

bool Application::setControlEnabled(const ui::FormHandle& form, const NodeHandle& control, bool enabled,
                                    std::string& error) {
  return requestControlFlag(form, control, ControlFlag::Enabled, enabled, error);
}

bool Application::setControlVisible(const ui::FormHandle& form, const NodeHandle& control, bool visible,
                                    std::string& error) {
  return requestControlFlag(form, control, ControlFlag::Visible, visible, error);
}

bool Application::setControlTabStop(const ui::FormHandle& form, const NodeHandle& control, bool tabStop,
                                    std::string& error) {
  return requestControlFlag(form, control, ControlFlag::TabStop, tabStop, error);
}

bool Application::setControlState(const ui::FormHandle& form, const NodeHandle& control,
                                  const ui::ControlDescription& state, std::string& error) {
  error.clear();
  if (state_->batch.isActive())
    return failWith(error, "control state cannot change synchronously during active UI work");
  return bool(applyControlState(form, control, state, error));
}

// The window is taken before the notifications of the input check, which may destroy the form.
UiStatus Application::applyControlState(const ui::FormHandle& form, const NodeHandle& control,
                                        const ui::ControlDescription& state, std::string& error) {
  error.clear();
  if (frameRendering()) {
    return refuseWith(error, "control state cannot change while a frame is rendering", UiStatus::RendererBusy);
  }
  FormModel* model = formModel(form);
  if (model == nullptr) return refuseWith(error, "form does not exist");
  const std::optional<ui::ControlDescription> old = model->controlState(control);
  if (!old) return refuseWith(error, "control does not belong to this form");
  if (sameState(*old, state)) return UiStatus::Done;
  model->setControlState(control, state);
  const std::optional<uint64_t> window = windowOfForm(form);
  pruneOverlays();
  refreshInputStates();
  if (window && isFormShownIn(form, *window) && state_->windows.exists(*window)) {
    layoutOverlays(*window);
    updateNativeTextInput(*window);
  }
  if (window && old->visible != state.visible) {
    markWindowRelayout(*window);
  } else if (window) {
    markWindowRedraw(*window);
  }
  return UiStatus::Done;
}

bool Application::requestSetFormPaneCollapsed(const ui::FormHandle& form, const NodeHandle& pane, bool collapsed,
                                              std::string& error) {
  error.clear();
  if (!state_->batch.isActive()) return bool(applyPaneCollapsed(form, pane, collapsed, error));
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return failWith(error, "form does not exist");
  if (!slot->form->isPaneValid(pane)) return failWith(error, "pane does not belong to this form");
  state_->batch.queueRequest(SetPaneCollapsedRequest{form, pane, collapsed});
  return true;
}

bool Application::setFormPaneCollapsed(const ui::FormHandle& form, const NodeHandle& pane, bool collapsed,
                                       std::string& error) {
  error.clear();
  if (state_->batch.isActive()) {
    return failWith(error,
                    "panes cannot collapse synchronously during active UI work; use requestSetFormPaneCollapsed");
  }
  return bool(applyPaneCollapsed(form, pane, collapsed, error));
}

// The pane is checked before anything is released, so a refused collapse changes nothing. Collapsing a pane
// that hosts a form first takes that form's overlays down and releases its input; those notifications may
// destroy the form, which is looked up again after them.
UiStatus Application::applyPaneCollapsed(const ui::FormHandle& form, const NodeHandle& pane, bool collapsed,
                                         std::string& error) {
  error.clear();
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return refuseWith(error, "form does not exist");
  if (!slot->form->isPaneValid(pane)) return refuseWith(error, "pane does not belong to this form");
  if (collapsed) {
    if (const std::optional<ui::FormHandle> nested = slot->form->paneForm(pane)) {
      removeOverlaysOfForm(*nested);
      releaseInputOfForm(*nested);
    }
  }
  FormModel* model = formModel(form);
  if (model == nullptr) return refuseWith(error, "form does not exist");
  if (!model->setPaneCollapsed(pane, collapsed, error)) return UiStatus::Refused;
  const std::optional<uint64_t> window = windowOfForm(form);
  pruneOverlays();
  refreshInputStates();
  if (window) markWindowRelayout(*window);
  return UiStatus::Done;
}
