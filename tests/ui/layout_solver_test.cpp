// The layout solver's arithmetic: leftover space shared by weights, percentages that add up exactly, caps,
// rounding, collapsed children and overflow.
#include "ui/layout_solver.h"

#include <gtest/gtest.h>

namespace {

LayoutNode columns(int32_t padding, int32_t gap) {
  LayoutSpec settings;
  settings.direction = 1;
  settings.paddingLeft = settings.paddingRight = padding;
  settings.gap = gap;
  return LayoutNode(settings);
}

LayoutChild child(PaneLength length, int32_t maximum = kUnboundedLength, bool collapsed = false) {
  LayoutChild made;
  made.length = length;
  made.maximum = {maximum, kUnboundedLength};
  made.collapsed = collapsed;
  return made;
}

std::vector<ui::Rect> arrange(const LayoutNode& layout, int32_t width, const std::vector<LayoutChild>& children) {
  std::vector<ui::Rect> rects;
  arrangeLayoutChildren(layout, {0, 0, width, 40}, children, rects);
  return rects;
}

std::vector<int32_t> widths(const std::vector<ui::Rect>& rects) {
  std::vector<int32_t> values;
  for (const ui::Rect& rect : rects) values.push_back(rect.width);
  return values;
}

TEST(LayoutSolver, WeightsShareTheLeftoverWithTheRemainderInOrder) {
  const auto rects = arrange(
      columns(10, 5), 300, {child(PaneLength::dips(100)), child(PaneLength::weight(1)), child(PaneLength::weight(2))});
  EXPECT_EQ(widths(rects), (std::vector<int32_t>{100, 57, 113}));
  EXPECT_EQ(rects[0].x, 10);
  EXPECT_EQ(rects[1].x, 115);
  EXPECT_EQ(rects[2].x, 177);
}

TEST(LayoutSolver, PercentagesAccumulateTheirTargets) {
  const PaneLength third = PaneLength::percent(0.333);
  EXPECT_EQ(widths(arrange(columns(0, 0), 100, {child(third), child(third), child(third)})),
            (std::vector<int32_t>{33, 34, 33}));
}

TEST(LayoutSolver, ACappedWeightStopsAndTheOthersTakeTheRest) {
  EXPECT_EQ(widths(arrange(columns(0, 0), 100, {child(PaneLength::weight(1), 20), child(PaneLength::weight(1))})),
            (std::vector<int32_t>{20, 80}));
}

TEST(LayoutSolver, CollapsedChildrenTakeNoSpaceAndNoGap) {
  const auto rects = arrange(
      columns(0, 10), 200,
      {child(PaneLength::dips(50)), child(PaneLength::dips(50), kUnboundedLength, true), child(PaneLength::dips(50))});
  EXPECT_EQ(rects[1], (ui::Rect{50, 0, 0, 0}));
  EXPECT_EQ(rects[2].x, 60);
}

TEST(LayoutSolver, FixedChildrenOverflowInsteadOfShrinking) {
  const auto rects = arrange(columns(0, 0), 100, {child(PaneLength::dips(80)), child(PaneLength::dips(80))});
  EXPECT_EQ(rects[1], (ui::Rect{80, 0, 80, 40}));
}

TEST(LayoutSolver, LengthsRoundHalfUpAndSanitise) {
  EXPECT_EQ(roundLayoutLength(12.5L), 13);
  EXPECT_EQ(roundLayoutLength(12.4999L), 12);
  EXPECT_EQ(roundLayoutLength(-3.0L), 0);
  EXPECT_EQ(roundLayoutLength(1e12L), kUnboundedLength);
  EXPECT_EQ(PaneLength::weight(0).weightValue(), 1);
  EXPECT_EQ(PaneLength::weight(-7).weightValue(), 1) << "weights below 1 are 1";
  EXPECT_EQ(PaneLength::dips(INFINITY).dipsValue(), 0.0);
  EXPECT_EQ(PaneLength::dips(NAN).dipsValue(), 0.0);
}

TEST(LayoutSolver, HugeWeightsAreSummedWithoutOverflow) {
  const auto rects =
      arrange(columns(0, 0), 1000, {child(PaneLength::weight(INT32_MAX)), child(PaneLength::weight(INT32_MAX))});
  EXPECT_EQ(widths(rects), (std::vector<int32_t>{500, 500}));
}

TEST(LayoutSolver, MeasureAddsPaddingGapsAndTheWidestCrossSize) {
  std::vector<LayoutChild> children{child(PaneLength::dips(12.5)), child(PaneLength::content())};
  children[1].measured = {30, 70};
  EXPECT_EQ(measureLayoutChildren(columns(10, 5), children, {}), (ui::Size{20 + 13 + 5 + 30, 70}));
  EXPECT_EQ(measureLayoutChildren(columns(10, 5), children, {0, 0, 50, 60}), (ui::Size{50, 60}));
}

}  // namespace
