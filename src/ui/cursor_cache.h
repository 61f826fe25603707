// The pointer cursors of the process, each made once on first use and kept until the window registry that
// owns the cache goes: SDL's system cursors and the two hand cursors (open and closed) drawn here.
#pragma once

#include <SDL3/SDL_mouse.h>

#include <array>
#include <cstdint>
#include <memory>

enum class HandCursor { Open, Closed };

inline constexpr int kHandCursorSize = 32;
inline constexpr int kHandCursorHotSpot = 15;
// 32 x 32 pixels, row after row, 0xAARRGGBB: black outline, white inside, transparent elsewhere.
using HandCursorPixels = std::array<uint32_t, kHandCursorSize * kHandCursorSize>;
HandCursorPixels handCursorPixels(HandCursor shape);

class CursorCache {
 public:
  // Null when SDL cannot make the cursor; a later call tries again.
  SDL_Cursor* systemCursor(SDL_SystemCursor id);
  SDL_Cursor* handCursor(HandCursor shape);

 private:
  struct CursorDeleter {
    void operator()(SDL_Cursor* cursor) const;
  };
  using CursorHandle = std::unique_ptr<SDL_Cursor, CursorDeleter>;

  std::array<CursorHandle, SDL_SYSTEM_CURSOR_COUNT> systemCursors_;
  std::array<CursorHandle, 2> handCursors_;
};
