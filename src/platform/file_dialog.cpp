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
  } else if (files[0] == nullptr) {
    outcome.result = FileDialogResult::Cancelled;
  } else {
    outcome.result = FileDialogResult::Okay;
    outcome.path = files[0];
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

}  // namespace

FileDialogOutcome fileDialogOpen(const std::vector<FileDialogFilter>& filters, const std::string& defaultPath,
                                 SDL_Window* parent) {
  std::vector<std::string> patterns;
  patterns.reserve(filters.size());
  std::vector<SDL_DialogFileFilter> types;
  types.reserve(filters.size() + 1);
  for (const FileDialogFilter& filter : filters) {
    patterns.push_back(fileDialogPattern(filter.extensions));
    // SDL would read before the start of an empty pattern; its own words for the refusal.
    if (patterns.back().empty())
      return {FileDialogResult::Error, {}, "Invalid dialog file filters: Empty pattern not allowed"};
    types.push_back({filter.name.c_str(), patterns.back().c_str()});
  }
  types.push_back({"All files", "*"});

  const PropertySet properties;
  const SDL_PropertiesID id = properties.id();
  if (id == 0) return {FileDialogResult::Error, {}, SDL_GetError()};
  SDL_SetPointerProperty(id, SDL_PROP_FILE_DIALOG_FILTERS_POINTER, types.data());
  SDL_SetNumberProperty(id, SDL_PROP_FILE_DIALOG_NFILTERS_NUMBER, static_cast<Sint64>(types.size()));
  SDL_SetBooleanProperty(id, SDL_PROP_FILE_DIALOG_MANY_BOOLEAN, false);
  if (parent != nullptr) SDL_SetPointerProperty(id, SDL_PROP_FILE_DIALOG_WINDOW_POINTER, parent);
  if (!defaultPath.empty()) SDL_SetStringProperty(id, SDL_PROP_FILE_DIALOG_LOCATION_STRING, defaultPath.c_str());

  PendingChoice pending;
  dialogBackend().showFileDialog(SDL_FILEDIALOG_OPENFILE, onDialogAnswer, &pending, id);
  std::unique_lock<std::mutex> lock(pending.mutex);
  while (!pending.answered.wait_for(lock, kPumpInterval, [&] { return pending.done; })) {
    lock.unlock();
    SDL_PumpEvents();
    lock.lock();
  }
  return std::move(pending.outcome);
}
