// Pastes in qz from clipboard owners of every kind on a private X display: owners that answer late or
// never stop sending, offer the text only in older forms, send pieces in another format, make the answer
// unreadable, send more than memory allows, or meet a server that takes no more connections. Each paste
// either gives the owner's whole text or fails with a message, within a bound of its own; none takes an
// answer meant for an earlier paste, and none takes the clipboard from its owner.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "display_process_test.h"
#include "platform/sha256.h"
#include "qz_sandbox.h"
#include "sanitizer_build.h"
#include "x_client.h"

namespace {

using qztest::BackgroundRun;
using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;
using qztest::XClient;

// Pastes `reads` times, the i-th once "user/go-<i>" exists when gated; each result goes to "user/read-<i>":
// "text|<text>" for a short text, "long|<size>|<sha256>" for a long one, "nil|<message>" for a failure.
std::string readerBoot(int reads, bool gated) {
  return std::string(qztest::kBootFileHelpers) + R"lua(
local function describe(text, message)
  if not text then return "nil|" .. tostring(message) end
  if #text <= 64 then return "text|" .. text end
  return "long|" .. #text .. "|" .. system.sha256(text)
end
return { run = function()
  put("ready", "")
  for i = 1, )lua" +
         std::to_string(reads) + R"lua( do
    while )lua" +
         (gated ? "not exists(\"go-\" .. i)" : "false") + R"lua( do system.sleep(0.005) end
    put("reading-" .. i, "")
    put("read-" .. i, describe(system.get_clipboard()))
  end
end }
)lua";
}

// What the reader writes for text that came whole.
std::string whole(const std::string& text) {
  if (text.size() <= 64) return "text|" + text;
  return "long|" + std::to_string(text.size()) + "|" + std::string(sha256HexView(sha256Digest(text)));
}

constexpr const char* kTooSlow = "nil|clipboard owner did not finish in time";

struct OwnerCase {
  const char* what;
  std::vector<std::string> owner;  // the helper's options after "own"
  std::string expected;            // what the reader writes
};

class ClipboardOwners : public DisplayProcessTest {
 protected:
  std::vector<std::string> own(std::vector<std::string> options) const {
    options.insert(options.begin(), "own");
    return options;
  }

  // Runs a qz that pastes once; what it read.
  std::string paste() {
    Sandbox reader;
    reader.writeBoot(readerBoot(1, false));
    const RunResult result = reader.run(onDisplay());
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_FALSE(result.timedOut) << "the paste never ended";
    return reader.exists("user/read-1") ? reader.readFile("user/read-1") : "no paste";
  }

  // Each owner in turn, pasted from by a qz of its own.
  void pasteFromEach(const std::vector<OwnerCase>& cases) {
    for (const OwnerCase& each : cases) {
      XClient owner(display.name(), own(each.owner));
      ASSERT_EQ(owner.line(), "owned") << each.what;
      EXPECT_EQ(paste(), each.expected) << each.what;
    }
  }
};

// One deadline covers the whole paste: an owner that keeps sending pieces, each within the second every
// step has, is given up on, whether it dribbles or sends single bytes as fast as asked. The same single
// bytes that end are taken whole.
TEST_F(ClipboardOwners, AnOwnerThatSendsPiecesWithoutEndIsGivenUpOn) {
  pasteFromEach({
      {"64 bytes every half second", {"--chunk", "64", "--pause", "0.5", "--endless"}, kTooSlow},
      {"single bytes as fast as asked", {"--chunk", "1", "--endless"}, kTooSlow},
      {"single bytes that end", {"--chunk", "1", "--times", "1500"}, whole(std::string(1500, 'z'))},
  });
}

TEST_F(ClipboardOwners, AnHonestOwnerSendingTensOfMegabytesInPiecesIsPastedWhole) {
  pasteFromEach({
      {"40 MB in pieces of 64 KiB", {"--chunk", "65536", "--times", "40000000"}, whole(std::string(40000000, 'z'))},
      // As slow as a display reached over a network: about 3 MiB a second for more than 10 seconds.
      {"32 MiB at about 3 MiB a second",
       {"--chunk", "262144", "--pause", "0.08", "--times", "33554432"},
       whole(std::string(size_t{32} << 20, 'z'))},
  });
}

// However fast an owner sends, the paste ends within half a minute: one that never stops, at a pace far above
// what a slow honest owner manages, is given up on long before it would reach the size limit.
TEST_F(ClipboardOwners, AnOwnerThatSendsFastWithoutEndIsGivenUpOnWithinTheTotalLimit) {
  pasteFromEach({{"pieces of 1 MiB, about 12 MiB a second, without end",
                  {"--chunk", "1048576", "--pause", "0.08", "--endless", "--times", "1048576"},
                  kTooSlow}});
}

// The late owner's answer to the first paste reaches the second paste's window (the server gives it the
// same id) while the second waits for the new owner: it must not be taken for the new owner's text, nor, as a
// refusal that names no target, for the new owner's refusal of the form asked.
TEST_F(ClipboardOwners, ALateAnswerToAnEarlierPasteIsNeverTakenByTheNext) {
  for (const std::vector<std::string>& lateAnswer :
       {std::vector<std::string>{"--text", "old secret"},
        std::vector<std::string>{"--offer", "image/png", "--refuse-without-target"}}) {
    SCOPED_TRACE(lateAnswer.back());
    Sandbox reader;
    reader.writeBoot(readerBoot(2, true));
    const std::string user = (reader.root() / "user").string();
    std::vector<std::string> lateOwner = lateAnswer;
    lateOwner.insert(lateOwner.end(), {"--answer-when", user + "/answer-late"});
    XClient late(display.name(), own(lateOwner));
    ASSERT_EQ(late.line(), "owned");
    // Connected before qz, so that qz's connection for its second paste is the one its first paste had.
    // It answers each request after 0.45 s, so that SDL's own request for its targets (when it sees the new
    // owner) and the paste's both come within the paste's second.
    XClient next(display.name(), own({"--text", "new text", "--delay", "0.45", "--own-when", user + "/own-next"}));
    BackgroundRun running = reader.start(onDisplay());
    ASSERT_TRUE(reader.waitForFile("user/ready")) << running.wait().standardError;

    reader.writeFile("user/go-1", "");
    ASSERT_TRUE(reader.waitForFile("user/read-1")) << running.wait().standardError;
    EXPECT_EQ(reader.readFile("user/read-1"), "nil|Selection timeout");
    reader.writeFile("user/own-next", "");
    ASSERT_EQ(next.line(), "owned");

    reader.writeFile("user/go-2", "");
    ASSERT_TRUE(reader.waitForFile("user/reading-2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    reader.writeFile("user/answer-late", "");
    const RunResult result = running.wait();
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(reader.readFile("user/read-2"), "text|new text") << result.standardError;
  }
}

// An owner that takes most of the second each step may take, and offers the text only as STRING (the last
// form asked): two pastes in a row both get it.
TEST_F(ClipboardOwners, TwoPastesInARowFromASlowOwnerAreBothRight) {
  XClient owner(display.name(),
                own({"--text", "café", "--encoding", "latin-1", "--offer", "STRING", "--delay", "0.4"}));
  ASSERT_EQ(owner.line(), "owned");
  Sandbox reader;
  reader.writeBoot(readerBoot(2, false));
  const RunResult result = reader.run(onDisplay());
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(reader.readFile("user/read-1"), "text|café");
  EXPECT_EQ(reader.readFile("user/read-2"), "text|café");
}

// STRING is Latin-1 and comes back as UTF-8; an answer of a form the reader cannot use moves on to the next.
TEST_F(ClipboardOwners, TextOfferedOnlyInOlderFormsIsPasted) {
  const std::vector<std::string> latin1 = {"--text", "café", "--encoding", "latin-1"};
  const auto with = [](std::vector<std::string> base, std::vector<std::string> more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
  };
  pasteFromEach({
      {"STRING", with(latin1, {"--offer", "STRING"}), "text|café"},
      {"STRING of ASCII alone", {"--text", "plain", "--offer", "STRING"}, "text|plain"},
      {"TEXT answered as STRING", with(latin1, {"--offer", "TEXT as STRING"}), "text|café"},
      {"text/plain", {"--text", "café", "--offer", "text/plain"}, "text|café"},
      {"UTF8_STRING answered as STRING", with(latin1, {"--offer", "UTF8_STRING as STRING"}), "text|café"},
      {"COMPOUND_TEXT first, then STRING",
       with(latin1, {"--offer", "UTF8_STRING as COMPOUND_TEXT", "--offer", "STRING"}), "text|café"},
      {"STRING in pieces", with(latin1, {"--offer", "STRING", "--chunk", "3", "--times", "4"}),
       "text|cafécafécafécafé"},
      // As a small owner does where UTF8_STRING was not yet a name when it started: it refuses that form and
      // announces TEXT's pieces with a notice that names their type, STRING.
      {"TEXT in pieces, the notice naming STRING",
       {"--times", "10000", "--offer", "TEXT as STRING", "--chunk", "4000", "--notice-names-type"},
       whole(std::string(10000, 'z'))},
  });
}

// SDL refuses a form it does not offer with a notice that names no target. Each refusal moves the paste on
// to the next form at once: text offered only in a later form is pasted, an owner without text gives "",
// and an owner that refuses each form after some time still ends within the paste's deadline; one that
// refuses later than a step may take fails as one that does not answer.
TEST_F(ClipboardOwners, RefusalsThatNameNoTargetMoveOnToTheNextForm) {
  const auto refusing = [](std::vector<std::string> options) {
    options.insert(options.begin(), "--refuse-without-target");
    return options;
  };
  pasteFromEach({
      {"text/plain;charset=utf-8 alone", refusing({"--text", "café", "--offer", "text/plain;charset=utf-8"}),
       "text|café"},
      {"an image alone", refusing({"--offer", "image/png"}), "text|"},
      {"STRING alone, every answer after 0.3 s",
       refusing({"--text", "café", "--encoding", "latin-1", "--offer", "STRING", "--delay", "0.3"}), "text|café"},
      {"refusals after 1.5 s", refusing({"--offer", "image/png", "--delay", "1.5"}), "nil|Selection timeout"},
  });
}

TEST_F(ClipboardOwners, AnswersThatCannotBeReadWholeFailThePaste) {
  pasteFromEach({
      {"a piece in 32-bit items",
       {"--chunk", "1000", "--times", "10000", "--odd-piece", "4"},
       "nil|clipboard owner sent part of the text in another format"},
      {"the requestor's window destroyed", {"--destroy-requestor"}, "nil|clipboard text could not be read"},
      {"the property never written", {"--no-write"}, "nil|clipboard text could not be read"},
      {"pieces announced as more than 1 GiB",
       {"--chunk", "100", "--times", "100", "--announce", "1073741825"},
       "nil|clipboard text is too large (over 1 GiB)"},
      {"pieces announced as 1 GiB",
       {"--chunk", "100", "--times", "100", "--announce", "1073741824"},
       whole(std::string(100, 'z'))},
  });
}

// A request its owner may still answer renews the property that later requests name, and every name is an
// atom the server keeps for as long as it runs: a paster that keeps failing must not fill the server with them
// (a process goes round 256 names).
TEST_F(ClipboardOwners, PastesThatKeepFailingNameABoundedSetOfProperties) {
  std::vector<std::string> options = {"--chunk", "10"};
  for (const char* target : {"UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "TEXT", "STRING"}) {
    options.insert(options.end(), {"--offer", std::string(target) + " as COMPOUND_TEXT"});
  }
  XClient owner(display.name(), own(options));
  ASSERT_EQ(owner.line(), "owned");
  const auto atoms = [this] {
    XClient count(display.name(), {"atoms"});
    return std::stoul(count.line());
  };
  EXPECT_EQ(paste(), "text|") << "no form of text offered";  // and the names SDL uses are made
  const unsigned long before = atoms();
  Sandbox reader;
  reader.writeBoot(readerBoot(100, false));
  const RunResult result = reader.run(onDisplay());
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(reader.readFile("user/read-100"), "text|");
  EXPECT_LE(atoms() - before, 256u + 16) << "100 pastes that each leave five requests to their owner";
}

// An owner writing a plain answer in appends, as a large one is written (on a busy machine 48 MiB took 3 s),
// is answering: each append starts the step again, with a second more for each MiB written (the server copies
// the whole value for each append), and the bytes written extend the read's deadline as pieces do. One that
// appends without end is still given up on at the read's deadline, and one that waits more than a second
// between small appends fails as one that does not answer.
TEST_F(ClipboardOwners, AnOwnerWritingAPlainAnswerInAppendsHasASecondForEachAppend) {
  pasteFromEach({
      {"8 MiB in appends of 512 KiB, 0.4 s apart",
       {"--times", "8388608", "--append-bytes", "524288", "--append-pause", "0.4"},
       whole(std::string(size_t{8} << 20, 'z'))},
      {"8 MiB in two appends 2 s apart",
       {"--times", "8388608", "--append-bytes", "4194304", "--append-pause", "2"},
       whole(std::string(size_t{8} << 20, 'z'))},
      {"appends of 1 KiB every half second, without end",
       {"--times", "1024", "--append-bytes", "1024", "--append-pause", "0.5", "--endless"},
       kTooSlow},
      {"appends 1.5 s apart",
       {"--times", "2048", "--append-bytes", "1024", "--append-pause", "1.5"},
       "nil|Selection timeout"},
  });
}

// A plain answer of 48 MiB, where the paster has 32 MiB of address space left: read in slices, it runs
// out of memory as a failure of the paste, not as a failure of qz's X connection.
TEST_F(ClipboardOwners, ALargePlainAnswerIsReadInSlices) {
  const size_t size = size_t{48} << 20;
  XClient owner(display.name(), own({"--times", std::to_string(size)}));
  ASSERT_EQ(owner.line(), "owned");
  Sandbox reader;
  reader.writeBoot(readerBoot(1, true));
  BackgroundRun running = reader.start(onDisplay());
  ASSERT_TRUE(reader.waitForFile("user/ready")) << running.wait().standardError;
#ifndef QZ_TEST_UNDER_ASAN
  std::ifstream status("/proc/" + std::to_string(running.pid()) + "/status");
  size_t mapped = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) mapped = std::stoull(line.substr(7)) * 1024;
  }
  ASSERT_GT(mapped, 0u);
  const rlimit limit{mapped + (size_t{32} << 20), mapped + (size_t{32} << 20)};
  ASSERT_EQ(prlimit(running.pid(), RLIMIT_AS, &limit, nullptr), 0);
#endif
  reader.writeFile("user/go-1", "");
  const RunResult result = running.wait();
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  const std::string read = reader.exists("user/read-1") ? reader.readFile("user/read-1") : "no paste";
  if (read != whole(std::string(size, 'z'))) {
    EXPECT_EQ(read, "nil|not enough memory to read the clipboard");
  }
}

// With every connection of the server taken, the paste fails; it does not fall back to SDL's reading, which
// would make qz the owner of an empty clipboard once the slow owner missed its second.
TEST_F(ClipboardOwners, WithoutAConnectionOfItsOwnAPasteFailsAndLeavesTheClipboardToItsOwner) {
  XClient owner(display.name(), own({"--text", "kept", "--delay", "1.5"}));
  ASSERT_EQ(owner.line(), "owned");
  Sandbox reader;
  reader.writeBoot(readerBoot(1, true));
  BackgroundRun running = reader.start(onDisplay());
  ASSERT_TRUE(reader.waitForFile("user/ready")) << running.wait().standardError;
  {
    XClient filler(display.name(), {"fill"});
    ASSERT_EQ(filler.line(), "full");
    reader.writeFile("user/go-1", "");
    const RunResult result = running.wait();
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(reader.readFile("user/read-1"), "nil|cannot connect to the X server");
  }
  XClient check(display.name(), {"read", "5"});
  EXPECT_EQ(check.line(), "kept");
}

}  // namespace
