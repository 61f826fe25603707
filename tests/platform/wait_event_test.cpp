#include "platform/wait_event.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "scratch_dir.h"

namespace {

using WaitEvents = ScratchDirTest;

UniqueFd openReader(const std::string& fifo) { return UniqueFd(open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)); }

bool hasByte(int fd) {
  char byte = 0;
  return read(fd, &byte, 1) == 1;
}

TEST_F(WaitEvents, CreatedEventIsAPrivateFifoRemovedWithItsOwnerAndNeverTwice) {
  std::optional<WaitEvent> event = WaitEvent::create(path("e"));
  ASSERT_TRUE(event);
  struct stat info;
  ASSERT_EQ(lstat(path("e").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(WaitEvent::create(path("e"))) << "the name is taken";
  writeText("file", "");
  EXPECT_FALSE(WaitEvent::create(path("file")));
  event.reset();
  EXPECT_FALSE(std::filesystem::exists(path("e")));
}

TEST_F(WaitEvents, SettingWritesOnlyIntoAFifoOfThisUser) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  const UniqueFd elsewhereReader = openReader(path("fifo"));
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    bool result;
    bool leftInPlace;
  } cases[] = {
      {"nothing there", [](const std::string&) {}, true, false},
      {"a FIFO nobody reads", [](const std::string& at) { mkfifo(at.c_str(), 0600); }, true, false},
      {"a regular file", [](const std::string& at) { std::ofstream(at) << "keep"; }, false, true},
      {"a directory", [](const std::string& at) { mkdir(at.c_str(), 0700); }, false, true},
      {"a link to a read FIFO", [this](const std::string& at) { std::filesystem::create_symlink(path("fifo"), at); },
       false, true},
  };
  for (const Case& c : cases) {
    const std::string at = path(c.name);
    c.make(at);
    EXPECT_EQ(setWaitEvent(at), c.result) << c.name;
    EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(at)), c.leftInPlace) << c.name;
  }
  EXPECT_EQ(readText("a regular file"), "keep");
  EXPECT_FALSE(hasByte(elsewhereReader.get())) << "written through a link";

  std::optional<WaitEvent> event = WaitEvent::create(path("waiting"));
  ASSERT_TRUE(event);
  const UniqueFd reader = openReader(path("waiting"));
  EXPECT_TRUE(setWaitEvent(path("waiting")));
  EXPECT_TRUE(hasByte(reader.get()));
  EXPECT_FALSE(std::filesystem::exists(path("waiting"))) << "a set event is removed";
}

TEST_F(WaitEvents, FifoOfAnotherUserIsNotSet) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the FIFO away";
  ASSERT_EQ(mkfifo(path("theirs").c_str(), 0666), 0);
  ASSERT_EQ(chown(path("theirs").c_str(), 65534, 65534), 0);
  const UniqueFd reader = openReader(path("theirs"));
  EXPECT_FALSE(setWaitEvent(path("theirs")));
  EXPECT_FALSE(hasByte(reader.get()));
}

TEST_F(WaitEvents, WaitEndsWhenSetOrWhenTheWatchedProcessEnds) {
  std::optional<WaitEvent> event = WaitEvent::create(path("set"));
  ASSERT_TRUE(event);
  std::thread setter([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    setWaitEvent(path("set"));
  });
  EXPECT_EQ(event->waitUntilSetOrProcessEnds(ProcessWatch(0)), WaitOutcome::Done);
  setter.join();

  event = WaitEvent::create(path("refused"));
  ASSERT_TRUE(event);
  EXPECT_TRUE(setWaitEvent(path("refused"), WaitAnswer::Refused));
  EXPECT_EQ(event->waitUntilSetOrProcessEnds(ProcessWatch(0)), WaitOutcome::Refused);

  event = WaitEvent::create(path("unset"));
  ASSERT_TRUE(event);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  const ProcessWatch watch(child);
  EXPECT_FALSE(watch.ended());
  kill(child, SIGKILL);
  EXPECT_EQ(event->waitUntilSetOrProcessEnds(watch), WaitOutcome::ProcessEnded);
  EXPECT_TRUE(watch.ended());
  waitpid(child, nullptr, 0);
}

// A waiter that dies between the setter's open and its write leaves a FIFO without readers. The write runs in
// a child with SIGPIPE at its default, as a process that never changed it has it.
TEST_F(WaitEvents, AnAnswerToAWaiterThatDiedSinceTheOpenFailsWithoutEndingTheSetter) {
  ASSERT_EQ(mkfifo(path("gone").c_str(), 0600), 0);
  UniqueFd reader = openReader(path("gone"));
  const UniqueFd writer(open(path("gone").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(writer.valid());
  reader.reset();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGPIPE, SIG_DFL);
    _exit(writeWaitAnswer(writer.get(), WaitAnswer::Done) == AnswerDelivery::WaiterGone ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  reader = openReader(path("gone"));
  EXPECT_EQ(writeWaitAnswer(writer.get(), WaitAnswer::Refused), AnswerDelivery::Written);
  char byte = 0;
  EXPECT_EQ(read(reader.get(), &byte, 1), 1);
  EXPECT_EQ(byte, static_cast<char>(WaitAnswer::Refused));
}

}  // namespace
