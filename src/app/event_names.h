// The texts that native events carry to the scripts: key names, modifier texts, button names and window
// modes, and the modifier mask of the keys physically held.
#pragma once

#include <SDL3/SDL_keyboard.h>
#include <SDL3/SDL_video.h>

#include <cstdint>
#include <string>
#include <string_view>

// SDL's name of the key, or of the scancode when the key code is 0 or 0xFFFD; ASCII letters in lower case.
std::string keyNameOf(SDL_Keycode key, SDL_Scancode scancode);

// "ctrl", "alt", "altgr" and "shift" joined with "+": right Alt reads as "altgr" (after "alt" when left Alt
// is held too) and hides Control; the GUI keys are never named; no modifier gives "".
std::string_view modifierText(uint16_t mask);

// "left", "middle", "right", "x1", "x2", else "?".
std::string_view buttonName(uint8_t button);

// "minimized", else "fullscreen", else "maximized", else "normal".
std::string_view windowModeName(SDL_WindowFlags flags);

// The modifier mask of the keys held in SDL's key state array: right Alt gives RALT (with LALT when left
// Alt is held as well); else Control gives both CTRL bits (with both ALT bits when an Alt is held); else an
// Alt gives both ALT bits; Shift adds both SHIFT bits in every case.
uint16_t physicalModifiers(const bool* keyState);

// The modifiers of a main-window key-down: when the key is not itself a Control, Shift or Alt key and
// modifiers were held at start-up (`pending`), those still held now are added, once: `pending` becomes 0.
uint16_t withStartupModifiers(SDL_Keycode key, uint16_t modifiers, uint16_t& pending, const bool* keyState);
