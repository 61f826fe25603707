// What the UI host and the system module ask of SDL's mouse: capture and cursors. Headless video drivers
// have neither, so tests install a backend of their own to see what would have been asked.
#pragma once

#include <SDL3/SDL_mouse.h>
#include <SDL3/SDL_surface.h>

class MouseBackend {
 public:
  virtual ~MouseBackend() = default;
  virtual bool captureMouse(bool enabled);
  virtual SDL_Cursor* createSystemCursor(SDL_SystemCursor id);
  virtual SDL_Cursor* createColorCursor(SDL_Surface* surface, int hotX, int hotY);
  virtual bool setCursor(SDL_Cursor* cursor);
  virtual void destroyCursor(SDL_Cursor* cursor);
};

// The backend in use: SDL's own unless a test installed another.
MouseBackend& mouseBackend();
// Installs `backend` (not owned; null restores SDL's). Cursors are destroyed by the backend that made them,
// so a test installs its backend before the registry that caches cursors exists and removes it after.
void installMouseBackend(MouseBackend* backend);
