// What the dialogs ask of SDL: message boxes and file choosers. Both block on or wait for a user, so tests
// install a backend of their own that sees SDL's data and answers as told.
#pragma once

#include <SDL3/SDL_dialog.h>
#include <SDL3/SDL_messagebox.h>
#include <SDL3/SDL_properties.h>

class DialogBackend {
 public:
  virtual ~DialogBackend() = default;
  // SDL_ShowMessageBox: false when the box could not be shown (SDL_GetError says why).
  virtual bool showMessageBox(const SDL_MessageBoxData& data, int* buttonId);
  // SDL_ShowFileDialogWithProperties: callback runs once, on this thread or another, now or later.
  virtual void showFileDialog(SDL_FileDialogType type, SDL_DialogFileCallback callback, void* userdata,
                              SDL_PropertiesID properties);
};

// The backend in use: SDL's own unless a test installed another.
DialogBackend& dialogBackend();
// Installs `backend` (not owned; null restores SDL's).
void installDialogBackend(DialogBackend* backend);
