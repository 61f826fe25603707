// SDL's dialogs behind the backend interface.
#include "platform/dialog_backend.h"

#include <SDL3/SDL_error.h>

#include <optional>
#include <string>

#include "platform/dialog_helper_probe.h"

namespace {

DialogBackend sdlDialogs;
DialogBackend* installedDialogs = &sdlDialogs;

}  // namespace

bool DialogBackend::showMessageBox(const SDL_MessageBoxData& data, int* buttonId) {
  return SDL_ShowMessageBox(&data, buttonId);
}

void DialogBackend::showFileDialog(SDL_FileDialogType type, SDL_DialogFileCallback callback, void* userdata,
                                   SDL_PropertiesID properties) {
  if (const std::optional<std::string> failure = probeDialogHelper()) {
    SDL_SetError("%s", failure->c_str());
    callback(userdata, nullptr, -1);
    return;
  }
  SDL_ShowFileDialogWithProperties(type, callback, userdata, properties);
}

DialogBackend& dialogBackend() { return *installedDialogs; }

void installDialogBackend(DialogBackend* backend) { installedDialogs = backend != nullptr ? backend : &sdlDialogs; }
