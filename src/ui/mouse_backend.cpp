// SDL's mouse behind the backend interface.
#include "ui/mouse_backend.h"

namespace {

MouseBackend sdlMouse;
MouseBackend* installedMouse = &sdlMouse;

}  // namespace

bool MouseBackend::captureMouse(bool enabled) { return SDL_CaptureMouse(enabled); }
SDL_Cursor* MouseBackend::createSystemCursor(SDL_SystemCursor id) { return SDL_CreateSystemCursor(id); }
SDL_Cursor* MouseBackend::createColorCursor(SDL_Surface* surface, int hotX, int hotY) {
  return SDL_CreateColorCursor(surface, hotX, hotY);
}
bool MouseBackend::setCursor(SDL_Cursor* cursor) { return SDL_SetCursor(cursor); }
void MouseBackend::destroyCursor(SDL_Cursor* cursor) { SDL_DestroyCursor(cursor); }

MouseBackend& mouseBackend() { return *installedMouse; }

void installMouseBackend(MouseBackend* backend) { installedMouse = backend != nullptr ? backend : &sdlMouse; }
