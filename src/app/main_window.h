// The main window that start-up creates: hidden, untitled, resizable, high pixel density, at 4/5 of the
// primary display's current mode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct MainWindowSize {
  int32_t width = 0;
  int32_t height = 0;
};

// mode x density / content scale x 4 / 5 per side, in that order, rounded half away from zero; a density or
// content scale not above 0 reads as 1.
MainWindowSize mainWindowSizeFor(int32_t modeWidth, int32_t modeHeight, float pixelDensity, float contentScale);

// Creates the main window through the installed application and makes it the main window, the workspace
// text input window and the render target. Returns its id, or none with the boot-trace message.
std::optional<uint64_t> createMainWindow(std::string& failure);
