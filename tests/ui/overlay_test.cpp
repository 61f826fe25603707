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
