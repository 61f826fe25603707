// Fakes and a fixture for the retained UI host: form lifecycles that record their calls, and an
// Application over SDL's offscreen driver with a recording mouse, with helpers that build forms of panes
// and controls.
#pragma once

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_control.h"
#include "fake_mouse_backend.h"
#include "sdl_video_fixture.h"
#include "ui/application.h"
#include "ui/draw_list.h"
#include "ui/update_batch.h"
#include "ui/window_registry.h"

// A lifecycle that records its calls into a shared log as "<name>:<call>[:<text>]".
class FakeLifecycle : public ui::FormLifecycle {
 public:
  FakeLifecycle(std::string name, std::shared_ptr<std::vector<std::string>> log)
      : name_(std::move(name)), log_(std::move(log)) {}

  bool bound = true;
  bool allowClose = true;
  bool takeEvents = false;
  std::function<void()> onComplete;

  bool isBound() const override { return bound; }
  bool dispatchEvent(const ControlEvent& event) override {
    log_->push_back(name_ + ":event:" + (event.key.empty() ? event.text : event.key));
    return takeEvents;
  }
  bool requestClose() override {
    log_->push_back(name_ + ":request_close");
    return allowClose;
  }
  void setResult(std::string result) override {
    if (!result_) result_ = std::move(result);
  }
  bool hasResult() const override { return result_.has_value(); }
  std::string resultOr(const std::string& fallback) const override { return result_.value_or(fallback); }
  void complete(const std::string& result) override {
    if (completed_) return;
    completed_ = true;
    log_->push_back(name_ + ":complete:" + result);
    if (onComplete) onComplete();
  }

 private:
  std::string name_;
  std::shared_ptr<std::vector<std::string>> log_;
  std::optional<std::string> result_;
  bool completed_ = false;
};

class UiHostTest : public SdlVideoTest {
 protected:
  // A hidden window of the given logical size; dialog frames on request.
  uint64_t window(int32_t width = 200, int32_t height = 150, std::optional<uint64_t> owner = std::nullopt,
                  WindowFrame frame = WindowFrame::Standard) {
    return createWindow(registry(), width, height, owner, false, frame);
  }

  ui::FormHandle form(uint32_t type = 0, uint32_t background = 0xFF204060u) {
    FormSpec settings;
    settings.type = type;
    settings.background = background;
    return app.createForm(std::move(settings));
  }

  FormModel& model(const ui::FormHandle& handle) { return *app.formModel(handle); }

  // A pane appended to the form's root layout (or to `layout`).
  NodeHandle pane(const ui::FormHandle& handle, PaneSpec settings = {},
                  std::optional<NodeHandle> layout = std::nullopt) {
    std::string error;
    const std::optional<NodeHandle> made = model(handle).createPane(settings, error);
    EXPECT_TRUE(made) << error;
    EXPECT_TRUE(model(handle).appendPane(layout.value_or(model(handle).rootLayout()), *made, error)) << error;
    return *made;
  }

  // A fake control attached to the pane; the form owns it, the returned pointer lives as long as the form.
  FakeControl* control(const ui::FormHandle& handle, const NodeHandle& inPane, ControlRef* ref = nullptr,
                       ui::ControlDescription description = {}, ControlPlacement placement = {}) {
    auto made = std::make_unique<FakeControl>(description);
    FakeControl* raw = made.get();
    std::string error;
    const std::optional<NodeHandle> node = model(handle).createControl("", std::move(made), error);
    EXPECT_TRUE(node) << error;
    EXPECT_TRUE(model(handle).attachControl(inPane, *node, placement, error)) << error;
    if (ref != nullptr) *ref = {handle, *node};
    return raw;
  }

  void initialFocus(const ui::FormHandle& handle, const ControlRef& ref) {
    std::string error;
    EXPECT_TRUE(app.setInitialFocus(handle, ref.control, error)) << error;
  }

  // A focusable control in a new pane of the form, made the form's initial focus.
  FakeControl* initiallyFocused(const ui::FormHandle& handle, ControlRef& ref) {
    FakeControl* made = control(handle, pane(handle), &ref, focusable());
    initialFocus(handle, ref);
    return made;
  }

  FakeLifecycle* lifecycle(const ui::FormHandle& handle, const std::string& name) {
    auto made = std::make_unique<FakeLifecycle>(name, log);
    FakeLifecycle* raw = made.get();
    std::string error;
    EXPECT_TRUE(app.bindLifecycle(handle, std::move(made), error)) << error;
    return raw;
  }

  bool attach(uint64_t id, const ui::FormHandle& handle) {
    std::string error;
    const bool attached = app.attachForm(id, handle, error);
    EXPECT_TRUE(attached) << error;
    return attached;
  }

  static WindowEvent event(const char* type, std::string text = {}) {
    WindowEvent made;
    made.type = type;
    made.text = std::move(text);
    return made;
  }

  static WindowEvent pointer(const char* type, double x, double y, std::string button = {}) {
    WindowEvent made = event(type, std::move(button));
    made.x = x;
    made.y = y;
    return made;
  }

  // A pane of the given height in the form's root layout with a control filling it: the control's bounds
  // are {0, y, window width, height} once the form is laid out.
  FakeControl* row(const ui::FormHandle& handle, int32_t height, ControlRef* ref = nullptr,
                   ui::ControlDescription description = {}) {
    return control(handle, pane(handle, paneOfLength(PaneLength::dips(height))), ref, description, {3, 3, 0, 0, 0, 0});
  }

  // Attaches the form, lays it out and activates the window.
  void show(uint64_t id, const ui::FormHandle& handle) {
    ASSERT_TRUE(attach(id, handle));
    ASSERT_TRUE(app.processWindows());
    send(id, event("focusgained"));
  }

  // Queues the events on the window and drains them through the pump.
  void send(uint64_t id, std::initializer_list<WindowEvent> events) {
    for (WindowEvent queued : events) registry().queueEvent(id, std::move(queued));
    ASSERT_TRUE(app.processWindows());
  }
  void send(uint64_t id, WindowEvent queued) { send(id, {std::move(queued)}); }

  // Ends the UI-work scope while the window's renderer is inside a frame; the text of what it threw.
  std::string endScopeMidFrame(uint64_t target) {
    registry().setRenderTarget(target);
    registry().window(target).renderer()->beginDrawing();
    std::string thrown;
    try {
      app.updateBatch().end(true);
    } catch (const std::runtime_error& failure) {
      thrown = failure.what();
    }
    registry().window(target).renderer()->endDrawing();
    return thrown;
  }

  // The pixel at window pixel (x, y) of the window surface.
  uint32_t pixel(uint64_t id, int x, int y) {
    SDL_Surface* surface = SDL_GetWindowSurface(registry().window(id).sdlWindow());
    return static_cast<const uint32_t*>(surface->pixels)[y * (surface->pitch / 4) + x];
  }

  WindowRegistry& registry() { return app.windowRegistry(); }

  FakeMouseBackend mouse;  // installed before the application, whose registry caches cursors
  Application app;
  std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();
};
