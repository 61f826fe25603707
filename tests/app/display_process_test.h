// A fixture for tests that run qz processes on a private X display of their own, drawing through X11.
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "qz_sandbox.h"
#include "virtual_display.h"

class DisplayProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(display.name().empty()) << display.failure(); }

  // Options for a qz of its own (neither serving nor forwarding) on the display.
  qztest::RunOptions onDisplay() const {
    qztest::RunOptions options;
    options.args = {"--new-instance"};
    options.environment = {{"SDL_VIDEO_DRIVER", "x11"}, {"DISPLAY", display.name()}};
    options.timeout = std::chrono::seconds(60);
    return options;
  }

  qztest::VirtualDisplay display;
};
