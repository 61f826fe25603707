// Forms behind generational handles, attached to windows and into panes, detached and destroyed.
#include <gtest/gtest.h>

#include "ui/overlay_layer.h"
#include "ui/root.h"
#include "ui_host_fixture.h"

namespace {

class FormAttachmentTest : public UiHostTest {
 protected:
  // A chain of `count` forms, each attached into the only pane of the one before; returns them in order.
  std::vector<ui::FormHandle> chainOfForms(size_t count) {
    std::vector<ui::FormHandle> forms;
    for (size_t i = 0; i < count; ++i) {
      forms.push_back(form());
      pane(forms.back());
      if (i > 0) {
        EXPECT_TRUE(app.attachForm(model(forms[i - 1]).panes().front(), forms.back(), error)) << error;
      }
    }
    return forms;
  }
  std::string error;
};

TEST_F(FormAttachmentTest, FreedSlotsAreReusedLastFreedFirstWithTheNextGeneration) {
  const ui::FormHandle first = form(), second = form(), third = form();
  EXPECT_EQ(first, (ui::FormHandle{1, 1}));
  EXPECT_EQ(second, (ui::FormHandle{2, 1}));
  EXPECT_EQ(third, (ui::FormHandle{3, 1}));
  const NodeHandle stale = pane(first);
  ASSERT_TRUE(app.destroyForm(second, error));
  ASSERT_TRUE(app.destroyForm(first, error));
  const ui::FormHandle reused = form();
  EXPECT_EQ(reused, (ui::FormHandle{1, 2}));
  EXPECT_EQ(form(), (ui::FormHandle{2, 2}));
  EXPECT_FALSE(app.isFormValid(second));
  const NodeHandle fresh = pane(reused);
  EXPECT_EQ(app.formContainingNode(fresh), reused) << "the new form of the slot holds its pane";
  EXPECT_EQ(app.formContainingNode(stale), std::nullopt) << "a node of the slot's old form names nothing";
  EXPECT_FALSE(app.requestDetachForm(stale, error));
  EXPECT_EQ(error, "pane does not exist");
  for (const ui::FormHandle& bad : {ui::FormHandle{0, 0}, ui::FormHandle{3, 0}, ui::FormHandle{9, 1}}) {
    EXPECT_FALSE(app.isFormValid(bad));
    EXPECT_FALSE(app.destroyForm(bad, error));
    EXPECT_EQ(error, "form does not exist");
  }
}

TEST_F(FormAttachmentTest, WindowChecksComeInOrder) {
  const uint64_t dialog = window(200, 150, std::nullopt, WindowFrame::Dialog);
  const uint64_t standard = window();
  const uint64_t main = window();
  registry().setMainWindow(main);
  struct Case {
    uint64_t window;
    ui::FormHandle form;
    const char* message;
  };
  const Case cases[] = {
      {999, form(), "window does not exist"},
      {main, form(), "the main workspace cannot host forms yet"},
      {standard, {7, 7}, "form does not exist"},
      {dialog, form(), "a native dialog Window requires a dialog Form"},
      {standard, form(1), "a dialog Form requires a native dialog Window"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(app.attachForm(c.window, c.form, error));
    EXPECT_EQ(error, c.message);
  }
  EXPECT_TRUE(app.attachForm(dialog, form(1), error)) << error;
}

TEST_F(FormAttachmentTest, AnotherFormReplacesTheFirstWhichStaysAliveUnattachedWithoutOverlays) {
  const uint64_t id = window();
  const ui::FormHandle first = form(), second = form();
  std::string ignored;
  const NodeHandle overlay = *model(first).createControl("", std::make_unique<FakeControl>(), ignored);
  ASSERT_TRUE(attach(id, first));
  ui::Root* root = registry().window(id).root();
  ASSERT_TRUE(attach(id, first));
  EXPECT_EQ(registry().window(id).root(), root) << "attaching again changes nothing";
  app.overlayLayerFor(id).showSized({first, overlay}, {0, 0, 5, 5});
  ASSERT_TRUE(attach(id, second));
  EXPECT_TRUE(app.isFormValid(first));
  EXPECT_FALSE(app.formHost(first).attached);
  EXPECT_EQ(app.formOfWindow(id), second);
  EXPECT_EQ(app.overlayLayer(id), nullptr);
  EXPECT_EQ(static_cast<ui::FormRoot*>(registry().window(id).root())->form(), second);
}

TEST_F(FormAttachmentTest, FormsNestSixtyFourDeepAndNoFormContainsItself) {
  const std::vector<ui::FormHandle> forms = chainOfForms(63);
  const ui::FormHandle sixtyFourth = form();
  pane(sixtyFourth);
  EXPECT_TRUE(app.attachForm(model(forms.back()).panes().front(), sixtyFourth, error)) << "H 63 + D 1";
  const ui::FormHandle sixtyFifth = form();
  EXPECT_FALSE(app.attachForm(model(sixtyFourth).panes().front(), sixtyFifth, error));
  EXPECT_EQ(error, "forms cannot be nested more than 64 levels");
  EXPECT_FALSE(app.attachForm(model(forms[10]).panes().front(), forms[3], error));
  EXPECT_EQ(error, "forms cannot contain themselves");
  EXPECT_FALSE(app.attachForm(model(forms[0]).panes().front(), form(1), error));
  EXPECT_EQ(error, "a dialog Form cannot be attached to a Pane");
}

TEST_F(FormAttachmentTest, ANestedFormIsShownOnlyThroughExpandedPanes) {
  const uint64_t id = window();
  const ui::FormHandle outer = form(), inner = form();
  const NodeHandle host = pane(outer);
  ASSERT_TRUE(attach(id, outer));
  ASSERT_TRUE(app.attachForm(host, inner, error)) << error;
  EXPECT_EQ(app.windowOfForm(inner), id);
  EXPECT_EQ(app.formOfPane(host), inner);
  EXPECT_TRUE(app.isFormShownIn(inner, id));
  ASSERT_TRUE(model(outer).setPaneCollapsed(host, true, error));
  EXPECT_EQ(app.windowOfForm(inner), id);
  EXPECT_FALSE(app.isFormShownIn(inner, id));
}

TEST_F(FormAttachmentTest, DetachingFromAWindowPaintsItBlackButDetachingFromAPaneDoesNot) {
  const uint64_t id = window();
  const ui::FormHandle outer = form(0, 0xFF00FF00u), inner = form(0, 0xFFFF0000u);
  const NodeHandle host = pane(outer, paneOfLength(PaneLength::weight(1)));
  ASSERT_TRUE(attach(id, outer));
  ASSERT_TRUE(app.attachForm(host, inner, error));
  ASSERT_TRUE(app.processWindows());
  EXPECT_EQ(pixel(id, 100, 75), 0xFF0000FFu) << "the nested form, red and blue swapped";
  ASSERT_TRUE(app.detachForm(host, error)) << error;
  EXPECT_EQ(pixel(id, 100, 75), 0xFF0000FFu) << "nothing painted yet";
  EXPECT_FALSE(app.formHost(inner).attached);
  EXPECT_EQ(app.formOfPane(host), std::nullopt);
  EXPECT_FALSE(app.detachForm(host, error));
  EXPECT_EQ(error, "pane has no attached form");
  ASSERT_TRUE(app.detachForm(id, error)) << error;
  EXPECT_EQ(pixel(id, 100, 75), 0xFF000000u);
  EXPECT_FALSE(registry().window(id).hasRoot());
  EXPECT_FALSE(app.detachForm(id, error));
  EXPECT_EQ(error, "window has no attached form");
}

// Leaving a host outside UI work notifies the form's controls, whose handlers may attach the form elsewhere
// at once: a detach leaves that attachment standing, while a destroy still takes the form from it.
TEST_F(FormAttachmentTest, AnAttachmentMadeWhileAFormLeavesItsHostStandsUnlessTheFormIsDestroyed) {
  enum class Leave { DetachFromWindow, DetachFromPane, Destroy };
  for (const Leave leave : {Leave::DetachFromWindow, Leave::DetachFromPane, Leave::Destroy}) {
    const uint64_t from = window(), to = window();
    const ui::FormHandle host = form(), moving = form(0, 0xFF00FF00u);
    const NodeHandle holder = pane(host, paneOfLength(PaneLength::weight(1)));
    ControlRef focused;
    FakeControl* notified = initiallyFocused(moving, focused);
    if (leave == Leave::DetachFromPane) {
      show(from, host);
      ASSERT_TRUE(app.attachForm(holder, moving, error)) << error;
    } else {
      show(from, moving);
    }
    ASSERT_EQ(app.focusedControl(from), focused);
    std::string nested;
    notified->onEvent = [&](const ControlEvent& event) {
      if (event.kind == ControlEventKind::FocusLost) {
        EXPECT_TRUE(app.attachForm(to, moving, nested)) << nested;
      }
      return EventResult{};
    };
    const bool done = leave == Leave::DetachFromWindow ? app.detachForm(from, error)
                      : leave == Leave::DetachFromPane ? app.detachForm(holder, error)
                                                       : app.destroyForm(moving, error);
    ASSERT_TRUE(done) << error;
    ASSERT_TRUE(app.processWindows());
    if (leave == Leave::Destroy) {
      EXPECT_FALSE(app.isFormValid(moving));
      EXPECT_FALSE(registry().window(to).hasRoot());
      EXPECT_EQ(pixel(to, 100, 75), 0xFF000000u);
    } else {
      EXPECT_EQ(app.formOfWindow(to), moving);
      EXPECT_TRUE(registry().window(to).hasRoot());
      EXPECT_EQ(pixel(to, 100, 75), 0xFF00FF00u) << "the moved form is painted where it went";
      EXPECT_EQ(app.formOfPane(holder), std::nullopt);
    }
    registry().closeWindow(from);
    registry().closeWindow(to);
  }
}

TEST_F(FormAttachmentTest, AnAttachmentUndoneByItsOwnDeferredWorkIsReported) {
  const uint64_t id = window();
  const ui::FormHandle shown = form();
  ControlRef ref;
  FakeControl* focused = initiallyFocused(shown, ref);
  focused->onEvent = [&](const ControlEvent& event) {
    std::string queued;
    if (event.kind == ControlEventKind::FocusGained) {
      EXPECT_TRUE(app.requestDetachForm(id, queued)) << queued;
    }
    return EventResult{};
  };
  EXPECT_FALSE(app.attachForm(id, shown, error));
  EXPECT_EQ(error, "form was removed during attachment");
  EXPECT_EQ(focused->events,
            (std::vector<ControlEventKind>{ControlEventKind::FocusGained, ControlEventKind::FocusLost}));
  EXPECT_FALSE(app.formHost(shown).attached);
}

TEST_F(FormAttachmentTest, RequestsDuringUiWorkCheckAtOnceAndApplyWhenTheScopeEnds) {
  const uint64_t id = window();
  const ui::FormHandle shown = form();
  ASSERT_TRUE(app.updateBatch().begin());
  EXPECT_FALSE(app.attachForm(id, shown, error));
  EXPECT_EQ(error, "a form cannot be attached synchronously during active UI work; use requestAttachForm");
  EXPECT_FALSE(app.destroyForm(shown, error));
  EXPECT_EQ(error, "a form cannot be destroyed synchronously during active UI work; use requestDestroyForm");
  EXPECT_FALSE(app.requestAttachForm(id + 50, shown, error));
  EXPECT_EQ(error, "window does not exist");
  EXPECT_TRUE(app.requestAttachForm(id, shown, error));
  EXPECT_EQ(app.formOfWindow(id), std::nullopt);
  EXPECT_FALSE(app.requestDetachForm(id, error)) << "nothing is attached yet when asked";
  EXPECT_EQ(error, "window has no attached form");
  app.updateBatch().end(true);
  EXPECT_EQ(app.formOfWindow(id), shown);
}

TEST_F(FormAttachmentTest, DestroyingAHostLeavesItsNestedFormsAliveAndCompletesNothing) {
  const uint64_t id = window();
  const ui::FormHandle outer = form(), inner = form();
  const NodeHandle host = pane(outer);
  ASSERT_TRUE(attach(id, outer));
  ASSERT_TRUE(app.attachForm(host, inner, error));
  lifecycle(outer, "outer");
  ASSERT_TRUE(app.destroyForm(outer, error));
  EXPECT_TRUE(app.isFormValid(inner));
  EXPECT_FALSE(app.formHost(inner).attached);
  EXPECT_TRUE(log->empty()) << "a destroyed form's lifecycle is released without completing";
  EXPECT_FALSE(registry().window(id).hasRoot());
}

TEST_F(FormAttachmentTest, LifecyclesBindOnceAndOnlyWhenReady) {
  const ui::FormHandle shown = form();
  auto unbound = std::make_unique<FakeLifecycle>("x", log);
  unbound->bound = false;
  EXPECT_FALSE(app.bindLifecycle(shown, std::move(unbound), error));
  EXPECT_EQ(error, "Form lifecycle is not ready");
  lifecycle(shown, "first");
  EXPECT_FALSE(app.bindLifecycle(shown, std::make_unique<FakeLifecycle>("second", log), error));
  EXPECT_EQ(error, "Form already has a Lua lifecycle");
  ASSERT_TRUE(app.updateBatch().begin());
  EXPECT_FALSE(app.bindLifecycle(shown, std::make_unique<FakeLifecycle>("third", log), error));
  EXPECT_EQ(error, "a Form lifecycle cannot be attached during active UI work");
  app.updateBatch().end(true);
}

}  // namespace
