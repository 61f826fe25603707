// A mouse backend that records what would be asked of SDL. Headless drivers have neither capture nor system
// cursors; this one hands out distinct cursor tokens and answers capture requests as told.
#pragma once

#include <SDL3/SDL_mouse.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "ui/mouse_backend.h"

class FakeMouseBackend : public MouseBackend {
 public:
  struct Cursor {
    bool system = false;
    SDL_SystemCursor systemId = SDL_SYSTEM_CURSOR_DEFAULT;
    int width = 0, height = 0, hotX = 0, hotY = 0;
    bool destroyed = false;
  };

  FakeMouseBackend() { installMouseBackend(this); }
  ~FakeMouseBackend() override { installMouseBackend(nullptr); }
  FakeMouseBackend(const FakeMouseBackend&) = delete;
  FakeMouseBackend& operator=(const FakeMouseBackend&) = delete;

  bool captureMouse(bool enabled) override {
    if (onCapture) onCapture(enabled);
    captureCalls.push_back(enabled);
    return captureAnswer;
  }
  SDL_Cursor* createSystemCursor(SDL_SystemCursor id) override {
    Cursor made;
    made.system = true;
    made.systemId = id;
    return remember(made);
  }
  SDL_Cursor* createColorCursor(SDL_Surface* surface, int hotX, int hotY) override {
    if (!colorCursors) return nullptr;
    return remember(Cursor{false, SDL_SYSTEM_CURSOR_DEFAULT, surface->w, surface->h, hotX, hotY, false});
  }
  bool setCursor(SDL_Cursor* cursor) override {
    current = cursor;
    ++setCursorCalls;
    return true;
  }
  void destroyCursor(SDL_Cursor* cursor) override { cursorOf(cursor).destroyed = true; }

  Cursor& cursorOf(SDL_Cursor* token) {
    return cursors.at(static_cast<size_t>(reinterpret_cast<uintptr_t>(token)) - 1);
  }

  std::deque<Cursor> cursors;  // token n names cursors[n - 1]
  std::vector<bool> captureCalls;
  std::function<void(bool)> onCapture;
  bool captureAnswer = true;
  bool colorCursors = true;
  SDL_Cursor* current = nullptr;
  int setCursorCalls = 0;

 private:
  SDL_Cursor* remember(const Cursor& made) {
    cursors.push_back(made);
    return reinterpret_cast<SDL_Cursor*>(static_cast<uintptr_t>(cursors.size()));
  }
};
