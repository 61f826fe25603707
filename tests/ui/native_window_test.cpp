#include "ui/native_window.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(WindowMetrics, InvalidFactorsReadAsOne) {
  for (float bad : {0.0f, -2.0f, NAN, INFINITY}) {
    const WindowMetrics metrics = computeWindowMetrics(640, 480, bad, bad);
    EXPECT_EQ(metrics.displayScale, 1.0);
    EXPECT_EQ(metrics.pixelDensity, 1.0);
    EXPECT_EQ(metrics.logicalWidth, 640);
    EXPECT_EQ(metrics.logicalHeight, 480);
  }
}

TEST(WindowMetrics, LogicalSizeRoundsHalvesAwayFromZero) {
  EXPECT_EQ(computeWindowMetrics(3, 1, 1.0f, 1.5f).logicalWidth, 2);
  EXPECT_EQ(computeWindowMetrics(5, 1, 1.0f, 2.0f).logicalWidth, 3);
  EXPECT_EQ(computeWindowMetrics(-4, -1, 1.0f, 1.0f).pixelWidth, 0);
}

}  // namespace
