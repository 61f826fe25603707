#include "platform/atomic_write.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class AtomicWrite : public ScratchDirTest {
 protected:
  // The temporary save files left in the directory.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      if (name.find(".qz-save-") != std::string::npos) names.push_back(name);
    }
    return names;
  }
  mode_t modeOf(std::string_view relative) const {
    struct stat info;
    EXPECT_EQ(stat(path(relative).c_str(), &info), 0);
    return info.st_mode & 07777;
  }
};

void expectWritten(const AtomicWriteResult& result) {
  EXPECT_EQ(result.status, AtomicWriteStatus::Written)
      << (result.error.step ? result.error.step : "") << " " << result.error.code;
}

void expectFailure(const AtomicWriteResult& result, const char* step, int code) {
  EXPECT_EQ(result.status, AtomicWriteStatus::Failed);
  EXPECT_STREQ(result.error.step, step);
  EXPECT_EQ(result.error.code, code);
}

TEST_F(AtomicWrite, NewFileGetsExactBytesAndTheUsualMode) {
  const std::string content("a\0b\r\n\xFF", 6);
  const mode_t mask = umask(022);
  expectWritten(writeFileAtomic(path("new.txt"), content));
  umask(mask);
  EXPECT_EQ(readText("new.txt"), content);
  EXPECT_EQ(modeOf("new.txt"), 0644u);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(AtomicWrite, EmptyContentGivesAnEmptyFile) {
  writeText("f", "old");
  expectWritten(writeFileAtomic(path("f"), ""));
  EXPECT_EQ(readText("f"), "");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(AtomicWrite, ReplacedFileKeepsItsPermissionBits) {
  writeText("run.sh", "old");
  fs::permissions(path("run.sh"), static_cast<fs::perms>(0755));
  expectWritten(writeFileAtomic(path("run.sh"), "new"));
  EXPECT_EQ(readText("run.sh"), "new");
  EXPECT_EQ(modeOf("run.sh"), 0755u);
}

TEST_F(AtomicWrite, ReadOnlyTargetIsRefusedBeforeAnythingIsCreated) {
  writeText("ro", "keep");
  fs::permissions(path("ro"), static_cast<fs::perms>(0444));
  EXPECT_EQ(writeFileAtomic(path("ro"), "new").status, AtomicWriteStatus::ReadOnly);
  EXPECT_EQ(readText("ro"), "keep");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(AtomicWrite, SaveThroughALinkReplacesTheLinkedFile) {
  fs::create_directory(dir / "real");
  writeText("real/doc.txt", "old");
  fs::permissions(path("real/doc.txt"), static_cast<fs::perms>(0640));
  fs::create_symlink("real/doc.txt", dir / "link.txt");
  fs::create_symlink("link.txt", dir / "link2.txt");
  expectWritten(writeFileAtomic(path("link2.txt"), "new"));
  EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
  EXPECT_TRUE(fs::is_symlink(dir / "link2.txt"));
  EXPECT_EQ(readText("real/doc.txt"), "new");
  EXPECT_EQ(modeOf("real/doc.txt"), 0640u);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(AtomicWrite, SaveThroughADanglingLinkCreatesItsTarget) {
  fs::create_symlink("made.txt", dir / "link.txt");
  expectWritten(writeFileAtomic(path("link.txt"), "x"));
  EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
  EXPECT_EQ(readText("made.txt"), "x");
}

TEST_F(AtomicWrite, FailuresLeaveTheTargetAndNoTemporaryFile) {
  expectFailure(writeFileAtomic(path("missing/f"), "x"), "temporary file creation", ENOENT);
  fs::create_directory(dir / "d");
  expectFailure(writeFileAtomic(path("d"), "x"), "file replacement", EISDIR);
  EXPECT_TRUE(fs::is_directory(dir / "d"));
  fs::create_symlink("loop", dir / "loop");
  expectFailure(writeFileAtomic(path("loop"), "x"), "temporary file creation", ELOOP);
  expectFailure(writeFileAtomic(path("f") + std::string("\0", 1), "x"), "path conversion", EINVAL);
  EXPECT_FALSE(fs::exists(dir / "f"));
  EXPECT_TRUE(leftovers().empty());
}

// A rename would turn a pipe, socket or device into a regular file, and its readers would never see the save.
TEST_F(AtomicWrite, TargetThatIsNoRegularFileIsRefusedAndKeepsItsKind) {
  const auto makeSocket = [](const std::string& at) {
    const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, at.c_str());
    ASSERT_EQ(bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << at;
  };
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  const struct {
    const char* name;
    std::function<void(const std::string&)> make;
    mode_t kind;
  } cases[] = {
      {"pipe", [](const std::string& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); }, S_IFIFO},
      {"link to a pipe", [this](const std::string& at) { fs::create_symlink(path("fifo"), at); }, S_IFIFO},
      {"socket", makeSocket, S_IFSOCK},
  };
  for (const auto& c : cases) {
    const std::string target = path(c.name);
    c.make(target);
    expectFailure(writeFileAtomic(target, "new"), "file replacement", EINVAL);
    struct stat after;
    ASSERT_EQ(stat(target.c_str(), &after), 0) << c.name;
    EXPECT_EQ(after.st_mode & S_IFMT, c.kind) << c.name;
    int error = 0;
    writeText("source", "x");
    EXPECT_FALSE(replaceFile(path("source"), target, error)) << c.name;
    EXPECT_EQ(error, EINVAL) << c.name;
    EXPECT_EQ(readText("source"), "x") << c.name;
  }
  EXPECT_TRUE(fs::is_symlink(dir / "link to a pipe"));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(AtomicWrite, LeftoverTemporaryFileIsSkippedAndKept) {
  const uint64_t next = nextSaveAttemptNumber() + 1;
  const std::string leftover = "f.qz-save-" + std::to_string(next);
  writeText(leftover, "stale");
  expectWritten(writeFileAtomic(path("f"), "fresh"));
  EXPECT_EQ(readText("f"), "fresh");
  EXPECT_EQ(readText(leftover), "stale");
  EXPECT_EQ(leftovers(), std::vector<std::string>{leftover});
}

TEST_F(AtomicWrite, ConcurrentSavesOfOneTargetEachLandWhole) {
  std::vector<std::thread> threads;
  for (char letter = 'a'; letter < 'e'; ++letter) {
    threads.emplace_back([this, letter] {
      for (int i = 0; i < 20; ++i) expectWritten(writeFileAtomic(path("shared"), std::string(5000, letter)));
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string content = readText("shared");
  ASSERT_EQ(content.size(), 5000u);
  EXPECT_EQ(content, std::string(5000, content[0]));
  EXPECT_TRUE(leftovers().empty());
}

// A child saves two versions in turn, forever; after its first save it writes one byte to ready.
[[noreturn]] void saveForever(const std::string& target, const std::string& first, const std::string& second,
                              int ready) {
  for (uint64_t round = 0;; ++round) {
    if (writeFileAtomic(target, round % 2 == 0 ? first : second).status != AtomicWriteStatus::Written) _exit(3);
    if (round == 0 && write(ready, "s", 1) != 1) _exit(4);
  }
}

TEST_F(AtomicWrite, KillingASaveAtRandomLeavesTheOldOrTheNewContent) {
  const std::string versionA(300000, 'a');
  const std::string versionB = std::string(170000, 'b') + "end";
  const std::string target = path("doc.txt");
  writeText("doc.txt", versionA);
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> delayMicroseconds(0, 8000);
  for (int round = 0; round < 60; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      saveForever(target, versionB, versionA, ready[1]);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the child saved nothing";
    close(ready[0]);
    usleep(static_cast<useconds_t>(delayMicroseconds(random)));  // the random point of the kill
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself with " << WEXITSTATUS(status);
    const std::string content = readText("doc.txt");
    ASSERT_TRUE(content == versionA || content == versionB) << "round " << round << ": " << content.size() << " bytes";
    for (const std::string& name : leftovers()) fs::remove(dir / name);
  }
}

}  // namespace
