// The five file dialogs, seen through a dialog backend that records what SDL would be given and answers as
// told.
#include "platform/file_dialog.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fake_dialog_backend.h"

namespace {

using Filters = std::vector<std::pair<std::string, std::string>>;
using Operation = FileDialogOutcome (*)(const FileDialogOptions&);

struct Dialog {
  const char* name;
  Operation show;
  SDL_FileDialogType type;
  std::optional<bool> many;  // none: SDL is not asked (the save dialog takes one name)
  bool fileTypes;
};

const Dialog kDialogs[] = {
    {"open", fileDialogOpen, SDL_FILEDIALOG_OPENFILE, false, true},
    {"open several", fileDialogOpenMultiple, SDL_FILEDIALOG_OPENFILE, true, true},
    {"save", fileDialogSave, SDL_FILEDIALOG_SAVEFILE, std::nullopt, true},
    {"pick folder", fileDialogPickFolder, SDL_FILEDIALOG_OPENFOLDER, false, false},
    {"pick folders", fileDialogPickFolders, SDL_FILEDIALOG_OPENFOLDER, true, false},
};

SDL_Window* const kParent = reinterpret_cast<SDL_Window*>(0x1000);  // recorded, never used

FileDialogOptions everyOption() {
  FileDialogOptions options;
  options.filters = {{"Lua", " lua , luac"}, {"Text", "txt"}};
  options.defaultPath = "/work/src";
  options.defaultName = "new.lua";
  options.parent = kParent;
  options.title = "Pick";
  return options;
}

TEST(FileDialogs, EachDialogHandsSdlItsKindFileTypesStartAndTitle) {
  for (const Dialog& dialog : kDialogs) {
    FakeDialogs fake;
    const FileDialogOutcome outcome = dialog.show(everyOption());
    EXPECT_EQ(outcome.result, FileDialogResult::Okay) << dialog.name;
    ASSERT_EQ(fake.choosers.size(), 1u) << dialog.name;
    const FakeDialogs::Chooser& chooser = fake.choosers[0];
    EXPECT_EQ(chooser.type, dialog.type) << dialog.name;
    EXPECT_EQ(chooser.many, dialog.many) << dialog.name;
    const std::optional<Filters> fileTypes =
        dialog.fileTypes ? std::optional<Filters>(Filters{{"Lua", "lua;luac"}, {"Text", "txt"}, {"All files", "*"}})
                         : std::nullopt;
    EXPECT_EQ(chooser.filters, fileTypes) << dialog.name;
    EXPECT_EQ(chooser.location, dialog.type == SDL_FILEDIALOG_SAVEFILE ? "/work/src/new.lua" : "/work/src/")
        << dialog.name;
    EXPECT_EQ(chooser.window, kParent) << dialog.name;
    EXPECT_EQ(chooser.title, "Pick") << dialog.name;
  }
}

TEST(FileDialogs, WithoutOptionsNothingIsGivenNotEvenFileTypes) {
  for (const Dialog& dialog : kDialogs) {
    FakeDialogs fake;
    dialog.show({});
    ASSERT_EQ(fake.choosers.size(), 1u) << dialog.name;
    const FakeDialogs::Chooser& chooser = fake.choosers[0];
    EXPECT_EQ(chooser.filters, std::nullopt) << dialog.name;
    EXPECT_EQ(chooser.window, nullptr);
    for (const std::string& text : {chooser.location, chooser.title}) {
      EXPECT_EQ(text, "<none>") << dialog.name;
    }
  }
}

// A chooser given a folder without a final slash shows its parent with the folder selected.
TEST(FileDialogs, DialogsStartInsideTheDefaultFolderAndSaveAtTheProposedNameThere) {
  const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
      {"/work/", "a.txt", "/work/a.txt", "/work/"},
      {"/work", "a.txt", "/work/a.txt", "/work/"},
      {"", "a.txt", "a.txt", "<none>"},
      {"/work", "", "/work/", "/work/"},
      {"/", "", "/", "/"},
  };
  for (const auto& [folder, name, saveLocation, openLocation] : cases) {
    FakeDialogs fake;
    FileDialogOptions options;
    options.defaultPath = folder;
    options.defaultName = name;
    fileDialogSave(options);
    fileDialogOpen(options);
    fileDialogPickFolder(options);
    ASSERT_EQ(fake.choosers.size(), 3u);
    EXPECT_EQ(fake.choosers[0].location, saveLocation) << folder << " + " << name;
    EXPECT_EQ(fake.choosers[1].location, openLocation) << folder << ": only saving proposes a name";
    EXPECT_EQ(fake.choosers[2].location, openLocation) << folder;
  }
}

TEST(FileDialogs, SeveralPathDialogsGiveEveryChoiceTheOthersTheFirst) {
  for (const Dialog& dialog : kDialogs) {
    FakeDialogs fake;
    fake.chosenPaths = {"/a/one", "/a/two words", "/b/three"};
    const FileDialogOutcome outcome = dialog.show({});
    const std::vector<std::string> expected =
        dialog.many.value_or(false) ? fake.chosenPaths : std::vector<std::string>{"/a/one"};
    EXPECT_EQ(outcome.paths, expected) << dialog.name;
  }
}

TEST(FileDialogs, CancelAndFailureGiveTheirResultCodesAndSdlsText) {
  const std::tuple<FakeDialogs::Answer, FileDialogResult, const char*> cases[] = {
      {FakeDialogs::Answer::Cancel, FileDialogResult::Cancelled, ""},
      {FakeDialogs::Answer::Fail, FileDialogResult::Error, "the chooser broke"},
      {FakeDialogs::Answer::FailSilently, FileDialogResult::Error, ""},
  };
  for (const Dialog& dialog : kDialogs) {
    for (const auto& [answer, result, error] : cases) {
      FakeDialogs fake;
      fake.chooserAnswer = answer;
      const FileDialogOutcome outcome = dialog.show({});
      EXPECT_EQ(outcome.result, result) << dialog.name;
      EXPECT_EQ(outcome.error, error) << dialog.name;
      EXPECT_TRUE(outcome.paths.empty()) << dialog.name;
    }
  }
}

// SDL's zenity chooser reports a cancel as one empty path.
TEST(FileDialogs, AnEmptyPathIsACancelNotAChoice) {
  for (const Dialog& dialog : kDialogs) {
    FakeDialogs fake;
    fake.chosenPaths = {""};
    const FileDialogOutcome outcome = dialog.show({});
    EXPECT_EQ(outcome.result, FileDialogResult::Cancelled) << dialog.name;
    EXPECT_TRUE(outcome.paths.empty()) << dialog.name;
  }
}

TEST(FileDialogs, AFileTypeWithoutExtensionsFailsBeforeAnyChooserExceptForFolders) {
  for (const char* extensions : {"", " ", " , ", " ,, "}) {
    for (const Dialog& dialog : kDialogs) {
      FakeDialogs fake;
      FileDialogOptions options;
      options.filters = {{"Lua", "lua"}, {"None", extensions}};
      const FileDialogOutcome outcome = dialog.show(options);
      if (dialog.fileTypes) {
        EXPECT_EQ(outcome.result, FileDialogResult::Error) << dialog.name << " '" << extensions << "'";
        EXPECT_EQ(outcome.error, "Invalid dialog file filters: Empty pattern not allowed");
        EXPECT_TRUE(fake.choosers.empty()) << dialog.name;
      } else {
        EXPECT_EQ(outcome.result, FileDialogResult::Okay) << dialog.name << " has no file types";
      }
    }
  }
}

}  // namespace
