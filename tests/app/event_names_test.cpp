#include "app/event_names.h"

#include <gtest/gtest.h>

#include <array>

namespace {

TEST(ModifierText, NamesCtrlAltAltgrAndShiftInFixedOrder) {
  EXPECT_EQ(modifierText(0), "");
  EXPECT_EQ(modifierText(SDL_KMOD_LCTRL | SDL_KMOD_LSHIFT), "ctrl+shift");
  EXPECT_EQ(modifierText(SDL_KMOD_RCTRL | SDL_KMOD_LALT), "ctrl+alt");
  EXPECT_EQ(modifierText(SDL_KMOD_LALT | SDL_KMOD_RSHIFT), "alt+shift");
  EXPECT_EQ(modifierText(SDL_KMOD_LCTRL | SDL_KMOD_RALT), "altgr") << "right Alt hides Control";
  EXPECT_EQ(modifierText(SDL_KMOD_LALT | SDL_KMOD_RALT), "alt+altgr");
  EXPECT_EQ(modifierText(SDL_KMOD_RALT | SDL_KMOD_LSHIFT), "altgr+shift");
  EXPECT_EQ(modifierText(SDL_KMOD_GUI | SDL_KMOD_NUM | SDL_KMOD_CAPS), "") << "GUI and lock keys are never named";
}

TEST(KeyName, IsSdlsNameInLowerCaseOrTheScancodeNameForKeyZero) {
  EXPECT_EQ(keyNameOf(SDLK_A, SDL_SCANCODE_A), "a");
  EXPECT_EQ(keyNameOf(SDLK_RETURN, SDL_SCANCODE_RETURN), "return");
  EXPECT_EQ(keyNameOf(SDLK_LEFT, SDL_SCANCODE_LEFT), "left");
  EXPECT_EQ(keyNameOf(0, SDL_SCANCODE_F5), "f5");
  EXPECT_EQ(keyNameOf(0xFFFD, SDL_SCANCODE_PAGEUP), "pageup");
  EXPECT_EQ(keyNameOf(0, SDL_SCANCODE_UNKNOWN), "");
}

class KeyState {
 public:
  KeyState& hold(SDL_Scancode key) {
    keys_[key] = true;
    return *this;
  }
  const bool* data() const { return keys_.data(); }

 private:
  std::array<bool, SDL_SCANCODE_COUNT> keys_{};
};

TEST(PhysicalModifiers, RightAltWinsOverControl) {
  EXPECT_EQ(physicalModifiers(KeyState().data()), 0);
  EXPECT_EQ(physicalModifiers(KeyState().hold(SDL_SCANCODE_RALT).hold(SDL_SCANCODE_LCTRL).data()), SDL_KMOD_RALT);
  EXPECT_EQ(physicalModifiers(KeyState().hold(SDL_SCANCODE_RALT).hold(SDL_SCANCODE_LALT).data()),
            SDL_KMOD_RALT | SDL_KMOD_LALT);
  EXPECT_EQ(physicalModifiers(KeyState().hold(SDL_SCANCODE_RCTRL).data()), SDL_KMOD_CTRL);
  EXPECT_EQ(physicalModifiers(KeyState().hold(SDL_SCANCODE_LCTRL).hold(SDL_SCANCODE_LALT).data()),
            SDL_KMOD_CTRL | SDL_KMOD_ALT);
  EXPECT_EQ(physicalModifiers(KeyState().hold(SDL_SCANCODE_LALT).data()), SDL_KMOD_ALT);
  EXPECT_EQ(physicalModifiers(KeyState().hold(SDL_SCANCODE_RSHIFT).hold(SDL_SCANCODE_RALT).data()),
            SDL_KMOD_SHIFT | SDL_KMOD_RALT);
}

TEST(StartupModifiers, CountOnceForTheFirstOrdinaryKeyWhileStillHeld) {
  const KeyState control = KeyState().hold(SDL_SCANCODE_LCTRL);
  uint16_t pending = SDL_KMOD_CTRL | SDL_KMOD_SHIFT;
  EXPECT_EQ(withStartupModifiers(SDLK_LCTRL, 0, pending, control.data()), 0) << "a modifier key itself";
  EXPECT_EQ(pending, SDL_KMOD_CTRL | SDL_KMOD_SHIFT);
  EXPECT_EQ(modifierText(withStartupModifiers(SDLK_A, 0, pending, control.data())), "ctrl")
      << "shift was released meanwhile";
  EXPECT_EQ(pending, 0);
  EXPECT_EQ(withStartupModifiers(SDLK_A, SDL_KMOD_LALT, pending, control.data()), SDL_KMOD_LALT);
}

}  // namespace
