// What the example viewer makes of command lines: options it does not take become notes, "--" ends the
// options, and while it runs, later starts of the same qz hand their files over as new tabs, found from the
// later start's working directory; a start with --wait is answered when the last of its tabs is closed.
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "host/single_instance.h"
#include "qz_sandbox.h"
#include "viewer_fixture.h"

namespace {

// name and summary of every tab, joined by "|" and "; ".
constexpr const char kTabs[] =
    "local parts = {}\n"
    "for _, doc in ipairs(require('core.viewer').current.docs) do\n"
    "  parts[#parts + 1] = doc.name .. '|' .. doc:summary()\n"
    "end\n"
    "return table.concat(parts, '; ')";

TEST_F(ViewerTest, NamesOptionsItDoesNotTakeAndOpensFilesAfterDoubleDash) {
  writeText("-dash.txt", "dash\n");
  writeText("-notes.txt", "notes\n");
  ASSERT_EQ(chdir(dir.c_str()), 0);
  qztest::ExampleHost host({"--new-instance", "--scale", "3", "--scale=2", "--wait", "-x", "--file", "-dash.txt", "--",
                            "-notes.txt", "--stdin"});
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)\n"
                     "local viewer = require('core.viewer')\n"
                     "viewer.current = viewer.open(ARGS)"),
            "");
  const std::string unknown =
      ": not an option of the viewer, so nothing was opened for it (a file whose name begins with - opens after "
      "--, as in: qz -- -notes.txt)";
  EXPECT_EQ(host.run(kTabs), "--scale|--scale" + unknown +
                                 "; 3|file open failed: No such file or directory; "
                                 "-x|-x" +
                                 unknown +
                                 "; -dash.txt|UTF-8, 1 line; -notes.txt|UTF-8, 1 line; "
                                 "--stdin|file open failed: No such file or directory");
}

// Closing tabs with forwarded requests stubbed in: a request is answered once, when its last tab closes, or
// at once when it opens nothing; closing the last tab closes the window.
TEST_F(ViewerTest, AnswersAWaitingStartOnceItsLastTabIsClosed) {
  writeText("a.txt", "a\n");
  writeText("b.txt", "b\n");
  writeText("c.txt", "c\n");
  qztest::ExampleHost host({"--new-instance", path("a.txt")});
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)\n"
                     "answered = {}\n"
                     "system.complete_forwarded_cli = function(id) answered[#answered + 1] = id return true end\n"
                     "local viewer = require('core.viewer')\n"
                     "v = viewer.open(ARGS)\n"
                     "v:open_forwarded({ args = { 'qz', '--wait', 'b.txt', 'c.txt' }, working_directory = [[" +
                     dir.string() +
                     "]], request_id = 7 })\n"
                     "v:open_forwarded({ args = { 'qz', '--wait' }, request_id = 8 })\n"
                     "v:open_forwarded({ args = { 'qz', 'b.txt' }, working_directory = [[" +
                     dir.string() + "]] })"),
            "");
  const auto state = [&] {
    return host.run(
        "local names = {}\n"
        "for _, doc in ipairs(v.docs) do names[#names + 1] = doc.name:match('[^/]*$') end\n"
        "return table.concat(names, ' ') .. ' shown ' .. v.selected .. ' answered ' .. "
        "table.concat(answered, ' ')");
  };
  EXPECT_EQ(state(), "a.txt b.txt c.txt b.txt shown 4 answered 8");
  EXPECT_EQ(host.run("v:close_tab(2)"), "");
  EXPECT_EQ(state(), "a.txt c.txt b.txt shown 3 answered 8") << "c.txt still open";
  EXPECT_EQ(host.run("v:close_tab(2)"), "");
  EXPECT_EQ(state(), "a.txt b.txt shown 2 answered 8 7");
  EXPECT_EQ(host.run("v:close_tab(2) v:close_tab(1) v:drain_events() return v.result"), "closed");
  EXPECT_EQ(host.run("return #answered"), "2");
  EXPECT_EQ(host.run("local empty = require('core.viewer').open({ 'qz' })\n"
                     "local before = empty.docs[1].name\n"
                     "empty:open_forwarded({ args = { 'qz', [[" +
                     path("a.txt") +
                     "]] } })\n"
                     "return before .. ' then ' .. #empty.docs .. ' ' .. empty:document().name:match('[^/]*$')"),
            "qz then 1 a.txt")
      << "a handed-over file takes the place of the note that there was nothing to show";
}

// A real later start of the same qz: it hands b.txt over (a name relative to its own working directory) and
// ends; one with --wait and two files stays until Ctrl+W and a middle click have closed both tabs; one with
// --wait and no file is answered at once.
TEST_F(ViewerTest, OpensLaterStartsAsTabsAndAnswersAWaitingStartWhenItsTabsClose) {
  qztest::Sandbox sandbox;
  ASSERT_EQ(setenv("XDG_RUNTIME_DIR", (sandbox.root() / "runtime").c_str(), 1), 0);
  const std::string executable = sandbox.executable().string();
  ASSERT_EQ(singleInstance().acquireOrForward(executable, {executable}, std::nullopt), SingleInstance::kFirstInstance);
  for (const char* name : {"b.txt", "c.txt", "d.txt"}) sandbox.writeFile(std::string("work/") + name, "text\n");
  writeText("a.txt", "a\n");
  qztest::ExampleHost host({path("a.txt")});
  ASSERT_TRUE(host.ready());
  qztest::RunOptions later;
  later.workingDirectory = "work";
  later.timeout = std::chrono::seconds(60);
  std::optional<qztest::BackgroundRun> waiting, waitingForNothing;
  const auto viewer = [&](const std::string& expression) {
    return lua("local v = require('core.viewer').current return " + expression);
  };
  const int exitCode =
      runSteps(host, {
                         [&] {
                           windowEvent(SDL_EVENT_WINDOW_FOCUS_GAINED);
                           later.args = {"b.txt"};
                           const qztest::RunResult handedOver = sandbox.run(later);
                           EXPECT_EQ(handedOver.exitCode, 0) << handedOver.standardError;
                           later.args = {"--wait"};
                           waitingForNothing.emplace(sandbox.start(later));
                         },
                         [&] {
                           if (viewer("#v.docs") != "2" || waitingForNothing->running()) return again();
                           EXPECT_EQ(waitingForNothing->wait().exitCode, 0);
                           EXPECT_EQ(viewer("v.docs[2].name"), (sandbox.root() / "work/b.txt").string());
                           EXPECT_EQ(viewer("v.selected .. ' ' .. v:document():summary()"), "2 UTF-8, 1 line");
                           later.args = {"--wait", "c.txt", "d.txt"};
                           waiting.emplace(sandbox.start(later));
                         },
                         [&] {
                           if (viewer("#v.docs") != "4") return again();
                           EXPECT_EQ(viewer("v.selected"), "3");
                           key(SDLK_W, SDL_KMOD_LCTRL);
                         },
                         [&] {
                           EXPECT_EQ(viewer("#v.docs .. ' ' .. v:document().name:match('[^/]*$')"), "3 d.txt");
                           EXPECT_TRUE(waiting->running()) << "d.txt is still open";
                           const int thirdTab = std::stoi(viewer("4 + v.tab_widths[1] + 2 + v.tab_widths[2] + 2 + 4"));
                           click(static_cast<float>(thirdTab), 12, SDL_BUTTON_MIDDLE);
                         },
                         [&] {
                           if (waiting->running()) return again();
                           EXPECT_EQ(waiting->wait().exitCode, 0);
                           EXPECT_EQ(viewer("#v.docs"), "2");
                           windowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED);
                         },
                     });
  EXPECT_EQ(exitCode, 0);
  singleInstance().shutdown();
}

}  // namespace
