#include "app/workspace_text_input.h"

#include <gtest/gtest.h>

namespace {

WindowMetrics workspace(int32_t pixelWidth, int32_t pixelHeight, double scale) {
  WindowMetrics metrics;
  metrics.pixelWidth = pixelWidth;
  metrics.pixelHeight = pixelHeight;
  metrics.displayScale = scale;
  return metrics;
}

TEST(WorkspaceTextInputArea, ScalesEdgesAndCaretHalvesAwayFromZero) {
  const auto area = workspaceTextInputArea({3, 3, 4, 4, 4}, workspace(100, 100, 1.5));
  ASSERT_TRUE(area);
  EXPECT_EQ(*area, (TextInputArea{2, 2, 3, 3, 3}));
}

TEST(WorkspaceTextInputArea, ClipsToTheWorkspace) {
  EXPECT_EQ(workspaceTextInputArea({-10, 5, 20, 10, 0}, workspace(100, 100, 1.0)), (TextInputArea{0, 5, 10, 10, 0}))
      << "the caret left of the clipped area moves to its edge";
  EXPECT_EQ(workspaceTextInputArea({90, 90, 20, 20, 20}, workspace(100, 100, 1.0)),
            (TextInputArea{90, 90, 10, 10, 10}));
  EXPECT_EQ(workspaceTextInputArea({2147483600, 0, 2147483647, 5, 0}, workspace(100, 100, 1.0)), std::nullopt)
      << "no overflow";
}

TEST(WorkspaceTextInputArea, AnAreaOutsideOrAnEmptyWorkspaceGivesNone) {
  EXPECT_EQ(workspaceTextInputArea({100, 0, 5, 5, 0}, workspace(100, 100, 1.0)), std::nullopt);
  EXPECT_EQ(workspaceTextInputArea({-5, 0, 5, 5, 0}, workspace(100, 100, 1.0)), std::nullopt);
  EXPECT_EQ(workspaceTextInputArea({0, 0, 5, 5, 0}, workspace(0, 100, 1.0)), std::nullopt);
}

}  // namespace
