// The form model: handles, names, the fourteen refusals of its edits, the layout depth limit, the item
// list and the placement of controls in panes.
#include "ui/form_model.h"

#include <gtest/gtest.h>

#include <functional>

#include "fake_control.h"

namespace {

class FormModelTest : public ::testing::Test {
 protected:
  NodeHandle newPane(FormModel& model, const std::string& name = {}) {
    PaneSpec settings;
    settings.name = name;
    std::string error;
    return *model.createPane(settings, error);
  }
  NodeHandle newLayout(FormModel& model) {
    std::string error;
    return *model.createLayout({}, error);
  }
  NodeHandle newControl(FormModel& model, const std::string& name = {}) {
    std::string error;
    return *model.createControl(name, std::make_unique<FakeControl>(), error);
  }
  void link(bool done, const std::string& error) { ASSERT_TRUE(done) << error; }

  FormModel form{FormSpec{}};
  FormModel other{FormSpec{}};
  std::string error;
};

TEST_F(FormModelTest, ANewFormHasOnlyItsRootLayoutAndIdsGrow) {
  EXPECT_EQ(form.rootLayout(), (NodeHandle{form.id(), 1, 1}));
  EXPECT_EQ(form.findLayout("root"), form.rootLayout());
  EXPECT_EQ(form.findPane("root"), std::nullopt);
  EXPECT_EQ(form.findLayout(""), std::nullopt);
  EXPECT_EQ(other.id(), form.id() + 1);
  EXPECT_FALSE(other.isLayoutValid(form.rootLayout())) << "same index and generation, another form";
  for (const NodeHandle& bad :
       {NodeHandle{}, NodeHandle{form.id(), 0, 1}, NodeHandle{form.id(), 1, 0}, NodeHandle{form.id(), 2, 1}}) {
    EXPECT_FALSE(form.isLayoutValid(bad));
  }
}

TEST_F(FormModelTest, EveryRefusedEditNamesItsReasonAndChangesNothing) {
  const NodeHandle pane = newPane(form, "taken");
  const NodeHandle nested = newLayout(form);
  const NodeHandle control = newControl(form);
  const NodeHandle overlay = newControl(form);
  link(form.appendPane(form.rootLayout(), pane, error), error);
  link(form.setPaneLayout(pane, nested, error), error);
  link(form.attachControl(pane, control, {}, error), error);
  link(form.attachOverlayControl(overlay, error), error);
  const NodeHandle inner = newPane(form);
  link(form.appendPane(nested, inner, error), error);
  const NodeHandle loosePane = newPane(form);
  const NodeHandle looseLayout = newLayout(form);
  link(form.setPaneLayout(loosePane, looseLayout, error), error);
  const NodeHandle foreign = newPane(other);
  const std::vector<FormItem> items = form.items();

  struct Case {
    std::function<bool()> edit;
    const char* message;
  };
  const Case cases[] = {
      {[&] { return form.createControl("x", nullptr, error).has_value(); }, "control is required"},
      {[&] { return form.createPane(paneOfLength(PaneLength::content(), "root"), error).has_value(); },
       "a layout, pane, or control already uses this name"},
      {[&] {
         return form.createLayout(LayoutSpec{0, 0, 0, 0, 0, 0, "taken"}, error).has_value();
       },
       "a layout, pane, or control already uses this name"},
      {[&] { return form.appendPane(other.rootLayout(), newPane(form), error); },
       "layout or pane does not belong to this form"},
      {[&] { return form.appendPane(form.rootLayout(), pane, error); }, "pane already belongs to a layout"},
      {[&] { return form.appendPane(looseLayout, loosePane, error); }, "pane and layout cannot contain each other"},
      {[&] { return form.setPaneLayout(inner, other.rootLayout(), error); },
       "pane or layout does not belong to this form"},
      {[&] { return form.setPaneLayout(newPane(form), form.rootLayout(), error); },
       "the root layout cannot be embedded in a pane"},
      {[&] { return form.setPaneLayout(pane, newLayout(form), error); }, "pane already has a nested layout"},
      {[&] { return form.setPaneLayout(inner, nested, error); }, "layout already belongs to a pane"},
      {[&] { return form.attachControl(foreign, newControl(form), {}, error); },
       "pane or control does not belong to this form"},
      {[&] { return form.attachControl(inner, control, {}, error); },
       "control already belongs to a pane or overlay layer"},
      {[&] { return form.attachControl(inner, overlay, {}, error); },
       "control already belongs to a pane or overlay layer"},
      {[&] { return form.attachOverlayControl(control, error); }, "control already belongs to a pane or overlay layer"},
      {[&] {
         return form.attachOverlayControl(NodeHandle{form.id(), 99, 1}, error);
       },
       "control does not belong to this form"},
      {[&] { return form.setPaneCollapsed(foreign, true, error); }, "pane does not belong to this form"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(c.edit());
    EXPECT_EQ(error, c.message);
  }
  EXPECT_EQ(form.items().size(), items.size()) << "no refusal touched the visible tree";
  EXPECT_TRUE(form.createPane(PaneSpec{}, error) && form.createPane(PaneSpec{}, error)) << "unnamed nodes coexist";
}

TEST_F(FormModelTest, ThePaneAndLayoutLoopIsRefusedFromBothSides) {
  const NodeHandle outer = newPane(form);
  const NodeHandle layout = newLayout(form);
  const NodeHandle inner = newPane(form);
  link(form.setPaneLayout(outer, layout, error), error);
  link(form.appendPane(layout, inner, error), error);
  const NodeHandle deeper = newLayout(form);
  link(form.setPaneLayout(inner, deeper, error), error);
  EXPECT_FALSE(form.appendPane(deeper, outer, error));
  EXPECT_EQ(error, "pane and layout cannot contain each other");
  EXPECT_FALSE(form.setPaneLayout(newPane(form), layout, error));
  EXPECT_EQ(error, "layout already belongs to a pane");
}

// A detached chain pane -> layout -> pane -> layout ... with `layouts` layouts; returns its top pane and its
// deepest layout.
std::pair<NodeHandle, NodeHandle> chain(FormModel& model, int layouts) {
  std::string error;
  const NodeHandle top = *model.createPane({}, error);
  NodeHandle pane = top;
  NodeHandle layout;
  for (int i = 0; i < layouts; ++i) {
    layout = *model.createLayout({}, error);
    EXPECT_TRUE(model.setPaneLayout(pane, layout, error)) << error;
    if (i + 1 == layouts) break;
    pane = *model.createPane({}, error);
    EXPECT_TRUE(model.appendPane(layout, pane, error)) << error;
  }
  return {top, layout};
}

TEST_F(FormModelTest, SixtyFourLayoutsNestAndASixtyFifthFailsFromEitherEnd) {
  const auto [carried, unused] = chain(form, 64);
  EXPECT_FALSE(form.appendPane(form.rootLayout(), carried, error)) << "1 + 64 layouts";
  EXPECT_EQ(error, "layouts cannot be nested more than 64 levels");
  EXPECT_TRUE(form.items().empty());

  const auto [top, deepest] = chain(form, 63);
  link(form.appendPane(form.rootLayout(), top, error), error);
  const size_t shown = form.items().size();
  const NodeHandle last = newPane(form);
  link(form.appendPane(deepest, last, error), error);
  EXPECT_FALSE(form.setPaneLayout(last, newLayout(form), error));
  EXPECT_EQ(error, "layouts cannot be nested more than 64 levels");
  EXPECT_EQ(form.items().size(), shown + 1);
}

TEST_F(FormModelTest, ItemsComeInTreeOrderAndCollapseKeepsItWhenExpanded) {
  const NodeHandle first = newPane(form);
  const NodeHandle nested = newLayout(form);
  const NodeHandle inner = newPane(form);
  const NodeHandle c1 = newControl(form);
  const NodeHandle c2 = newControl(form);
  const NodeHandle second = newPane(form);
  link(form.setPaneLayout(first, nested, error), error);
  link(form.appendPane(nested, inner, error), error);
  link(form.attachControl(first, c1, {}, error), error);
  link(form.attachControl(first, c2, {}, error), error);
  link(form.appendPane(form.rootLayout(), first, error), error);
  link(form.appendPane(form.rootLayout(), second, error), error);
  const auto nodes = [&] {
    std::vector<NodeHandle> handles;
    for (const FormItem& item : form.items()) handles.push_back(item.node);
    return handles;
  };
  const std::vector<NodeHandle> expected{first, inner, c1, c2, second};
  EXPECT_EQ(nodes(), expected);
  link(form.setPaneCollapsed(first, true, error), error);
  EXPECT_EQ(nodes(), (std::vector<NodeHandle>{second}));
  EXPECT_FALSE(form.controlCanFocus(c1)) << "inside a collapsed pane";
  link(form.setPaneCollapsed(first, false, error), error);
  EXPECT_EQ(nodes(), expected);
}

TEST_F(FormModelTest, ControlsArePlacedByAlignmentAndMargins) {
  PaneSpec settings;
  PaneNode pane(settings);
  pane.setBounds({100, 50, 100, 40});
  struct Case {
    ControlPlacement placement;
    ui::Size measured;
    ui::Rect expected;
  };
  const Case cases[] = {
      {{1, 0, 10, 0, 10, 0}, {31, 5}, {100 + 10 + 24, 50, 31, 5}},
      {{2, 2, -5, 0, 0, 0}, {20, 10}, {180, 80, 20, 10}},
      {{3, 3, 5, 5, 5, 5}, {1, 1}, {105, 55, 90, 30}},
      {{0, 1, 0, 0, 0, 0}, {500, 9}, {100, 65, 100, 9}},  // wider than the pane: cut to it
  };
  for (const Case& c : cases) EXPECT_EQ(pane.placeControl(c.placement, c.measured), c.expected);
  pane.setCollapsed(true);
  EXPECT_EQ(pane.placeControl({}, {5, 5}), (ui::Rect{100, 50, 0, 0}));
}

TEST_F(FormModelTest, APaneMeasuresAtLeastItsBaseSizeAndCentresItsControls) {
  PaneSpec settings;
  settings.width = 200;
  settings.height = 50;
  std::string error;
  const NodeHandle pane = *form.createPane(settings, error);
  auto made = std::make_unique<FakeControl>(ui::ControlDescription{}, ui::Size{31, 30});
  FakeControl* control = made.get();
  const NodeHandle node = *form.createControl("c", std::move(made), error);
  link(form.appendPane(form.rootLayout(), pane, error), error);
  link(form.attachControl(pane, node, {1, 1, 0, 0, 0, 0}, error), error);
  EXPECT_EQ(form.measurePane(pane), (ui::Size{200, 50}));
  form.arrange({0, 0, 100, 50});
  EXPECT_EQ(control->bounds().x, 34);
  EXPECT_EQ(form.paneAt(5, 5), pane);
  EXPECT_EQ(form.paneAt(100, 5), std::nullopt);
  link(form.setPaneFormSize(pane, {7, -3}), "");
  EXPECT_TRUE(form.setPaneForm(pane, std::nullopt));
  EXPECT_EQ(form.measurePane(pane), (ui::Size{200, 50}));
}

}  // namespace
