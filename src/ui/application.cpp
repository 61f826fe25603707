// The application state, the form table and its handles, window marks, deferred callbacks, and the
// process-wide pointer to the application. A static unique_ptr destroys an application that is still
// installed when the process ends without the at-exit teardown.
#include "ui/application.h"

#include "ui/application_state.h"

namespace {

// Constructed before main, so its destructor runs after every at-exit handler that start-up registers.
std::unique_ptr<Application> installed;

}  // namespace

Application::Application() : state_(std::make_unique<State>(*this)) {
  state_->inputStates.max_load_factor(1.0f);
  state_->overlayLayers.max_load_factor(1.0f);
}

Application::~Application() = default;

WindowRegistry& Application::windowRegistry() { return state_->windows; }
UpdateBatch& Application::updateBatch() { return state_->batch; }

std::optional<uint64_t> Application::createWindow(const WindowCreateInfo& info, std::string& error) {
  return state_->windows.createWindow(info, error);
}

ui::FormHandle Application::createForm(FormSpec settings) {
  auto model = std::make_unique<FormModel>(std::move(settings));
  // Indexed first, so a failure to grow the table leaves nothing behind.
  const auto indexed = state_->slotOfFormId.emplace(model->id(), 0).first;
  size_t index = 0;
  if (!state_->freeSlots.empty()) {
    index = state_->freeSlots.back();
    state_->freeSlots.pop_back();
  } else {
    try {
      state_->slots.emplace_back();
    } catch (...) {
      state_->slotOfFormId.erase(indexed);
      throw;
    }
    index = state_->slots.size();
  }
  indexed->second = index - 1;
  FormSlot& slot = state_->slots[index - 1];
  slot.form = std::move(model);
  slot.host = {};
  slot.lifecycle.reset();
  slot.initialFocus.reset();
  return {index, slot.generation};
}

const FormSlot* Application::slotOf(const ui::FormHandle& form) const {
  if (form.index == 0 || form.generation == 0 || form.index > state_->slots.size()) return nullptr;
  const FormSlot& slot = state_->slots[form.index - 1];
  return slot.form != nullptr && slot.generation == form.generation ? &slot : nullptr;
}

FormSlot* Application::slotOf(const ui::FormHandle& form) {
  return const_cast<FormSlot*>(std::as_const(*this).slotOf(form));
}

ui::FormHandle Application::handleOfSlot(size_t index) const { return {index + 1, state_->slots[index].generation}; }

FormSlot* Application::findForm(const ui::FormHandle& form) { return slotOf(form); }

FormModel* Application::formModel(const ui::FormHandle& form) {
  FormSlot* slot = slotOf(form);
  return slot != nullptr ? slot->form.get() : nullptr;
}

bool Application::isFormValid(const ui::FormHandle& form) const { return slotOf(form) != nullptr; }

size_t Application::formSlotCount() const { return state_->slots.size(); }

bool Application::isUiWorkActive() const { return state_->batch.isActive(); }

void Application::defer(ui::DeferredCallback callback) {
  if (!callback) return;
  if (state_->batch.isActive()) {
    state_->batch.queueCallback(std::move(callback));
  } else {
    callback();
  }
}

bool Application::setWindowVisible(uint64_t window, bool visible, std::string& error) {
  error.clear();
  if (!state_->windows.exists(window)) {
    error = "window does not exist";
    return false;
  }
  if (state_->batch.isActive()) {
    state_->batch.queueRequest(SetWindowVisibleRequest{window, visible});
    return true;
  }
  return setWindowVisibleNow(window, visible, error);
}

UiStatus Application::setVisibleWindowDeferred(uint64_t window, bool visible, std::string& error) {
  return setWindowVisibleNow(window, visible, error) ? UiStatus::Done : UiStatus::Refused;
}

bool Application::setWindowVisibleNow(uint64_t window, bool visible, std::string& error) {
  return state_->windows.setVisible(window, visible, error);
}

void Application::markFormRelayout(const ui::FormHandle& form) {
  if (const std::optional<uint64_t> window = windowOfForm(form)) markWindowRelayout(*window);
}

void Application::markWindowRelayout(uint64_t window) {
  if (state_->batch.isActive()) {
    state_->batch.requestLayout(window);
  } else if (window != 0 && state_->windows.exists(window)) {
    state_->windows.markRelayout(window);
  }
}

void Application::markWindowRedraw(uint64_t window) {
  if (state_->batch.isActive()) {
    state_->batch.requestInvalidate(window);
  } else if (window != 0 && state_->windows.exists(window)) {
    state_->windows.invalidate(window);
  }
}

void Application::markWindowRedrawOnly(uint64_t window) {
  if (state_->batch.isActive()) {
    state_->batch.requestRedraw(window);
  } else if (window != 0 && state_->windows.exists(window)) {
    state_->windows.markRedraw(window);
  }
}

bool Application::frameRendering() const {
  const std::optional<uint64_t> target = state_->windows.renderTargetId();
  return target && state_->windows.exists(*target) && state_->windows.renderTargetRenderer().isDrawing();
}

Application* currentApplication() { return installed.get(); }

void installApplication(std::unique_ptr<Application> application) {
  installed.reset();
  installed = std::move(application);
}

std::unique_ptr<Application> takeApplication() { return std::move(installed); }

WindowRegistry& currentWindowRegistry() { return installed->windowRegistry(); }
