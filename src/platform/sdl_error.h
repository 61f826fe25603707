// The message of an SDL call that failed: SDL's own text, or "<call> failed" when SDL left none, since some
// SDL calls fail without setting one.
#pragma once

#include <SDL3/SDL_error.h>

#include <string>

inline std::string sdlFailureText(const char* call) {
  const char* text = SDL_GetError();
  if (text != nullptr && *text != '\0') return text;
  return std::string(call) + " failed";
}
