#include "app/main_window.h"

#include <gtest/gtest.h>

namespace {

TEST(MainWindowSize, FourFifthsOfTheModeInLogicalUnits) {
  const MainWindowSize size = mainWindowSizeFor(2560, 1440, 1.0f, 1.5f);
  EXPECT_EQ(size.width, 1365);
  EXPECT_EQ(size.height, 768);
}

TEST(MainWindowSize, FallbackModeGives1024By576) {
  const MainWindowSize size = mainWindowSizeFor(1280, 720, 1.0f, 1.0f);
  EXPECT_EQ(size.width, 1024);
  EXPECT_EQ(size.height, 576);
}

TEST(MainWindowSize, InvalidFactorsReadAsOne) {
  const MainWindowSize size = mainWindowSizeFor(1000, 500, 0.0f, -1.0f);
  EXPECT_EQ(size.width, 800);
  EXPECT_EQ(size.height, 400);
}

}  // namespace
