// The file dialogs of the desktop, through SDL's file chooser, each waited for on the calling thread: open
// one file or several, save a file, pick one folder or several.
#pragma once

#include <SDL3/SDL_video.h>

#include <string>
#include <vector>

// A file type of the dialog: a name shown to the user and a comma-separated list of extensions without dots
// ("lua,txt"; blanks around an extension are ignored).
struct FileDialogFilter {
  std::string name;
  std::string extensions;
};

// What a dialog shows. Only the open and save dialogs offer file types; only the save dialog offers a name.
// The buttons keep the chooser's own labels: this system's zenity refuses others and would fail the dialog.
struct FileDialogOptions {
  std::vector<FileDialogFilter> filters;  // when any, followed by a last "All files" type
  std::string defaultPath;                // the folder to start in, when not empty
  std::string defaultName;                // the file name the save dialog proposes, when not empty
  SDL_Window* parent = nullptr;           // the window the dialog is modal for, when there is one
  std::string title;                      // the chooser's own when empty
};

enum class FileDialogResult { Error = 0, Okay = 1, Cancelled = 2 };

struct FileDialogOutcome {
  FileDialogResult result = FileDialogResult::Error;
  std::vector<std::string> paths;  // when Okay: the chosen path, or every chosen path of the several-path dialogs
  std::string error;               // when Error: SDL's message or the filters' (may be empty)
};

// Each returns once the user chose, cancelled or the chooser failed. SDL's events are pumped while it waits,
// since some choosers answer through them.
FileDialogOutcome fileDialogOpen(const FileDialogOptions& options);
FileDialogOutcome fileDialogOpenMultiple(const FileDialogOptions& options);
FileDialogOutcome fileDialogSave(const FileDialogOptions& options);
FileDialogOutcome fileDialogPickFolder(const FileDialogOptions& options);
FileDialogOutcome fileDialogPickFolders(const FileDialogOptions& options);
