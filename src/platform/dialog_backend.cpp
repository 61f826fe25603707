// SDL's dialogs behind the backend interface.
#include "platform/dialog_backend.h"

namespace {

DialogBackend sdlDialogs;
DialogBackend* installedDialogs = &sdlDialogs;

}  // namespace

bool DialogBackend::showMessageBox(const SDL_MessageBoxData& data, int* buttonId) {
  return SDL_ShowMessageBox(&data, buttonId);
}

void DialogBackend::showFileDialog(SDL_FileDialogType type, SDL_DialogFileCallback callback, void* userdata,
                                   SDL_PropertiesID properties) {
  SDL_ShowFileDialogWithProperties(type, callback, userdata, properties);
}

DialogBackend& dialogBackend() { return *installedDialogs; }

void installDialogBackend(DialogBackend* backend) { installedDialogs = backend != nullptr ? backend : &sdlDialogs; }
