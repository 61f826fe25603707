// The clipboard between two qz processes on one X display: one owns the text, the other pastes it. The X
// server takes a paste in one request, so text beyond its largest request is refused when set, and a paste
// from an owner that does not answer fails instead of giving "". The owner, once resumed, answers a paster
// that has gone meanwhile: the X error that answer meets is reported, and the owner lives on. A paste that
// fails leaves the clipboard to its owner, for the next program that pastes.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "display_process_test.h"
#include "qz_sandbox.h"
#include "x_client.h"

namespace {

using qztest::BackgroundRun;
using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;
using qztest::XClient;

// Sets the clipboard (after trying an oversized text when asked), then serves pastes until told to stop.
std::string ownerBoot(const std::string& text) {
  return std::string(qztest::kBootFileHelpers) + R"lua(
return { run = function()
  local ok, message = system.set_clipboard(string.rep("y", 17000000))
  put("refused", tostring(ok) .. "|" .. tostring(message))
  assert(system.set_clipboard()lua" +
         text + R"lua())
  put("ready", "")
  while not exists("stop") do
    system.poll_event()
    system.sleep(0.005)
  end
end }
)lua";
}

constexpr const char* kReaderBoot = R"lua(
return { run = function()
  local text, message = system.get_clipboard()
  if text then
    put("read", #text .. " " .. (text:match("^z*$") and "z" or "other"))
  else
    put("read", "nil|" .. tostring(message))
  end
end }
)lua";

class ClipboardProcesses : public DisplayProcessTest {
 protected:
  // Runs a second qz that pastes; what it read.
  std::string paste() {
    Sandbox reader;
    reader.writeBoot(std::string(qztest::kBootFileHelpers) + kReaderBoot);
    const RunResult result = reader.run(onDisplay());
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    return reader.exists("user/read") ? reader.readFile("user/read") : "no paste";
  }
};

TEST_F(ClipboardProcesses, TextBeyondTheLargestRequestIsRefusedAndTheOwnerOutlivesEveryPaste) {
  Sandbox owner;
  owner.writeBoot(ownerBoot("string.rep('z', 15000000)"));
  BackgroundRun running = owner.start(onDisplay());
  ASSERT_TRUE(owner.waitForFile("user/ready")) << running.wait().standardError;
  const std::string refused = owner.readFile("user/refused");
  EXPECT_EQ(refused.rfind("nil|clipboard text is too large for the display (17000000 bytes, at most ", 0), 0u)
      << refused;

  EXPECT_EQ(paste(), "15000000 z");
  EXPECT_TRUE(running.running()) << "the owner served the paste and lives on";
  owner.writeFile("user/stop", "");
  EXPECT_EQ(running.wait().exitCode, 0);
}

TEST_F(ClipboardProcesses, APasteFromAnOwnerThatDoesNotAnswerFailsWithSdlsMessage) {
  Sandbox owner;
  owner.writeBoot(ownerBoot("'z'"));
  BackgroundRun running = owner.start(onDisplay());
  ASSERT_TRUE(owner.waitForFile("user/ready")) << running.wait().standardError;
  running.kill(SIGSTOP);
  const std::string read = paste();
  running.kill(SIGCONT);
  EXPECT_EQ(read.rfind("nil|", 0), 0u) << read;
  EXPECT_GT(read.size(), 4u) << "with SDL's text";
  owner.writeFile("user/stop", "");
  const RunResult ended = running.wait();
  EXPECT_EQ(ended.exitCode, 0) << ended.standardError;
}

// An owner that sends a large text in pieces (INCR) hands all of it over; so does qz when it owns the
// clipboard itself.
TEST_F(ClipboardProcesses, TextSentInPiecesAndTextOfQzItselfArriveWhole) {
  {
    XClient owner(display.name(), {"own", "--text", "z", "--times", "300000", "--chunk", "65536"});
    ASSERT_EQ(owner.line(), "owned");
    EXPECT_EQ(paste(), "300000 z");
  }
  Sandbox self;
  self.writeBoot(std::string(qztest::kBootFileHelpers) + R"lua(
return { run = function()
  assert(system.set_clipboard(string.rep("z", 3000000)))
  local text, message = system.get_clipboard()
  put("read", text and #text .. " " .. (text:match("^z*$") and "z" or "other") or "nil|" .. tostring(message))
end }
)lua");
  const RunResult result = self.run(onDisplay());
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(self.readFile("user/read"), "3000000 z");
}

// SDL refuses every form of text while its clipboard is empty, with notices that name no target: a paste
// from another qz, or from qz itself, gives "" and does not wait for a form that never comes.
TEST_F(ClipboardProcesses, AnEmptyClipboardOfQzPastesAsEmptyText) {
  Sandbox owner;
  owner.writeBoot(ownerBoot("''"));
  BackgroundRun running = owner.start(onDisplay());
  ASSERT_TRUE(owner.waitForFile("user/ready")) << running.wait().standardError;
  EXPECT_EQ(paste(), "0 z");
  owner.writeFile("user/stop", "");
  EXPECT_EQ(running.wait().exitCode, 0);

  Sandbox self;
  self.writeBoot(std::string(qztest::kBootFileHelpers) + R"lua(
return { run = function()
  assert(system.set_clipboard(""))
  local text, message = system.get_clipboard()
  put("read", tostring(text) .. "|" .. tostring(message))
end }
)lua");
  const RunResult result = self.run(onDisplay());
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(self.readFile("user/read"), "|nil");
}

// SDL gives up on an owner after 1 s; the owner here answers after 1.5 s. The paste fails, and the owner
// keeps the clipboard: a client that waits long enough still gets its text.
TEST_F(ClipboardProcesses, AFailedPasteLeavesTheClipboardToItsOwner) {
  XClient owner(display.name(), {"own", "--text", "slow text", "--delay", "1.5"});
  ASSERT_EQ(owner.line(), "owned");
  const std::string read = paste();
  EXPECT_EQ(read, "nil|Selection timeout");
  XClient reader(display.name(), {"read", "5"});
  EXPECT_EQ(reader.line(), "slow text");
}

}  // namespace
