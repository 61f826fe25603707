// Overlay layers: records and their anchor chains, the placement of popups beside their anchors, and the
// pruning and placing of a window's overlays when its forms change.
#include <gtest/gtest.h>

#include "ui/overlay_layer.h"
#include "ui/overlay_placement.h"
#include "ui_host_fixture.h"

namespace {

ControlRef key(uint64_t n) { return {{1, 1}, {1, n, 1}}; }

TEST(OverlayLayer, ErasingARecordTakesItsWholePopupChainAlong) {
  OverlayLayer layer;
  layer.showSized(key(1), {0, 0, -4, 5});
  layer.showAnchored(key(2), key(1), std::nullopt, {10, 10}, 2, 0);
  layer.showAnchored(key(3), key(2), ui::Rect{1, 1, -1, 1}, {10, 10}, -2, 1);
  layer.showAnchored(key(4), key(9), std::nullopt, {10, 10}, 0, 0);
  EXPECT_EQ(layer.records()[0].rect.width, 0);
  EXPECT_EQ(layer.records()[2].gap, 0u);
  EXPECT_EQ(layer.rootAnchorOf(key(3)), key(1));
  EXPECT_EQ(layer.rootAnchorOf(key(1)), std::nullopt) << "a sized overlay is no popup";
  EXPECT_TRUE(layer.hasAncestor(key(3), key(1)));
  EXPECT_FALSE(layer.hasAncestor(key(1), key(3)));
  layer.showAnchored(key(2), key(1), std::nullopt, {5, 5}, 0, 0);
  EXPECT_FALSE(layer.contains(key(3))) << "showing a key again drops its old subtree";
  EXPECT_EQ(layer.records().back().key, key(2)) << "and puts it on top";
  layer.showAnchored(key(3), key(2), std::nullopt, {5, 5}, 0, 0);
  EXPECT_TRUE(layer.closeChildren(key(2)));
  EXPECT_FALSE(layer.contains(key(3)));
  EXPECT_TRUE(layer.erase(key(1)));
  ASSERT_EQ(layer.records().size(), 1u);
  EXPECT_TRUE(layer.removeRecord(key(4)));
  EXPECT_FALSE(layer.removeRecord(key(4)));
}

TEST(OverlayPlacement, PopupsFlipShrinkAndStayInsideTheWindow) {
  struct Case {
    ui::Rect anchor;
    ui::Size wanted;
    int64_t gap;
    uint32_t position;
    ui::Rect expected;
  };
  const Case cases[] = {
      {{700, 100, 50, 20}, {200, 300}, 4, 1, {496, 100, 200, 300}},  // no room right: flipped left
      {{10, 500, 120, 24}, {100, 200}, 2, 0, {10, 298, 120, 200}},   // at least the anchor's width, above
      {{10, 500, 120, 24}, {100, 550}, 2, 0, {10, 0, 120, 498}},     // the larger side, shrunk to it
      {{300, 10, 20, 20}, {900, 50}, 0, 0, {0, 30, 800, 50}},        // cut to the window, x 0
      {{10, 10, 20, 20}, {100, 50}, 5, 0, {10, 35, 100, 50}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(placeAnchoredOverlay({800, 600}, c.anchor, c.wanted, c.gap, c.position), c.expected);
  }
}

class OverlayTest : public UiHostTest {};

TEST_F(OverlayTest, OverlaysArePlacedInTheirFormAndPrunedWhenTheirFormLeaves) {
  const uint64_t id = window(400, 300);
  const ui::FormHandle shown = form();
  ControlRef anchor;
  control(shown, pane(shown, paneOfLength(PaneLength::dips(40))), &anchor, {}, {0, 0, 0, 0, 0, 0});
  std::string error;
  const NodeHandle sized = *model(shown).createControl("", std::make_unique<FakeControl>(), error);
  const NodeHandle popup = *model(shown).createControl("", std::make_unique<FakeControl>(), error);
  ASSERT_TRUE(model(shown).attachOverlayControl(sized, error));
  ASSERT_TRUE(model(shown).attachOverlayControl(popup, error));
  ASSERT_TRUE(attach(id, shown));
  OverlayLayer& layer = app.overlayLayerFor(id);
  layer.showSized({shown, sized}, {5, 5, 30, 20});
  layer.showAnchored({shown, popup}, anchor, std::nullopt, {50, 60}, 2, 0);
  app.layoutForm(shown, 400, 300);
  EXPECT_EQ(model(shown).controlBounds(sized), (ui::Rect{5, 5, 30, 20}));
  EXPECT_EQ(model(shown).controlBounds(popup), (ui::Rect{0, 12, 50, 60})) << "below the 10 x 10 anchor, gap 2";

  ASSERT_TRUE(model(shown).setPaneCollapsed(model(shown).panes().front(), true, error));
  app.pruneOverlays();
  EXPECT_FALSE(app.overlayLayer(id)->contains({shown, popup})) << "its anchor is no longer shown";
  EXPECT_TRUE(app.overlayLayer(id)->contains({shown, sized}));
  EXPECT_FALSE(app.closeAnchoredOverlays(id)) << "no popup left to close";
  ASSERT_TRUE(app.detachForm(id, error));
  EXPECT_TRUE(app.overlayLayer(id)->empty()) << "a form leaving its host takes its overlays along";
}

}  // namespace

namespace {

// A window of 800 x 600 showing a form whose root layout is padded by {100, 40}; a nested form fills the
// rest, with a 10 x 10 anchor at its top-left corner, {100, 40}, and overlay controls of its own.
class OverlayRequestTest : public UiHostTest {
 protected:
  void SetUp() override {
    id = window(800, 600);
    FormSpec settings;
    settings.rootLayout.paddingLeft = 100;
    settings.rootLayout.paddingTop = 40;
    outer = app.createForm(std::move(settings));
    nested = form();
    anchor = control(nested, pane(nested, paneOfLength(PaneLength::dips(30))), &anchorRef);
    ASSERT_TRUE(app.attachForm(pane(outer, paneOfLength(PaneLength::weight(1))), nested, error)) << error;
    show(id, outer);
  }

  NodeHandle overlay(ui::Size size = {10, 10}, FakeControl** made = nullptr) {
    auto control = std::make_unique<FakeControl>(ui::ControlDescription{}, size);
    if (made != nullptr) *made = control.get();
    const NodeHandle node = *app.createControl(nested, "", std::move(control), error);
    EXPECT_TRUE(app.attachOverlayControl(nested, node, error)) << error;
    return node;
  }

  static AnchoredOverlayOptions popupOptions(ui::Size size, int32_t gap = 0, uint32_t position = 0,
                                             std::optional<ui::Rect> anchorBounds = std::nullopt) {
    AnchoredOverlayOptions options;
    options.size = size;
    options.gap = gap;
    options.position = position;
    options.anchorBounds = anchorBounds;
    return options;
  }

  std::optional<ui::Rect> bounds(const NodeHandle& control) { return model(nested).controlBounds(control); }

  uint64_t id = 0;
  ui::FormHandle outer, nested;
  ControlRef anchorRef;
  FakeControl* anchor = nullptr;
  std::string error;
};

TEST_F(OverlayRequestTest, SizedOverlaysSitInTheirFormAndPopupsBesideTheirAnchors) {
  ASSERT_EQ(model(nested).bounds().x, 100);
  const NodeHandle sized = overlay();
  ASSERT_TRUE(app.setOverlay(nested, sized, {5, 5, 30, 20, true}, error)) << error;
  EXPECT_EQ(bounds(sized), (ui::Rect{105, 45, 30, 20}));
  struct Case {
    ui::Rect anchorArea;  // in the window
    int32_t gap;
    uint32_t position;
    ui::Size wanted;
    ui::Rect expected;
  };
  const Case cases[] = {
      {{700, 100, 50, 20}, 4, 1, {200, 300}, {496, 100, 200, 300}},
      {{10, 500, 120, 24}, 2, 0, {100, 200}, {10, 298, 120, 200}},
      {{10, 500, 120, 24}, 2, 0, {100, 550}, {10, 0, 120, 498}},
  };
  const NodeHandle popup = overlay();
  for (const Case& c : cases) {
    const ui::Rect relative{c.anchorArea.x - 100, c.anchorArea.y - 40, c.anchorArea.width, c.anchorArea.height};
    ASSERT_TRUE(app.setAnchoredOverlay(nested, popup, anchorRef.control,
                                       popupOptions(c.wanted, c.gap, c.position, relative), error))
        << error;
    EXPECT_EQ(bounds(popup), c.expected);
  }
  EXPECT_TRUE(app.isOverlayVisible(nested, sized));
  ASSERT_TRUE(app.setOverlay(nested, sized, {}, error));
  EXPECT_FALSE(app.isOverlayVisible(nested, sized));
  EXPECT_TRUE(app.isOverlayVisible(nested, popup)) << "a popup anchored elsewhere stays";
}

TEST_F(OverlayRequestTest, ZeroSizesTakeTheMeasuredSize) {
  FakeControl* made = nullptr;
  const NodeHandle popup = overlay({30, 0}, &made);
  made->onMeasure = [&] { EXPECT_NE(ui::currentRenderContext(), nullptr) << "measured with the window's context"; };
  ASSERT_TRUE(app.setAnchoredOverlay(nested, popup, anchorRef.control, popupOptions({0, 40}), error)) << error;
  EXPECT_EQ(bounds(popup), (ui::Rect{100, 50, 30, 40}));
  EXPECT_FALSE(app.setAnchoredOverlay(nested, popup, anchorRef.control, popupOptions({40, 0}), error));
  EXPECT_EQ(error, "anchored overlay must resolve to a positive size");
  EXPECT_EQ(bounds(popup), (ui::Rect{100, 50, 30, 40})) << "the failed show left the popup as it was";
}

TEST_F(OverlayRequestTest, PopupChainsKeepOneChildPerParentAndNoCycles) {
  const NodeHandle menu = overlay(), first = overlay(), second = overlay(), other = overlay();
  const auto show = [&](const NodeHandle& popup, const NodeHandle& at) {
    return app.setAnchoredOverlay(nested, popup, at, popupOptions({20, 20}, 0, 1), error);
  };
  ASSERT_TRUE(show(menu, anchorRef.control)) << error;
  ASSERT_TRUE(show(first, menu)) << error;
  ASSERT_TRUE(show(second, menu)) << error;
  EXPECT_FALSE(app.isOverlayVisible(nested, first)) << "a submenu closes its sibling";
  EXPECT_FALSE(show(menu, second));
  EXPECT_EQ(error, "popup cannot be anchored to itself or its child");
  EXPECT_FALSE(show(other, first));
  EXPECT_EQ(error, "popup anchor must be a visible enabled parent popup");
  ASSERT_TRUE(show(other, anchorRef.control));
  EXPECT_FALSE(app.isOverlayVisible(nested, menu)) << "a root popup replaces the window's popups";
  EXPECT_FALSE(app.isOverlayVisible(nested, second));
}

TEST_F(OverlayRequestTest, RefusalsLeaveTheLayerAsItWas) {
  const NodeHandle popup = overlay();
  ControlRef hidden;
  ui::ControlDescription invisible;
  invisible.visible = false;
  control(nested, model(nested).panes().front(), &hidden, invisible);
  struct Case {
    std::function<bool()> request;
    const char* message;
  };
  const Case cases[] = {
      {[&] {
         return app.setOverlay(nested, anchorRef.control, {0, 0, 5, 5, true}, error);
       },
       "control does not belong to this form's overlay layer"},
      {[&] {
         return app.setAnchoredOverlay(nested, popup, anchorRef.control, popupOptions({5, -1}), error);
       },
       "anchored overlay size and gap must be non-negative"},
      {[&] {
         return app.setAnchoredOverlay(nested, popup, hidden.control, popupOptions({5, 5}), error);
       },
       "anchor must be a visible enabled control in the same form"},
      {[&] {
         return app.setOverlay(outer, popup, {0, 0, 5, 5, true}, error);
       },
       "control does not belong to this form's overlay layer"},
      {[&] {
         return app.setOverlay({7, 7}, popup, {0, 0, 5, 5, true}, error);
       },
       "form does not exist"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(c.request());
    EXPECT_EQ(error, c.message);
  }
  EXPECT_EQ(app.overlayLayer(id), nullptr);
  ASSERT_TRUE(app.detachForm(id, error));
  EXPECT_TRUE(app.setOverlay(nested, popup, {}, error)) << "hiding in a form shown nowhere does nothing";
  EXPECT_FALSE(app.setOverlay(nested, popup, {0, 0, 5, 5, true}, error));
  EXPECT_EQ(error, "form must be visible in a window before showing an overlay");
  EXPECT_FALSE(app.isOverlayVisible(nested, popup));
}

TEST_F(OverlayRequestTest, RequestsQueuedDuringUiWorkApplyAtItsEndOrMeetTheFrame) {
  const NodeHandle popup = overlay();
  UpdateBatch& batch = app.updateBatch();
  ASSERT_TRUE(batch.begin());
  EXPECT_FALSE(app.setAnchoredOverlay(nested, popup, {nested.index, 99, 1}, popupOptions({5, 5}), error));
  EXPECT_EQ(error, "anchor must be a control in the same form");
  ASSERT_TRUE(app.setAnchoredOverlay(nested, popup, anchorRef.control, popupOptions({5, 5}), error));
  EXPECT_FALSE(app.isOverlayVisible(nested, popup));
  batch.end(true);
  EXPECT_TRUE(app.isOverlayVisible(nested, popup));

  ASSERT_TRUE(batch.begin());
  ASSERT_TRUE(app.setOverlay(nested, popup, {}, error));
  EXPECT_EQ(endScopeMidFrame(id),
            "deferred UI mutation reached an active renderer: overlay cannot change while a frame is rendering");
  EXPECT_TRUE(app.isOverlayVisible(nested, popup));
}

// Measuring runs the control outside UI work; whatever it does there, the show answers with the message
// of what it finds afterwards, and nothing dangles.
TEST_F(OverlayRequestTest, AMeasureThatChangesTheFormsIsCheckedAgain) {
  struct Case {
    std::function<void(Application&)> during;
    const char* message;
  };
  const Case cases[] = {
      {[this](Application& application) {
         std::string ignored;
         application.destroyForm(nested, ignored);
       },
       "form does not exist"},
      {[this](Application& application) { application.closeWindow(id); },
       "form must be visible in a window before showing an overlay"},
      {[this](Application& application) {
         std::string ignored;
         application.detachForm(id, ignored);
       },
       "form must be visible in a window before showing an overlay"},
      {[this](Application& application) {
         std::string ignored;
         application.setControlVisible(nested, anchorRef.control, false, ignored);
       },
       "anchor must be a visible enabled control in the same form"},
  };
  for (const Case& c : cases) {
    FakeControl* made = nullptr;
    const NodeHandle popup = overlay({0, 0}, &made);
    made->onMeasure = [&application = app, during = c.during] {
      const auto run = during;  // the control may be gone after this
      run(application);
    };
    EXPECT_FALSE(app.setAnchoredOverlay(nested, popup, anchorRef.control, popupOptions({0, 0}), error));
    EXPECT_EQ(error, c.message);
    SetUp();
  }
}

}  // namespace
