// The per-frame entries of a form shown in a window, each in its own UI-work scope: the pointer position,
// the layout for a window size, and painting with the window's overlays on top.
#include "ui/application_state.h"
#include "ui/draw_list.h"

// The position counts as present only in the form the pointer is over: the form of the window's focused
// control when there is one, else the form itself.
bool Application::updatePointer(const ui::FormHandle& form, const PointerPosition& pointer) {
  return runInUiWork(state_->batch, true, [&] {
    if (!isFormValid(form)) return false;
    ui::FormHandle target = form;
    if (const std::optional<uint64_t> window = windowOfForm(form)) {
      refreshInputStates();
      const WindowInputState* input = findWindowInputState(*window);
      if (input != nullptr && input->focus) target = input->focus->form;
    }
    propagatePointer(form, pointer, target);
    return true;
  });
}

bool Application::resizeForm(const ui::FormHandle& form, int32_t width, int32_t height) {
  return runInUiWork(state_->batch, true, [&] {
    if (!isFormValid(form)) return false;
    const std::optional<uint64_t> window = windowOfForm(form);
    ui::TextContext* context =
        window && state_->windows.exists(*window) ? &state_->windows.textContext(*window) : nullptr;
    const ui::RenderContextScope scope(context, true);
    layoutForm(form, width, height);
    return true;
  });
}

void Application::layoutForm(const ui::FormHandle& form, int32_t width, int32_t height) {
  if (!isFormValid(form)) return;
  const ui::Rect area{0, 0, std::max(width, 0), std::max(height, 0)};
  measureFormTree(form, {0, 0, area.width, area.height});
  arrangeNestedForms(form, area);
  if (const std::optional<uint64_t> window = windowOfForm(form)) {
    pruneOverlays();
    layoutOverlays(*window);
  }
}

bool Application::drawForm(const ui::FormHandle& form, ui::DrawList& list) {
  return runInUiWork(state_->batch, true, [&] {
    const FormModel* model = formModel(form);
    if (model == nullptr) return false;
    list.setClip(model->bounds());
    drawNestedForms(form, list);
    const std::optional<uint64_t> window = windowOfForm(form);
    model = formModel(form);
    if (window && model != nullptr) {
      list.setClip(model->bounds());
      drawOverlays(*window, list);
    }
    return true;
  });
}
