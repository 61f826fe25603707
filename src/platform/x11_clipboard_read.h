// Reading the X clipboard on a connection of qz's own. SDL's own reading, when the owner has not answered
// within a second, makes SDL the owner of an empty clipboard, and the real owner's text is gone for every
// program; a read here that fails changes no ownership, and on X11 a read never falls back to SDL's.
#pragma once

#include <SDL3/SDL_video.h>

#include <optional>
#include <string>

struct ClipboardText {
  bool read = false;  // false: `text` is the reason ("Selection timeout" when the owner did not answer)
  std::string text;
};

// The clipboard's UTF-8 text on the display of `window` (its default display when null): "" when nobody
// owns the clipboard or the owner offers no text. Text offered only as STRING is Latin-1, returned as UTF-8.
// A failure when the owner does not answer a step within a second or the whole text in time, sends more
// than 1 GiB or part of it in another format, when the answer cannot be read, or when no connection to the
// X server can be made. Nothing when the video driver is not x11: SDL is the one to ask then. SDL's events
// are pumped while the owner is awaited, so that qz answers when it owns the clipboard itself.
std::optional<ClipboardText> readX11ClipboardText(SDL_Window* window);
