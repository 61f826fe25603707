// Native text input of a window (the platform's IME through SDL): started with the wanted properties, stopped,
// and placed with an area given in logical units and converted to window coordinates.
#include <SDL3/SDL_keyboard.h>

#include <algorithm>

#include "platform/sdl_error.h"
#include "platform/sdl_properties.h"
#include "ui/scaled_rounding.h"
#include "ui/window_registry.h"

namespace {

bool sameInput(const TextInputSpec& a, const TextInputSpec& b) {
  return a.type == b.type && a.capitalization == b.capitalization && a.autocorrect == b.autocorrect &&
         a.multiline == b.multiline;
}

bool setTextInputProperties(SDL_PropertiesID props, const TextInputSpec& input) {
  const int64_t type = input.type >= 1 && input.type <= 8 ? input.type : 0;
  if (!SDL_SetNumberProperty(props, SDL_PROP_TEXTINPUT_TYPE_NUMBER, type)) return false;
  if (input.capitalization >= 1 && input.capitalization <= 4 &&
      !SDL_SetNumberProperty(props, SDL_PROP_TEXTINPUT_CAPITALIZATION_NUMBER, input.capitalization - 1)) {
    return false;
  }
  return SDL_SetBooleanProperty(props, SDL_PROP_TEXTINPUT_AUTOCORRECT_BOOLEAN, input.autocorrect) &&
         SDL_SetBooleanProperty(props, SDL_PROP_TEXTINPUT_MULTILINE_BOOLEAN, input.multiline);
}

bool applyArea(NativeWindow& window, const TextInputArea& area) {
  const TextInputArea rect = scaleTextInputRect(window.metrics().displayScale, window.metrics().pixelDensity, area);
  const SDL_Rect sdlRect{rect.x, rect.y, rect.width, rect.height};
  return SDL_SetTextInputArea(window.sdlWindow(), &sdlRect, rect.cursor);
}

}  // namespace

TextInputArea scaleTextInputRect(double displayScale, double pixelDensity, const TextInputArea& area) {
  // Multiplied first, divided last: an edge that lands exactly on a half is rounded from the exact half.
  const auto scaled = [&](int64_t value) {
    return nearestInt32(static_cast<long double>(value) * displayScale / pixelDensity);
  };
  const int32_t x = scaled(area.x);
  const int32_t y = scaled(area.y);
  const int32_t right = scaled(int64_t{area.x} + area.width);
  const int32_t bottom = scaled(int64_t{area.y} + area.height);
  const int32_t cursorEdge = scaled(int64_t{area.x} + area.cursor);
  TextInputArea rect{x, y, 0, 0, 0};
  rect.width = static_cast<int32_t>(std::clamp<int64_t>(int64_t{right} - x, 1, 2147483647));
  rect.height = static_cast<int32_t>(std::clamp<int64_t>(int64_t{bottom} - y, 1, 2147483647));
  rect.cursor = static_cast<int32_t>(std::clamp<int64_t>(int64_t{cursorEdge} - x, 0, rect.width));
  return rect;
}

bool WindowRegistry::setTextInput(uint64_t id, const std::optional<TextInputSpec>& input, std::string& error) {
  error.clear();
  if (!exists(id)) {
    error = "window does not exist";
    return false;
  }
  NativeWindow& target = window(id);
  TextInputSpec& current = target.textInput();
  const bool wanted = input && input->present;
  if (!wanted && !current.present) return true;
  if (wanted && current.present && sameInput(*input, current)) return true;

  SDL_ClearError();  // a text left by an earlier failure is not this change's
  if (current.present) {
    if (!SDL_ClearComposition(target.sdlWindow()) || !SDL_StopTextInput(target.sdlWindow())) {
      error = sdlFailureText("SDL_StopTextInput");
      return false;
    }
    current.present = false;
    if (!wanted) return true;
  }

  const PropertySet props;
  if (props.id() == 0 || !setTextInputProperties(props.id(), *input) ||
      !SDL_StartTextInputWithProperties(target.sdlWindow(), props.id())) {
    error = sdlFailureText("SDL_StartTextInputWithProperties");
    return false;
  }

  current = *input;
  if (target.textInputArea() && !applyArea(target, *target.textInputArea())) {
    error = sdlFailureText("SDL_SetTextInputArea");
    SDL_StopTextInput(target.sdlWindow());
    current.present = false;
    return false;
  }
  return true;
}

bool WindowRegistry::setTextInputArea(uint64_t id, const std::optional<TextInputArea>& area, std::string& error) {
  error.clear();
  if (!exists(id)) {
    error = "window does not exist";
    return false;
  }
  NativeWindow& target = window(id);
  const bool inputOn = target.textInput().present;
  SDL_ClearError();  // a text left by an earlier failure is not this change's
  if (!area) {
    if (inputOn &&
        !(SDL_ClearComposition(target.sdlWindow()) && SDL_SetTextInputArea(target.sdlWindow(), nullptr, 0))) {
      error = sdlFailureText("SDL_SetTextInputArea");
      return false;
    }
    target.textInputArea().reset();
    return true;
  }
  if (target.textInputArea() == area) return true;
  if (area->width < 1 || area->height < 1 || area->cursor < 0 || area->cursor > area->width) {
    error = "text input area and cursor must stay inside a positive rectangle";
    return false;
  }
  if (inputOn && !applyArea(target, *area)) {
    error = sdlFailureText("SDL_SetTextInputArea");
    return false;
  }
  target.textInputArea() = area;
  return true;
}

void WindowRegistry::refreshTextInputArea(uint64_t id) {
  if (!exists(id)) return;
  NativeWindow& target = window(id);
  const WindowMetrics before = target.metrics();
  if (!target.updateDisplayScale() || target.metrics() == before) return;
  if (target.textInput().present && target.textInputArea()) applyArea(target, *target.textInputArea());
}
