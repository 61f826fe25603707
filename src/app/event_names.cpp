// Key names, modifier texts, button and window-mode names.
#include "app/event_names.h"

#include <array>

std::string keyNameOf(SDL_Keycode key, SDL_Scancode scancode) {
  const char* name = key != 0 && key != 0xFFFD ? SDL_GetKeyName(key) : SDL_GetScancodeName(scancode);
  std::string lowered = name != nullptr ? name : "";
  for (char& byte : lowered) {
    if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
  }
  return lowered;
}

std::string_view modifierText(uint16_t mask) {
  // Rows: nothing, ctrl, alt, ctrl+alt, altgr, alt+altgr; columns: without and with shift.
  static constexpr std::array<std::array<std::string_view, 2>, 6> kTexts = {{
      {"", "shift"},
      {"ctrl", "ctrl+shift"},
      {"alt", "alt+shift"},
      {"ctrl+alt", "ctrl+alt+shift"},
      {"altgr", "altgr+shift"},
      {"alt+altgr", "alt+altgr+shift"},
  }};
  size_t row = 0;
  if ((mask & SDL_KMOD_RALT) != 0) {
    row = (mask & SDL_KMOD_LALT) != 0 ? 5 : 4;
  } else {
    row = ((mask & SDL_KMOD_CTRL) != 0 ? 1 : 0) + ((mask & SDL_KMOD_LALT) != 0 ? 2 : 0);
  }
  return kTexts[row][(mask & SDL_KMOD_SHIFT) != 0 ? 1 : 0];
}

std::string_view buttonName(uint8_t button) {
  static constexpr std::array<std::string_view, 5> kNames = {"left", "middle", "right", "x1", "x2"};
  return button >= 1 && button <= kNames.size() ? kNames[button - 1] : "?";
}

std::string_view windowModeName(SDL_WindowFlags flags) {
  if ((flags & SDL_WINDOW_MINIMIZED) != 0) return "minimized";
  if ((flags & SDL_WINDOW_FULLSCREEN) != 0) return "fullscreen";
  if ((flags & SDL_WINDOW_MAXIMIZED) != 0) return "maximized";
  return "normal";
}

uint16_t physicalModifiers(const bool* keyState) {
  const bool anyAlt = keyState[SDL_SCANCODE_LALT] || keyState[SDL_SCANCODE_RALT];
  const bool anyControl = keyState[SDL_SCANCODE_LCTRL] || keyState[SDL_SCANCODE_RCTRL];
  const bool anyShift = keyState[SDL_SCANCODE_LSHIFT] || keyState[SDL_SCANCODE_RSHIFT];
  uint16_t mask = 0;
  if (keyState[SDL_SCANCODE_RALT]) {
    mask = SDL_KMOD_RALT | (keyState[SDL_SCANCODE_LALT] ? SDL_KMOD_LALT : 0);
  } else if (anyControl) {
    mask = SDL_KMOD_CTRL | (anyAlt ? SDL_KMOD_ALT : 0);
  } else if (anyAlt) {
    mask = SDL_KMOD_ALT;
  }
  if (anyShift) mask |= SDL_KMOD_SHIFT;
  return mask;
}

uint16_t withStartupModifiers(SDL_Keycode key, uint16_t modifiers, uint16_t& pending, const bool* keyState) {
  const bool isModifierKey = key == SDLK_LCTRL || key == SDLK_RCTRL || key == SDLK_LSHIFT || key == SDLK_RSHIFT ||
                             key == SDLK_LALT || key == SDLK_RALT;
  if (isModifierKey || pending == 0) return modifiers;
  const uint16_t held = physicalModifiers(keyState) & pending;
  pending = 0;
  return modifiers | held;
}
