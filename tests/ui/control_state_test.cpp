// Control flags and pane collapse: the marks each change puts on its window, changes queued during UI work,
// focus, text input and overlays that follow, refusals that change nothing, and controls that destroy forms
// and move the focus of another window from the notifications of a change.
#include <gtest/gtest.h>

#include "ui_host_fixture.h"

namespace {

class ControlStateTest : public UiHostTest {
 protected:
  uint64_t id = window();
  ui::FormHandle shown = form();
  std::string error;
};

TEST_F(ControlStateTest, VisibilityRelayoutsEnablingInvalidatesAndNoChangeMarksNothing) {
  ControlRef ref;
  row(shown, 20, &ref);
  ASSERT_TRUE(attach(id, shown));
  UpdateBatch& batch = app.updateBatch();
  using Setter = bool (Application::*)(const ui::FormHandle&, const NodeHandle&, bool, std::string&);
  struct Case {
    Setter set;
    bool value;
    bool layout, invalidate;
  };
  const Case cases[] = {
      {&Application::setControlVisible, false, true, false}, {&Application::setControlVisible, false, false, false},
      {&Application::setControlEnabled, false, false, true}, {&Application::setControlEnabled, false, false, false},
      {&Application::setControlTabStop, false, false, true},
  };
  for (const Case& c : cases) {
    batch.flushInvalidations();
    ASSERT_TRUE(batch.begin());
    EXPECT_TRUE((app.*c.set)(shown, ref.control, c.value, error)) << error;
    EXPECT_TRUE(app.isControlValid(shown, ref.control)->tabStop) << "queued: nothing changes during the work";
    batch.end(false);
    EXPECT_EQ(batch.layoutWindows().count(id), size_t{c.layout});
    EXPECT_EQ(batch.invalidateWindows().count(id), size_t{c.invalidate});
  }
  const ui::ControlDescription state = *app.isControlValid(shown, ref.control);
  EXPECT_FALSE(state.visible || state.enabled || state.tabStop);
}

TEST_F(ControlStateTest, HidingTheFocusClearsItAndStopsTextInput) {
  ui::ControlDescription typing = focusable();
  typing.textInput.present = true;
  ControlRef ref;
  FakeControl* field = row(shown, 20, &ref, typing);
  initialFocus(shown, ref);
  show(id, shown);
  ASSERT_TRUE(SDL_TextInputActive(registry().window(id).sdlWindow()));
  ASSERT_TRUE(app.setControlVisible(shown, ref.control, false, error)) << error;
  EXPECT_EQ(app.focusedControl(id), std::nullopt);
  EXPECT_EQ(field->events.back(), ControlEventKind::FocusLost);
  EXPECT_FALSE(SDL_TextInputActive(registry().window(id).sdlWindow()));
}

TEST_F(ControlStateTest, CollapsingAHostingPaneDropsTheNestedFormsOverlaysAndFocus) {
  const ui::FormHandle nested = form();
  ControlRef inner;
  row(nested, 20, &inner, focusable());
  const NodeHandle popup = *app.createControl(nested, "", std::make_unique<FakeControl>(), error);
  ASSERT_TRUE(app.attachOverlayControl(nested, popup, error));
  const NodeHandle host = pane(shown, paneOfLength(PaneLength::dips(50)));
  ASSERT_TRUE(app.attachForm(host, nested, error)) << error;
  show(id, shown);
  AnchoredOverlayOptions options;
  options.size = {20, 20};
  ASSERT_TRUE(app.setAnchoredOverlay(nested, popup, inner.control, options, error)) << error;
  ASSERT_TRUE(app.focusControl(nested, inner.control, error)) << error;

  const ui::FormHandle other = form();
  EXPECT_FALSE(app.setFormPaneCollapsed(shown, pane(other), true, error));
  EXPECT_EQ(error, "pane does not belong to this form");
  EXPECT_TRUE(app.isOverlayVisible(nested, popup)) << "a refused collapse releases nothing";
  EXPECT_EQ(app.focusedControl(id), inner);

  ASSERT_TRUE(app.setFormPaneCollapsed(shown, host, true, error)) << error;
  EXPECT_FALSE(app.isOverlayVisible(nested, popup));
  EXPECT_EQ(app.focusedControl(id), std::nullopt);
  EXPECT_TRUE(registry().window(id).needsLayout());
  EXPECT_EQ(app.hitTest(shown, 5, 5), std::nullopt) << "collapsed: nothing of the nested form is hit";
  ASSERT_TRUE(app.setFormPaneCollapsed(shown, host, false, error));
  ASSERT_TRUE(app.processWindows());
  EXPECT_EQ(app.hitTest(shown, 5, 5), inner);
}

TEST_F(ControlStateTest, RequestsAreCheckedAtOnceAndSynchronousChangesRefusedDuringUiWork) {
  ControlRef ref;
  const NodeHandle side = pane(shown);
  control(shown, side, &ref);
  UpdateBatch& batch = app.updateBatch();
  ASSERT_TRUE(batch.begin());
  EXPECT_FALSE(app.setControlEnabled({5, 5}, ref.control, false, error));
  EXPECT_EQ(error, "form does not exist");
  EXPECT_FALSE(app.setControlVisible(shown, {ref.control.form, 99, 1}, false, error));
  EXPECT_EQ(error, "control does not belong to this form");
  EXPECT_FALSE(app.requestSetFormPaneCollapsed(shown, {side.form, 99, 1}, true, error));
  EXPECT_EQ(error, "pane does not belong to this form");
  EXPECT_FALSE(app.setControlState(shown, ref.control, {}, error));
  EXPECT_EQ(error, "control state cannot change synchronously during active UI work");
  EXPECT_FALSE(app.setFormPaneCollapsed(shown, side, true, error));
  EXPECT_EQ(error, "panes cannot collapse synchronously during active UI work; use requestSetFormPaneCollapsed");
  EXPECT_TRUE(app.requestSetFormPaneCollapsed(shown, side, true, error));
  EXPECT_TRUE(app.setControlVisible(shown, ref.control, false, error));
  EXPECT_EQ(endScopeMidFrame(id),
            "deferred UI mutation reached an active renderer: control state cannot change while a frame is rendering");
  EXPECT_TRUE(app.isControlValid(shown, ref.control)->visible);
  EXPECT_FALSE(model(shown).isPaneShown(side)) << "the collapse ahead of it was applied";
}

// A focus loss heard while the input states are checked again destroys forms and focuses a control of
// another window; the change that caused it finishes without touching what went.
TEST_F(ControlStateTest, AFocusLossMayDestroyFormsAndFocusAnotherWindow) {
  const uint64_t otherWindow = window();
  const ui::FormHandle elsewhere = form();
  ControlRef remote;
  FakeControl* target = row(elsewhere, 20, &remote, focusable());
  show(otherWindow, elsewhere);
  const ui::FormHandle doomed = form();
  ControlRef ref;
  FakeControl* leaving = row(shown, 20, &ref, focusable());
  row(doomed, 20);
  initialFocus(shown, ref);
  show(id, shown);
  leaving->onEvent = [application = &app, forms = std::vector{shown, doomed}, remote](const ControlEvent& event) {
    if (event.kind != ControlEventKind::FocusLost) return EventResult{};
    Application& app = *application;
    const std::vector<ui::FormHandle> gone = forms;
    const ControlRef next = remote;
    std::string ignored;
    for (const ui::FormHandle& form : gone) app.destroyForm(form, ignored);
    app.focusControl(next.form, next.control, ignored);
    return EventResult{};
  };
  EXPECT_TRUE(app.setControlEnabled(shown, ref.control, false, error)) << error;
  EXPECT_FALSE(app.isFormValid(shown));
  EXPECT_FALSE(app.isFormValid(doomed));
  EXPECT_EQ(app.focusedControl(otherWindow), remote);
  EXPECT_EQ(target->events.back(), ControlEventKind::FocusGained);
  send(id, event("keydown", "tab"));
  send(otherWindow, event("keydown", "x"));
  EXPECT_EQ(target->last.key, "x");
}

}  // namespace
