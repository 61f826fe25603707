// How much clipboard text the display can be handed. An X server takes the whole text of a paste in one
// request and refuses a larger one with an error that ends the process, so text beyond its maximum request
// must never be offered; other video drivers keep the text in the process and set no limit.
#pragma once

#include <SDL3/SDL_video.h>

#include <cstddef>
#include <optional>

// The most bytes of text the display of `window` can take in one reply, or nullopt when there is no limit.
std::optional<size_t> clipboardTextLimit(SDL_Window* window);
