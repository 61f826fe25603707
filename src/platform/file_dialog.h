// The open-one-file dialog of the desktop, through SDL's file chooser, waited for on the calling thread.
#pragma once

#include <SDL3/SDL_video.h>

#include <string>
#include <vector>

// A file type of the dialog: a name shown to the user and a comma-separated list of extensions without dots
// ("lua,txt").
struct FileDialogFilter {
  std::string name;
  std::string extensions;
};

enum class FileDialogResult { Error = 0, Okay = 1, Cancelled = 2 };

struct FileDialogOutcome {
  FileDialogResult result = FileDialogResult::Error;
  std::string path;   // the chosen file, when Okay
  std::string error;  // SDL's message, when Error (may be empty)
};

// Shows the dialog with the filters and a last "All files" type, starting in defaultPath when it is not
// empty, modal for parent when there is one; returns once the user chose, cancelled or the chooser failed.
// SDL's events are pumped while it waits, since some choosers answer through them.
FileDialogOutcome fileDialogOpen(const std::vector<FileDialogFilter>& filters, const std::string& defaultPath,
                                 SDL_Window* parent);
