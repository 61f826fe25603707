// A dialog backend that records what would be asked of SDL's message boxes and file choosers, and answers
// as told: at once, or later from another thread as some choosers do.
#pragma once

#include <SDL3/SDL_error.h>
#include <SDL3/SDL_thread.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/dialog_backend.h"

class FakeDialogs : public DialogBackend {
 public:
  using Button = std::tuple<int, std::string, SDL_MessageBoxButtonFlags>;
  struct Box {
    SDL_MessageBoxFlags flags = 0;
    SDL_Window* window = nullptr;
    std::string title, message;
    std::vector<Button> buttons;
  };
  // A text property the chooser was not given reads "<none>".
  struct Chooser {
    SDL_FileDialogType type = SDL_FILEDIALOG_SAVEFILE;
    std::optional<std::vector<std::pair<std::string, std::string>>> filters;
    std::string location, title;
    void* window = nullptr;
    std::optional<bool> many;
  };
  enum class Answer { Choose, Cancel, Fail, FailSilently };

  FakeDialogs() { installDialogBackend(this); }
  ~FakeDialogs() override {
    if (worker.joinable()) worker.join();
    installDialogBackend(nullptr);
  }
  FakeDialogs(const FakeDialogs&) = delete;
  FakeDialogs& operator=(const FakeDialogs&) = delete;

  bool showMessageBox(const SDL_MessageBoxData& data, int* buttonId) override {
    Box box{data.flags, data.window, data.title, data.message, {}};
    for (int i = 0; i < data.numbuttons; ++i) {
      box.buttons.emplace_back(data.buttons[i].buttonID, data.buttons[i].text, data.buttons[i].flags);
    }
    boxes.push_back(box);
    if (boxAnswer == kFailBox) return SDL_SetError("no display for boxes");
    if (boxAnswer == kFailBoxSilently) return false;
    *buttonId = boxAnswer;
    return true;
  }

  void showFileDialog(SDL_FileDialogType type, SDL_DialogFileCallback callback, void* userdata,
                      SDL_PropertiesID properties) override {
    choosers.push_back(record(type, properties));
    const auto answer = [this, callback, userdata] {
      std::vector<const char*> chosen;
      for (const std::string& path : chosenPaths) chosen.push_back(path.c_str());
      chosen.push_back(nullptr);
      const char* none[] = {nullptr};
      switch (chooserAnswer) {
        case Answer::Choose:
          return callback(userdata, chosen.data(), 0);
        case Answer::Cancel:
          return callback(userdata, none, -1);
        case Answer::Fail:
          SDL_SetError("the chooser broke");
          return callback(userdata, nullptr, -1);
        case Answer::FailSilently:
          SDL_ClearError();
          return callback(userdata, nullptr, -1);
      }
    };
    if (!answerLater) return answer();
    if (worker.joinable()) worker.join();
    worker = std::thread([answer] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      answer();
      SDL_CleanupTLS();  // SDL's error text of a thread that SDL did not start
    });
  }

  static constexpr int kFailBox = -100;
  static constexpr int kFailBoxSilently = -101;  // fails without an SDL error text
  int boxAnswer = 0;
  Answer chooserAnswer = Answer::Choose;
  std::vector<std::string> chosenPaths = {"/chosen/file.lua"};
  bool answerLater = false;
  std::vector<Box> boxes;
  std::vector<Chooser> choosers;
  std::thread worker;

 private:
  static Chooser record(SDL_FileDialogType type, SDL_PropertiesID properties) {
    Chooser chooser;
    chooser.type = type;
    const auto* filters = static_cast<const SDL_DialogFileFilter*>(
        SDL_GetPointerProperty(properties, SDL_PROP_FILE_DIALOG_FILTERS_POINTER, nullptr));
    if (filters != nullptr) {
      chooser.filters.emplace();
      const Sint64 count = SDL_GetNumberProperty(properties, SDL_PROP_FILE_DIALOG_NFILTERS_NUMBER, 0);
      for (Sint64 i = 0; i < count; ++i) chooser.filters->emplace_back(filters[i].name, filters[i].pattern);
    }
    chooser.location = SDL_GetStringProperty(properties, SDL_PROP_FILE_DIALOG_LOCATION_STRING, "<none>");
    chooser.title = SDL_GetStringProperty(properties, SDL_PROP_FILE_DIALOG_TITLE_STRING, "<none>");
    chooser.window = SDL_GetPointerProperty(properties, SDL_PROP_FILE_DIALOG_WINDOW_POINTER, nullptr);
    if (SDL_HasProperty(properties, SDL_PROP_FILE_DIALOG_MANY_BOOLEAN)) {
      chooser.many = SDL_GetBooleanProperty(properties, SDL_PROP_FILE_DIALOG_MANY_BOOLEAN, false);
    }
    return chooser;
  }
};
