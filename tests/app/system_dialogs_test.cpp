// Message boxes and the open-file dialog of the system module, seen through a dialog backend that records
// SDL's data and answers as told; and SDL's own backend where no dialog can appear.
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>

#include "fake_dialog_backend.h"
#include "system_module_fixture.h"

namespace {

using Button = FakeDialogs::Button;
constexpr SDL_MessageBoxButtonFlags kReturn = SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT;
constexpr SDL_MessageBoxButtonFlags kEscape = SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;

class SystemDialogs : public SystemModuleTest {
 protected:
  SDL_Window* mainWindow() { return registry().window(mainId).sdlWindow(); }
  FakeDialogs dialogs;
};

TEST_F(SystemDialogs, MessageBoxWithoutButtonsHasOneOkForBothKeys) {
  EXPECT_EQ(run("return system.show_message_box{title = 'T', message = 12}"), Values{"ok"});
  ASSERT_EQ(dialogs.boxes.size(), 1u);
  const FakeDialogs::Box& box = dialogs.boxes[0];
  EXPECT_EQ(box.flags, SDL_MESSAGEBOX_INFORMATION);
  EXPECT_EQ(box.window, mainWindow());
  EXPECT_EQ(box.title, "T");
  EXPECT_EQ(box.message, "12");
  EXPECT_EQ(box.buttons, (std::vector<Button>{{0, "ok", kReturn | kEscape}}));
}

TEST_F(SystemDialogs, ReturnAndEscapeGoToTheFirstButtonOfTheirName) {
  const std::pair<const char*, std::vector<Button>> cases[] = {
      {"buttons = {'a', 'b', 'b'}, default = 'b', cancel = 'b'",
       {{0, "a", 0}, {1, "b", kReturn | kEscape}, {2, "b", 0}}},
      {"buttons = {'a', 'b', 'c'}", {{0, "a", kReturn}, {1, "b", 0}, {2, "c", kEscape}}},
      {"buttons = {'a', 'b'}, default = 'zzz'", {{0, "a", 0}, {1, "b", kEscape}}},
      {"buttons = {'a', 'b'}, default = 'b', cancel = 'a'", {{0, "a", kEscape}, {1, "b", kReturn}}},
      {"buttons = 'not a table'", {{0, "ok", kReturn | kEscape}}},
  };
  for (const auto& [options, buttons] : cases) {
    dialogs.boxes.clear();
    run(std::string("return system.show_message_box{") + options + "}");
    ASSERT_EQ(dialogs.boxes.size(), 1u) << options;
    EXPECT_EQ(dialogs.boxes[0].buttons, buttons) << options;
  }
}

TEST_F(SystemDialogs, MessageBoxTypesAndTheirIcons) {
  const std::pair<const char*, SDL_MessageBoxFlags> cases[] = {{"info", SDL_MESSAGEBOX_INFORMATION},
                                                               {"warning", SDL_MESSAGEBOX_WARNING},
                                                               {"error", SDL_MESSAGEBOX_ERROR},
                                                               {"question", SDL_MESSAGEBOX_INFORMATION}};
  for (const auto& [type, flags] : cases) {
    dialogs.boxes.clear();
    run(std::string("return system.show_message_box{type = '") + type + "'}");
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].flags, flags) << type;
  }
}

TEST_F(SystemDialogs, BadMessageBoxOptionsRaiseBeforeAnyBox) {
  const std::pair<const char*, const char*> cases[] = {
      {"{buttons = {}}", "bad argument #1 to 'show_message_box' (buttons must contain 1 to 8 entries)"},
      {"{buttons = {1, 2, 3, 4, 5, 6, 7, 8, 9}}", "buttons must contain 1 to 8 entries"},
      {"{buttons = {'a', {}}}", "button name: string expected, got table"},
      {"{type = 'fatal'}", "invalid option 'fatal'"},
      {"{title = {}}", "field 'title': string expected, got table"},
      {"'text'", "table expected, got string"},
  };
  for (const auto& [options, message] : cases) {
    const Values result = run(std::string("return system.show_message_box(") + options + ")");
    ASSERT_EQ(result.size(), 1u) << options;
    EXPECT_NE(result[0].find(message), std::string::npos) << result[0];
  }
  EXPECT_TRUE(dialogs.boxes.empty());
  EXPECT_EQ(run("return system.show_message_box{buttons = {1, 2, 3, 4, 5, 6, 7, 8}}"), Values{"1"});
}

TEST_F(SystemDialogs, AnswersOutsideTheListAndFailures) {
  const std::pair<int, Values> cases[] = {
      {1, {"b"}},
      {-1, {"nil"}},
      {2, {"nil"}},
      {FakeDialogs::kFailBox, {"nil", "no display for boxes"}},
      {FakeDialogs::kFailBoxSilently, {"nil", "SDL_ShowMessageBox failed"}},  // not the text left before
  };
  for (const auto& [answer, results] : cases) {
    dialogs.boxAnswer = answer;
    EXPECT_EQ(run("return system.show_message_box{buttons = {'a', 'b'}}"), results) << answer;
  }
}

TEST_F(SystemDialogs, ConfirmDialogIsAWarningWithYesAndNo) {
  const std::pair<int, Values> cases[] = {
      {0, {"true"}}, {1, {"false"}}, {-1, {"false"}}, {FakeDialogs::kFailBox, {"nil", "no display for boxes"}}};
  for (const auto& [answer, results] : cases) {
    dialogs.boxAnswer = answer;
    EXPECT_EQ(run("return system.show_confirm_dialog('Save?', 'It changed')"), results) << answer;
  }
  const FakeDialogs::Box& box = dialogs.boxes[0];
  EXPECT_EQ(box.flags, SDL_MESSAGEBOX_WARNING);
  EXPECT_EQ(box.buttons, (std::vector<Button>{{0, "yes", kReturn}, {1, "no", kEscape}}));
  EXPECT_NE(run("return system.show_confirm_dialog('t')")[0].find("bad argument #2"), std::string::npos);
}

TEST_F(SystemDialogs, SdlsOwnBoxWithoutADisplayFailsWithItsMessage) {
  installDialogBackend(nullptr);
  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = getenv(name);
    saved.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    unsetenv(name);
  }
  const Values result = run("return system.show_message_box{message = 'headless'}");
  for (const auto& [name, value] : saved) {
    if (value) setenv(name, value->c_str(), 1);
  }
  installDialogBackend(&dialogs);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result[0], "nil");
  EXPECT_FALSE(result[1].empty());
}

// A chooser reads SDL's "All files" pattern as names with a dot: without file types of its own the dialog
// gives none, so every file shows.
TEST_F(SystemDialogs, FileDialogWithoutOptionsSetsNoFileTypes) {
  EXPECT_EQ(run("return system.open_file_dialog()"), Values{"/chosen/file.lua"});
  ASSERT_EQ(dialogs.choosers.size(), 1u);
  const FakeDialogs::Chooser& chooser = dialogs.choosers[0];
  EXPECT_EQ(chooser.type, SDL_FILEDIALOG_OPENFILE);
  EXPECT_EQ(chooser.filters, std::nullopt);
  EXPECT_EQ(chooser.location, "<none>");
  EXPECT_EQ(chooser.window, mainWindow());
  EXPECT_EQ(chooser.many, false);
}

TEST_F(SystemDialogs, FileDialogFiltersBecomeSdlPatterns) {
  run("return system.open_file_dialog{filters = {{name = 'Lua', spec = 'lua'}, {name = 'Text', spec = 'txt,md'},"
      " {name = 'Spaced', spec = ' c , h,, cpp '}}, default_path = 'C:/work/src'}");
  ASSERT_EQ(dialogs.choosers.size(), 1u);
  EXPECT_EQ(dialogs.choosers[0].filters,
            (std::vector<std::pair<std::string, std::string>>{
                {"Lua", "lua"}, {"Text", "txt;md"}, {"Spaced", "c;h;cpp"}, {"All files", "*"}}));
  EXPECT_EQ(dialogs.choosers[0].location, "C:/work/src/");
}

TEST_F(SystemDialogs, FileDialogRefusesBadFiltersBeforeAnyDialog) {
  const std::string filters = "local f = {} for i = 1, 65 do f[i] = {name = 'n', spec = 'x'} end ";
  const std::pair<std::string, const char*> cases[] = {
      {filters + "return system.open_file_dialog{filters = f}",
       "bad argument #1 to 'open_file_dialog' (filters must contain at most 64 entries)"},
      {"return system.open_file_dialog{filters = 5}", "field 'filters': table expected, got number"},
      {"return system.open_file_dialog{filters = {5}}", "filter: table expected, got number"},
      {"return system.open_file_dialog{filters = {{spec = 'x'}}}", "filter name: string expected, got nil"},
      {"return system.open_file_dialog{filters = {{name = 'x'}}}", "filter spec: string expected, got nil"},
      {"return system.open_file_dialog{default_path = {}}", "field 'default_path': string expected, got table"},
      {"return system.open_file_dialog(5)", "table expected, got number"},
  };
  for (const auto& [chunk, message] : cases) {
    const Values result = run(chunk);
    ASSERT_EQ(result.size(), 1u) << chunk;
    EXPECT_NE(result[0].find(message), std::string::npos) << result[0];
  }
  EXPECT_TRUE(dialogs.choosers.empty());
  EXPECT_EQ(run(filters + "f[65] = nil return system.open_file_dialog{filters = f}"), Values{"/chosen/file.lua"});
  EXPECT_EQ(dialogs.choosers[0].filters->size(), 65u);
}

TEST_F(SystemDialogs, FileDialogCancelFailureAndLateAnswers) {
  const std::tuple<FakeDialogs::Answer, bool, Values> cases[] = {
      {FakeDialogs::Answer::Cancel, false, {"nil"}},
      {FakeDialogs::Answer::Fail, false, {"nil", "the chooser broke"}},
      {FakeDialogs::Answer::FailSilently, false, {"nil", "native file dialog failed"}},
      {FakeDialogs::Answer::Choose, true, {"/chosen/file.lua"}},
      {FakeDialogs::Answer::Fail, true, {"nil", "the chooser broke"}},
  };
  for (const auto& [answer, later, results] : cases) {
    if (dialogs.worker.joinable()) dialogs.worker.join();
    dialogs.chooserAnswer = answer;
    dialogs.answerLater = later;
    EXPECT_EQ(run("return system.open_file_dialog()"), results);
  }
}

// SDL checks the filters before it looks for a chooser: an extension list with spaces gets past that check.
TEST_F(SystemDialogs, SdlsOwnChooserWithoutItsProgramFailsWithoutWaiting) {
  installDialogBackend(nullptr);
  const char* path = getenv("PATH");
  const std::string savedPath = path != nullptr ? path : "";
  setenv("PATH", "/nonexistent", 1);
  setenv("SDL_FILE_DIALOG_DRIVER", "zenity", 1);
  const Values result = run("return system.open_file_dialog{filters = {{name = 'Lua', spec = 'lua, txt'}}}");
  unsetenv("SDL_FILE_DIALOG_DRIVER");
  setenv("PATH", savedPath.c_str(), 1);
  installDialogBackend(&dialogs);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result[0], "nil");
  EXPECT_FALSE(result[1].empty());
  EXPECT_EQ(result[1].find("Invalid dialog file filters"), std::string::npos) << result[1];
}

// SDL asks the chooser program for its version and waits for the answer on the calling thread: a program that
// never answers must fail the dialog within a bound instead of freezing qz. A hang fails the test by its
// time-out; no duration is asserted.
TEST_F(SystemDialogs, SdlsOwnChooserWhoseProgramNeverAnswersFails) {
  char pattern[] = "/tmp/qz-hung-chooser-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  const std::string program = directory + "/zenity";
  {
    std::ofstream script(program);
    script << "#!/bin/sh\nexec sleep 600\n";
  }
  ASSERT_EQ(chmod(program.c_str(), 0700), 0);
  installDialogBackend(nullptr);
  const char* path = getenv("PATH");
  const std::string savedPath = path != nullptr ? path : "";
  setenv("PATH", (directory + ":" + savedPath).c_str(), 1);
  setenv("SDL_FILE_DIALOG_DRIVER", "zenity", 1);
  const Values result = run("return system.open_file_dialog()");
  unsetenv("SDL_FILE_DIALOG_DRIVER");
  setenv("PATH", savedPath.c_str(), 1);
  installDialogBackend(&dialogs);
  std::filesystem::remove_all(directory);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result[0], "nil");
  EXPECT_NE(result[1].find("did not answer"), std::string::npos) << result[1];
}

}  // namespace
