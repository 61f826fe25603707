// Modal message boxes with up to eight named buttons, through SDL.
#pragma once

#include <SDL3/SDL_messagebox.h>
#include <SDL3/SDL_video.h>

#include <optional>
#include <string>
#include <vector>

inline constexpr size_t kMaxMessageBoxButtons = 8;

struct MessageBoxRequest {
  SDL_Window* owner = nullptr;
  SDL_MessageBoxFlags kind = SDL_MESSAGEBOX_INFORMATION;
  std::string title;
  std::string message;
  std::vector<std::string> buttons;       // 1 to 8 names, shown in this order
  std::optional<std::string> returnName;  // the button that Return selects: the first of that name
  std::optional<std::string> escapeName;  // the button that Escape selects: the first of that name
};

struct MessageBoxOutcome {
  bool shown = false;            // false: the box could not be shown, and error says why
  std::optional<size_t> choice;  // the index of the chosen button; none when SDL named no button of the list
  std::string error;
};

// Shows the box and waits until it is closed.
MessageBoxOutcome showMessageBox(const MessageBoxRequest& request);
