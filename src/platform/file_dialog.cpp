// SDL answers through a callback that may run on another thread, now or later; the caller waits on a
// condition variable in 10 ms steps and pumps SDL's events between them. The callback records its answer and
// signals while holding the lock, so the waiter cannot return (and free the record) before it is done.
#include "platform/file_dialog.h"

#include <SDL3/SDL_error.h>
#include <SDL3/SDL_events.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string_view>

#include "platform/dialog_backend.h"
#include "platform/sdl_properties.h"

namespace {

constexpr auto kPumpInterval = std::chrono::milliseconds(10);

struct PendingChoice {
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  FileDialogOutcome outcome;
};

FileDialogOutcome outcomeOf(const char* const* files) {
  FileDialogOutcome outcome;
  if (files == nullptr) {
    outcome.result = FileDialogResult::Error;
    outcome.error = SDL_GetError();  // SDL's error is per thread: read it on the thread that failed
  } else {
    // An empty path is never a choice: SDL's zenity chooser reports a cancel as one.
    for (const char* const* file = files; *file != nullptr; ++file) {
      if (**file != '\0') outcome.paths.emplace_back(*file);
    }
    outcome.result = outcome.paths.empty() ? FileDialogResult::Cancelled : FileDialogResult::Okay;
  }
  return outcome;
}

void SDLCALL onDialogAnswer(void* userdata, const char* const* files, int /*filter*/) {
  auto* pending = static_cast<PendingChoice*>(userdata);
  FileDialogOutcome outcome;
  try {
    outcome = outcomeOf(files);
  } catch (const std::bad_alloc&) {
    outcome = {FileDialogResult::Error, {}, {}};
  }
  const std::lock_guard<std::mutex> lock(pending->mutex);
  pending->outcome = std::move(outcome);
  pending->done = true;
  pending->answered.notify_one();
}

constexpr std::string_view kBlanks = " \t";

// SDL's pattern for a comma-separated list of extensions: the same separated by ";", without the blanks
// around each extension or empty entries, neither of which SDL accepts. Empty when no extension is left.
std::string fileDialogPattern(std::string_view extensions) {
  std::string pattern;
  while (!extensions.empty()) {
    const size_t comma = extensions.find(',');
    std::string_view extension = extensions.substr(0, comma);
    extensions = comma == std::string_view::npos ? std::string_view() : extensions.substr(comma + 1);
    const size_t first = extension.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) continue;
    extension = extension.substr(first, extension.find_last_not_of(kBlanks) + 1 - first);
    if (!pattern.empty()) pattern += ';';
    pattern += extension;
  }
  return pattern;
}

// Where SDL starts the chooser: inside the default folder (given with a final slash, since a chooser shows a
// folder named without one selected in its parent), or for a proposed name the file of that name there (the
// name alone, which the chooser takes in the working directory, when there is no folder).
std::string chooserLocation(const FileDialogOptions& options, SDL_FileDialogType type) {
  std::string folder = options.defaultPath;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  if (type != SDL_FILEDIALOG_SAVEFILE) return folder;
  return folder + options.defaultName;
}

void setTextProperty(SDL_PropertiesID id, const char* name, const std::string& text) {
  if (!text.empty()) SDL_SetStringProperty(id, name, text.c_str());
}

FileDialogOutcome showFileDialog(const FileDialogOptions& options, SDL_FileDialogType type, bool many) {
  std::vector<std::string> patterns;
  std::vector<SDL_DialogFileFilter> types;
  if (type != SDL_FILEDIALOG_OPENFOLDER) {
    patterns.reserve(options.filters.size());
    types.reserve(options.filters.size() + 1);
    for (const FileDialogFilter& filter : options.filters) {
      patterns.push_back(fileDialogPattern(filter.extensions));
      // SDL would read before the start of an empty pattern; its own words for the refusal.
      if (patterns.back().empty()) {
        return {FileDialogResult::Error, {}, "Invalid dialog file filters: Empty pattern not allowed"};
      }
      types.push_back({filter.name.c_str(), patterns.back().c_str()});
    }
    // SDL's choosers read "*" as names with a dot: a dialog without file types of its own sets none.
    if (!types.empty()) types.push_back({"All files", "*"});
  }

  const PropertySet properties;
  const SDL_PropertiesID id = properties.id();
  if (id == 0) return {FileDialogResult::Error, {}, SDL_GetError()};
  if (!types.empty()) {
    SDL_SetPointerProperty(id, SDL_PROP_FILE_DIALOG_FILTERS_POINTER, types.data());
    SDL_SetNumberProperty(id, SDL_PROP_FILE_DIALOG_NFILTERS_NUMBER, static_cast<Sint64>(types.size()));
  }
  if (type != SDL_FILEDIALOG_SAVEFILE) SDL_SetBooleanProperty(id, SDL_PROP_FILE_DIALOG_MANY_BOOLEAN, many);
  if (options.parent != nullptr) SDL_SetPointerProperty(id, SDL_PROP_FILE_DIALOG_WINDOW_POINTER, options.parent);
  setTextProperty(id, SDL_PROP_FILE_DIALOG_LOCATION_STRING, chooserLocation(options, type));
  setTextProperty(id, SDL_PROP_FILE_DIALOG_TITLE_STRING, options.title);

  PendingChoice pending;
  dialogBackend().showFileDialog(type, onDialogAnswer, &pending, id);
  std::unique_lock<std::mutex> lock(pending.mutex);
  while (!pending.answered.wait_for(lock, kPumpInterval, [&] { return pending.done; })) {
    lock.unlock();
    SDL_PumpEvents();
    lock.lock();
  }
  if (!many && pending.outcome.paths.size() > 1) pending.outcome.paths.resize(1);
  return std::move(pending.outcome);
}

}  // namespace

FileDialogOutcome fileDialogOpen(const FileDialogOptions& options) {
  return showFileDialog(options, SDL_FILEDIALOG_OPENFILE, false);
}

FileDialogOutcome fileDialogOpenMultiple(const FileDialogOptions& options) {
  return showFileDialog(options, SDL_FILEDIALOG_OPENFILE, true);
}

FileDialogOutcome fileDialogSave(const FileDialogOptions& options) {
  return showFileDialog(options, SDL_FILEDIALOG_SAVEFILE, false);
}

FileDialogOutcome fileDialogPickFolder(const FileDialogOptions& options) {
  return showFileDialog(options, SDL_FILEDIALOG_OPENFOLDER, false);
}

FileDialogOutcome fileDialogPickFolders(const FileDialogOptions& options) {
  return showFileDialog(options, SDL_FILEDIALOG_OPENFOLDER, true);
}
