// Names become SDL button data with the Return and Escape flags on the first button of each name; SDL's
// answer becomes an index into the list again.
#include "platform/message_box.h"

#include "platform/dialog_backend.h"
#include "platform/sdl_error.h"

namespace {

// The index of the first button called name; none when name is absent or no button has it.
std::optional<size_t> firstNamed(const std::vector<std::string>& buttons, const std::optional<std::string>& name) {
  if (!name) return {};
  for (size_t i = 0; i < buttons.size(); ++i) {
    if (buttons[i] == *name) return i;
  }
  return {};
}

// SDL's button data: button i has id i and its name as text (pointing into request.buttons).
std::vector<SDL_MessageBoxButtonData> messageBoxButtons(const MessageBoxRequest& request) {
  const std::optional<size_t> returnIndex = firstNamed(request.buttons, request.returnName);
  const std::optional<size_t> escapeIndex = firstNamed(request.buttons, request.escapeName);
  std::vector<SDL_MessageBoxButtonData> buttons(request.buttons.size());
  for (size_t i = 0; i < buttons.size(); ++i) {
    buttons[i].buttonID = static_cast<int>(i);
    buttons[i].text = request.buttons[i].c_str();
    if (returnIndex == i) buttons[i].flags |= SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT;
    if (escapeIndex == i) buttons[i].flags |= SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;
  }
  return buttons;
}

}  // namespace

MessageBoxOutcome showMessageBox(const MessageBoxRequest& request) {
  const std::vector<SDL_MessageBoxButtonData> buttons = messageBoxButtons(request);
  SDL_MessageBoxData data = {};
  data.flags = request.kind;
  data.window = request.owner;
  data.title = request.title.c_str();
  data.message = request.message.c_str();
  data.numbuttons = static_cast<int>(buttons.size());
  data.buttons = buttons.data();
  int chosen = -1;
  MessageBoxOutcome outcome;
  SDL_ClearError();  // a text left by an earlier failure is not this box's
  if (!dialogBackend().showMessageBox(data, &chosen)) {
    outcome.error = sdlFailureText("SDL_ShowMessageBox");
    return outcome;
  }
  outcome.shown = true;
  if (chosen >= 0 && static_cast<size_t>(chosen) < buttons.size()) outcome.choice = static_cast<size_t>(chosen);
  return outcome;
}
