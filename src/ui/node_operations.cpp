// The operations behind the scripts' form, layout, pane and control modules that build a form's tree, look
// its nodes up, mark a control's window for repaint or layout, place a control's text input area and move
// the focus to a control. Tree edits are refused during UI work (they have no deferred form); the marks are
// deferred instead, and a form shown in no window marks nothing.
#include "render/pixel_ops.h"
#include "ui/application_state.h"

// The form a tree edit works on: none, with the edit's own message, during UI work or for a stale handle.
FormModel* Application::editableForm(const ui::FormHandle& form, const char* duringUiWork, std::string& error) {
  error.clear();
  if (state_->batch.isActive()) {
    error = duringUiWork;
    return nullptr;
  }
  FormModel* model = formModel(form);
  if (model == nullptr) error = "form does not exist";
  return model;
}

bool Application::setFormBackground(const ui::FormHandle& form, uint32_t color, std::string& error) {
  error.clear();
  FormModel* model = formModel(form);
  if (model == nullptr) return failWith(error, "form does not exist");
  model->setBackground(color);
  if (const std::optional<uint64_t> window = windowOfForm(form)) markWindowRedraw(*window);
  return true;
}

std::optional<NodeHandle> Application::createLayout(const ui::FormHandle& form, const LayoutSpec& settings,
                                                    std::string& error) {
  FormModel* model = editableForm(form, "layouts cannot be created during active UI work", error);
  return model != nullptr ? model->createLayout(settings, error) : std::nullopt;
}

std::optional<NodeHandle> Application::createPane(const ui::FormHandle& form, const PaneSpec& settings,
                                                  std::string& error) {
  FormModel* model = editableForm(form, "panes cannot be created during active UI work", error);
  return model != nullptr ? model->createPane(settings, error) : std::nullopt;
}

std::optional<NodeHandle> Application::createControl(const ui::FormHandle& form, std::string_view name,
                                                     std::unique_ptr<ui::Control> control, std::string& error) {
  FormModel* model = editableForm(form, "controls cannot be added during active UI work", error);
  return model != nullptr ? model->createControl(name, std::move(control), error) : std::nullopt;
}

bool Application::appendPane(const ui::FormHandle& form, const NodeHandle& layout, const NodeHandle& pane,
                             std::string& error) {
  FormModel* model = editableForm(form, "panes cannot be appended during active UI work", error);
  if (model == nullptr || !model->appendPane(layout, pane, error)) return false;
  markFormRelayout(form);
  return true;
}

bool Application::setPaneLayout(const ui::FormHandle& form, const NodeHandle& pane, const NodeHandle& layout,
                                std::string& error) {
  FormModel* model = editableForm(form, "pane layouts cannot change during active UI work", error);
  if (model == nullptr || !model->setPaneLayout(pane, layout, error)) return false;
  markFormRelayout(form);
  return true;
}

bool Application::attachControl(const ui::FormHandle& form, const NodeHandle& pane, const NodeHandle& control,
                                const ControlPlacement& placement, std::string& error) {
  FormModel* model = editableForm(form, "controls cannot be attached during active UI work", error);
  if (model == nullptr || !model->attachControl(pane, control, placement, error)) return false;
  markFormRelayout(form);
  return true;
}

bool Application::attachOverlayControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error) {
  FormModel* model = editableForm(form, "overlay controls cannot be attached during active UI work", error);
  return model != nullptr && model->attachOverlayControl(control, error);
}

std::optional<NodeHandle> Application::rootLayout(const ui::FormHandle& form, std::string_view name) const {
  const FormSlot* slot = slotOf(form);
  return slot != nullptr ? slot->form->findLayout(name) : std::nullopt;
}

std::optional<NodeHandle> Application::paneByName(const ui::FormHandle& form, std::string_view name) const {
  const FormSlot* slot = slotOf(form);
  return slot != nullptr ? slot->form->findPane(name) : std::nullopt;
}

std::optional<NodeHandle> Application::controlByName(const ui::FormHandle& form, std::string_view name) const {
  const FormSlot* slot = slotOf(form);
  return slot != nullptr ? slot->form->findControl(name) : std::nullopt;
}

std::optional<ui::ControlDescription> Application::isControlValid(const ui::FormHandle& form,
                                                                  const NodeHandle& control) const {
  const FormSlot* slot = slotOf(form);
  return slot != nullptr ? slot->form->controlState(control) : std::nullopt;
}

std::optional<ui::Rect> Application::isPaneValid(const ui::FormHandle& form, const NodeHandle& pane) const {
  const FormSlot* slot = slotOf(form);
  return slot != nullptr ? slot->form->paneBounds(pane) : std::nullopt;
}

namespace {

enum class ControlMark { Invalidate, Redraw, Relayout };

// The three control marks: the form must hold the control; the mark goes to the window showing the form.
bool markControl(Application& app, const ui::FormHandle& form, const NodeHandle& control, ControlMark mark,
                 std::string& error) {
  error.clear();
  if (!app.isFormValid(form)) return failWith(error, "form does not exist");
  if (!app.isControlValid(form, control)) return failWith(error, "control does not belong to this form");
  const std::optional<uint64_t> window = app.windowOfForm(form);
  if (!window) return true;
  switch (mark) {
    case ControlMark::Invalidate:
      app.markWindowRedraw(*window);
      break;
    case ControlMark::Redraw:
      app.markWindowRedrawOnly(*window);
      break;
    case ControlMark::Relayout:
      app.markWindowRelayout(*window);
      break;
  }
  return true;
}

}  // namespace

bool Application::invalidateControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error) {
  return markControl(*this, form, control, ControlMark::Invalidate, error);
}

bool Application::redrawControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error) {
  return markControl(*this, form, control, ControlMark::Redraw, error);
}

bool Application::relayoutControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error) {
  return markControl(*this, form, control, ControlMark::Relayout, error);
}

// The area is checked against the control's last arranged bounds in 32 bits; its window position is formed
// in 64 bits and clamped, so a control far out in DIP space cannot wrap around.
bool Application::setControlTextInputArea(const ui::FormHandle& form, const NodeHandle& control, const ui::Rect& area,
                                          int32_t cursor, std::string& error) {
  error.clear();
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return failWith(error, "form does not exist");
  const std::optional<ui::ControlDescription> state = slot->form->controlState(control);
  const std::optional<ui::Rect> bounds = slot->form->controlBounds(control);
  if (!state || !bounds) return failWith(error, "control does not belong to this form");
  if (!state->textInput.present) return failWith(error, "control does not accept native text input");
  if (area.x < 0 || area.y < 0 || cursor < 0 || area.width <= 0 || area.height <= 0 ||
      bounds->width - area.width < area.x || bounds->height - area.height < area.y || cursor > area.width) {
    return failWith(error, "text input area must stay inside the control bounds");
  }
  const std::optional<uint64_t> window = windowOfForm(form);
  if (!window || !state_->windows.exists(*window)) return failWith(error, "control is not attached to a window");
  const WindowInputState* input = findWindowInputState(*window);
  if (input == nullptr || input->focus != ControlRef{form, control}) {
    return failWith(error, "control does not own text input focus");
  }
  const TextInputArea placed{clampToInt32(int64_t{bounds->x} + area.x), clampToInt32(int64_t{bounds->y} + area.y),
                             area.width, area.height, cursor};
  return state_->windows.setTextInputArea(*window, placed, error);
}

bool Application::setInitialFocus(const ui::FormHandle& form, const NodeHandle& control, std::string& error) {
  error.clear();
  if (state_->batch.isActive()) return failWith(error, "initial focus cannot change during active UI work");
  FormSlot* slot = slotOf(form);
  if (slot == nullptr) return failWith(error, "form does not exist");
  if (!slot->form->isControlValid(control)) return failWith(error, "control does not belong to this form");
  if (!slot->form->controlCanFocus(control)) return failWith(error, "initial focus control cannot receive focus");
  slot->initialFocus = control;
  return true;
}

bool Application::focusControl(const ui::FormHandle& form, const NodeHandle& control, std::string& error) {
  error.clear();
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return failWith(error, "form does not exist");
  if (!slot->form->isControlValid(control)) return failWith(error, "control does not belong to this form");
  const std::optional<uint64_t> window = windowOfForm(form);
  const ControlRef target{form, control};
  if (!window || !canFocusControl(target, *window)) {
    return failWith(error, "control cannot receive focus in a visible window");
  }
  if (state_->batch.isActive()) {
    state_->batch.setPendingFocus({*window, target, static_cast<uint32_t>(FocusAction::Take)});
    return true;
  }
  // The old focus's focus_lost handler may have left the control unable to take the focus after all.
  return setFocus(*window, target) || failWith(error, "control cannot receive focus in a visible window");
}
