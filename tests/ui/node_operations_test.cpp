// The operations behind the scripts' tree building: refusals during UI work, name lookups, the three
// control marks, the focused control's text input area, initial focus and moving the focus by request.
#include <gtest/gtest.h>

#include <functional>

#include "ui_host_fixture.h"

namespace {

class NodeOperationsTest : public UiHostTest {
 protected:
  uint64_t id = window();
  ui::FormHandle shown = form();
  std::string error;
};

// A control that tells when it is destroyed.
class Watched : public FakeControl {
 public:
  explicit Watched(bool& destroyed) : destroyed_(destroyed) {}
  ~Watched() override { destroyed_ = true; }

 private:
  bool& destroyed_;
};

TEST_F(NodeOperationsTest, TreeEditsAreRefusedDuringUiWorkAndChangeNothing) {
  LayoutSpec namedLayout;
  namedLayout.name = "l";
  const NodeHandle layout = *app.createLayout(shown, namedLayout, error);
  const NodeHandle loose = *app.createPane(shown, paneOfLength(PaneLength::dips(5), "p"), error);
  const NodeHandle control = *app.createControl(shown, "c", std::make_unique<FakeControl>(focusable()), error);
  bool destroyed = false;
  using Edit = std::function<bool()>;
  const std::pair<Edit, const char*> edits[] = {
      {[&] { return bool(app.createLayout(shown, {}, error)); }, "layouts cannot be created during active UI work"},
      {[&] { return bool(app.createPane(shown, {}, error)); }, "panes cannot be created during active UI work"},
      {[&] { return bool(app.createControl(shown, "x", std::make_unique<Watched>(destroyed), error)); },
       "controls cannot be added during active UI work"},
      {[&] { return app.appendPane(shown, layout, loose, error); }, "panes cannot be appended during active UI work"},
      {[&] { return app.setPaneLayout(shown, loose, layout, error); },
       "pane layouts cannot change during active UI work"},
      {[&] { return app.attachControl(shown, loose, control, {}, error); },
       "controls cannot be attached during active UI work"},
      {[&] { return app.attachOverlayControl(shown, control, error); },
       "overlay controls cannot be attached during active UI work"},
      {[&] { return app.setInitialFocus(shown, control, error); }, "initial focus cannot change during active UI work"},
  };
  ASSERT_TRUE(app.updateBatch().begin());
  for (const auto& [edit, message] : edits) {
    EXPECT_FALSE(edit());
    EXPECT_EQ(error, message);
  }
  app.updateBatch().end(true);
  EXPECT_TRUE(destroyed) << "a refused control is destroyed";
  EXPECT_TRUE(model(shown).items().empty());
  EXPECT_FALSE(app.controlByName(shown, "x"));
  EXPECT_FALSE(app.findForm(shown)->initialFocus);
  EXPECT_TRUE(app.appendPane(shown, layout, loose, error)) << "the same edits pass outside UI work";
  EXPECT_FALSE(app.setPaneLayout(shown, loose, layout, error));
  EXPECT_EQ(error, "pane and layout cannot contain each other") << "the form model's refusals pass through";
}

TEST_F(NodeOperationsTest, LookupsAnswerOnlyForTheirKindAndLiveForms) {
  ControlRef control;
  const NodeHandle named = pane(shown, paneOfLength(PaneLength::dips(30), "side"));
  UiHostTest::control(shown, named, &control);
  EXPECT_EQ(app.rootLayout(shown, "root"), model(shown).rootLayout());
  EXPECT_EQ(app.paneByName(shown, "side"), named);
  EXPECT_FALSE(app.controlByName(shown, "side")) << "a node of another kind";
  EXPECT_FALSE(app.rootLayout(shown, "side"));
  app.layoutForm(shown, 100, 100);
  EXPECT_EQ(app.isPaneValid(shown, named), (ui::Rect{0, 0, 100, 30}));
  EXPECT_TRUE(app.isControlValid(shown, control.control)->visible);
  EXPECT_FALSE(app.isControlValid(shown, {named.form, 99, 1}));
  ASSERT_TRUE(app.destroyForm(shown, error));
  EXPECT_FALSE(app.rootLayout(shown, "root"));
  EXPECT_FALSE(app.isControlValid(shown, control.control));
}

TEST_F(NodeOperationsTest, RedrawKeepsTheRenderCacheAndInvalidateDoesNot) {
  ControlRef control;
  UiHostTest::control(shown, pane(shown), &control);
  using Mark = bool (Application::*)(const ui::FormHandle&, const NodeHandle&, std::string&);
  struct Case {
    Mark mark;
    bool layout, invalidate, redraw;
  };
  const Case cases[] = {
      {&Application::redrawControl, false, false, true},
      {&Application::invalidateControl, false, true, false},
      {&Application::relayoutControl, true, false, false},
  };
  UpdateBatch& batch = app.updateBatch();
  ASSERT_TRUE(batch.begin());
  EXPECT_TRUE((app.*cases[0].mark)(shown, control.control, error)) << "a form shown nowhere";
  batch.end(false);
  EXPECT_TRUE(batch.redrawWindows().empty() && batch.invalidateWindows().empty()) << "marks nothing";
  ASSERT_TRUE(attach(id, shown));
  for (const Case& c : cases) {
    batch.flushInvalidations();
    ASSERT_TRUE(batch.begin());
    EXPECT_TRUE((app.*c.mark)(shown, control.control, error));
    batch.end(false);
    EXPECT_EQ(batch.layoutWindows().count(id), size_t{c.layout});
    EXPECT_EQ(batch.invalidateWindows().count(id), size_t{c.invalidate});
    EXPECT_EQ(batch.redrawWindows().count(id), size_t{c.redraw});
  }
  EXPECT_FALSE(app.redrawControl(shown, {control.control.form, 99, 1}, error));
  EXPECT_EQ(error, "control does not belong to this form");
  EXPECT_FALSE(app.invalidateControl({9, 9}, control.control, error));
  EXPECT_EQ(error, "form does not exist");
}

TEST_F(NodeOperationsTest, TheTextInputAreaStaysInsideTheFocusedControl) {
  ui::ControlDescription typing = focusable();
  typing.textInput.present = true;
  ControlRef field, other, plain;
  row(shown, 20, &field, typing);  // {0, 0, 200, 20}
  row(shown, 20, &other, typing);
  row(shown, 20, &plain, focusable());
  app.layoutForm(shown, 200, 150);
  EXPECT_FALSE(app.setControlTextInputArea(shown, field.control, {0, 0, 200, 20}, 0, error));
  EXPECT_EQ(error, "control is not attached to a window");
  show(id, shown);
  ASSERT_TRUE(app.setFocus(id, field));
  struct Case {
    ui::Rect area;
    int32_t cursor;
    const char* message;  // null: accepted
  };
  const Case cases[] = {
      {{0, 0, 200, 20}, 0, nullptr},
      {{1, 0, 200, 20}, 0, "text input area must stay inside the control bounds"},
      {{0, 0, 50, 20}, 50, nullptr},
      {{0, 0, 50, 20}, 51, "text input area must stay inside the control bounds"},
      {{0, 0, 0, 20}, 0, "text input area must stay inside the control bounds"},
      {{0, -1, 10, 10}, 0, "text input area must stay inside the control bounds"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(app.setControlTextInputArea(shown, field.control, c.area, c.cursor, error), c.message == nullptr);
    EXPECT_EQ(error, c.message == nullptr ? "" : c.message)
        << c.area.x << "," << c.area.width << " cursor " << c.cursor;
  }
  EXPECT_EQ(registry().window(id).textInputArea(), (TextInputArea{0, 0, 50, 20, 50}));
  EXPECT_FALSE(app.setControlTextInputArea(shown, other.control, {0, 0, 10, 10}, 0, error));
  EXPECT_EQ(error, "control does not own text input focus");
  EXPECT_FALSE(app.setControlTextInputArea(shown, plain.control, {0, 0, 10, 10}, 0, error));
  EXPECT_EQ(error, "control does not accept native text input");
}

TEST_F(NodeOperationsTest, TheWindowPositionOfAnAreaIsClampedNotWrapped) {
  ui::ControlDescription typing = focusable();
  typing.textInput.present = true;
  const NodeHandle far = *app.createControl(shown, "", std::make_unique<FakeControl>(typing), error);
  ASSERT_TRUE(app.attachOverlayControl(shown, far, error));
  show(id, shown);
  ASSERT_TRUE(app.setOverlay(shown, far, {2147483640, 0, 10, 10, true}, error)) << error;
  ASSERT_TRUE(app.focusControl(shown, far, error)) << error;
  ASSERT_TRUE(app.setControlTextInputArea(shown, far, {9, 0, 1, 10}, 0, error)) << error;
  EXPECT_EQ(registry().window(id).textInputArea()->x, 2147483647);
}

TEST_F(NodeOperationsTest, InitialFocusAndFocusRequests) {
  ControlRef first, second;
  row(shown, 20, &first, focusable());
  const NodeHandle folded = pane(shown, paneOfLength(PaneLength::dips(20)));
  control(shown, folded, &second, focusable());
  ASSERT_TRUE(app.setFormPaneCollapsed(shown, folded, true, error));
  EXPECT_FALSE(app.setInitialFocus(shown, second.control, error));
  EXPECT_EQ(error, "initial focus control cannot receive focus");
  EXPECT_FALSE(app.focusControl(shown, first.control, error));
  EXPECT_EQ(error, "control cannot receive focus in a visible window") << "not shown in a window yet";
  ASSERT_TRUE(app.setInitialFocus(shown, first.control, error)) << error;
  show(id, shown);
  EXPECT_EQ(app.focusedControl(id), first);
  ASSERT_TRUE(app.setFormPaneCollapsed(shown, folded, false, error));
  ASSERT_TRUE(app.updateBatch().begin());
  EXPECT_TRUE(app.focusControl(shown, second.control, error)) << error;
  EXPECT_EQ(app.focusedControl(id), first) << "during UI work the focus moves when the scope ends";
  app.updateBatch().end(true);
  EXPECT_EQ(app.focusedControl(id), second);
}

}  // namespace
