#include "platform/atomic_write.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "deep_directory.h"
#include "file_owners.h"
#include "platform/save_temporary.h"
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

// A file marked immutable can be neither written nor replaced, whatever its bits say: it is read-only for
// every save, before anything is created, as a file without write bits is.
TEST_F(AtomicWrite, AnImmutableTargetIsReadOnly) {
  writeText("fixed", "keep");
  const auto setImmutable = [this](bool on) {
    const UniqueFd file(open(path("fixed").c_str(), O_RDONLY | O_CLOEXEC));
    int flags = 0;
    if (ioctl(file.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ioctl(file.get(), FS_IOC_SETFLAGS, &flags) == 0;
  };
  if (!setImmutable(true)) GTEST_SKIP() << "marking a file immutable needs root and a file system that keeps it";
  const AtomicWriteStatus status = writeFileAtomic(path("fixed"), "new").status;
  const std::vector<std::string> left = leftovers();
  ASSERT_TRUE(setImmutable(false));
  EXPECT_EQ(status, AtomicWriteStatus::ReadOnly);
  EXPECT_EQ(readText("fixed"), "keep");
  EXPECT_TRUE(left.empty());
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

// In a directory that everyone may write and only owners may remove from (sticky, as /tmp is), a link
// planted by another user is not followed, as the system's own protection of such links refuses it: a save
// there would write wherever that user points it. A link of the saving user, or of the directory's owner, is.
TEST_F(AtomicWrite, ALinkOfAnotherUserInAStickySharedDirectoryIsNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "only root makes a link of another user";
  fs::create_directory(dir / "shared");
  ASSERT_EQ(chmod(path("shared").c_str(), 01777), 0);
  writeText("mine", "kept");
  fs::create_symlink("../mine", dir / "shared/planted");
  ASSERT_EQ(lchown(path("shared/planted").c_str(), 65534, 65534), 0);
  expectFailure(writeFileAtomic(path("shared/planted"), "new"), "temporary file creation", EACCES);
  EXPECT_EQ(readText("mine"), "kept");
  EXPECT_TRUE(fs::is_symlink(dir / "shared/planted"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "shared"), fs::directory_iterator()), 1);

  ASSERT_EQ(chown(path("shared").c_str(), 65534, 65534), 0);  // the directory's owner made it
  expectWritten(writeFileAtomic(path("shared/planted"), "theirs"));
  EXPECT_EQ(readText("mine"), "theirs");
  ASSERT_EQ(chown(path("shared").c_str(), 0, 0), 0);
  ASSERT_EQ(lchown(path("shared/planted").c_str(), 0, 0), 0);  // this user made it
  expectWritten(writeFileAtomic(path("shared/planted"), "new"));
  EXPECT_EQ(readText("mine"), "new");
  ASSERT_EQ(chmod(path("shared").c_str(), 0777), 0);  // not sticky: any link is followed
  ASSERT_EQ(lchown(path("shared/planted").c_str(), 65534, 65534), 0);
  expectWritten(writeFileAtomic(path("shared/planted"), "again"));
  EXPECT_EQ(readText("mine"), "again");
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
  }
  EXPECT_TRUE(fs::is_symlink(dir / "link to a pipe"));
  EXPECT_TRUE(leftovers().empty());
}

// "<name>" repeated until the name is `bytes` long; names of CJK characters are three bytes a character.
std::string nameOfLength(size_t bytes, std::string_view unit = "n") {
  std::string name;
  while (name.size() + unit.size() <= bytes) name += unit;
  return name;
}

constexpr std::string_view kCjkCharacter = "\u6587";

// The system takes names of up to 255 bytes; the temporary file's name gets shorter where it must.
TEST_F(AtomicWrite, NamesUpToTheSystemLimitAreSavedAndReplaced) {
  const std::string names[] = {
      nameOfLength(255),
      nameOfLength(246),
      nameOfLength(245),
      nameOfLength(82 * 3, kCjkCharacter),
      nameOfLength(85 * 3, kCjkCharacter),
      "n" + nameOfLength(84 * 3, kCjkCharacter),   // shortened names are cut between characters, whatever
      "nn" + nameOfLength(84 * 3, kCjkCharacter),  // the offset
      "short",
  };
  for (const std::string& name : names) {
    expectWritten(writeFileAtomic(path(name), "first"));
    EXPECT_EQ(readText(name), "first") << name.size();
    ASSERT_EQ(chmod(path(name).c_str(), 0640), 0) << name.size();
    expectWritten(writeFileAtomic(path(name), "second"));
    EXPECT_EQ(readText(name), "second") << name.size();
    EXPECT_EQ(modeOf(name), 0640u) << name.size();
    EXPECT_TRUE(leftovers().empty()) << name.size();
  }
}

TEST_F(AtomicWrite, ANameOverTheSystemLimitFailsBeforeAnythingIsCreated) {
  expectFailure(writeFileAtomic(path(nameOfLength(256)), "x"), "temporary file creation", ENAMETOOLONG);
  expectFailure(writeFileAtomic(path(nameOfLength(86 * 3, kCjkCharacter)), "x"), "temporary file creation",
                ENAMETOOLONG);
  EXPECT_TRUE(fs::is_empty(dir));
}

// One system call takes paths of up to 4095 bytes; a save reaches its files through their directory, so a
// target at that length, or past it with a short name in a directory near it, is saved and replaced.
TEST_F(AtomicWrite, APathAtOrPastTheSystemCallLimitIsSaved) {
  for (const size_t directoryLength : {size_t{4000}, size_t{4090}}) {
    const qztest::DeepDirectory directory(dir, directoryLength);
    for (const size_t targetLength : {size_t{4095}, size_t{4096}, directoryLength + 2}) {
      const std::string name = nameOfLength(targetLength - directoryLength - 1);
      expectWritten(writeFileAtomic(directory / name, "first"));
      expectWritten(writeFileAtomic(directory / name, "second"));
      EXPECT_EQ(directory.read(name), "second") << targetLength;
    }
    EXPECT_EQ(directory.entries(), 3u);
  }
}

// The replaced file keeps its owner, group and bits as far as the saver may give them: root gives it back to
// its owner, and a member of its group who may write it keeps the group for the others.
TEST_F(AtomicWrite, ReplacedFileKeepsItsOwnerGroupAndBitsAsFarAsTheSaverMay) {
  if (geteuid() != 0) GTEST_SKIP() << "only root makes another user's file";
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);  // the member saves here too
  for (const bool byMember : {false, true}) {
    writeText("theirs", "old");
    ASSERT_TRUE(qztest::makeGroupWritableFile(path("theirs")));
    const auto save = [&] { return writeFileAtomic(path("theirs"), "new").status == AtomicWriteStatus::Written; };
    EXPECT_TRUE(byMember ? qztest::saveAsGroupMember(save) : save()) << byMember;
    EXPECT_EQ(qztest::ownershipOf(path("theirs")), byMember ? qztest::kSavedByGroupMember : qztest::kGroupWritableFile);
    EXPECT_EQ(readText("theirs"), "new");
  }
}

// A set-user-ID bit runs the file as its owner and a set-group-ID bit as its group: each stays only where the
// saver kept that owner or group, or a member of a root file's group would make a program that runs as the
// member.
TEST_F(AtomicWrite, SetIdBitsStayOnlyWithTheOwnerAndGroupTheyWereFor) {
  if (geteuid() != 0) GTEST_SKIP() << "only root makes another user's file";
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);  // the member saves here too
  const uid_t member = qztest::kSavedByGroupMember.owner;
  const gid_t shared = qztest::kSavedByGroupMember.group;
  const struct {
    const char* name;
    qztest::FileOwnership before;
    bool byMember;
    qztest::FileOwnership after;
  } cases[] = {
      {"root keeps both", {0, shared, 06775}, false, {0, shared, 06775}},
      {"a member keeps the group", {0, shared, 06775}, true, {member, shared, 02775}},
      {"another user keeps neither", {0, 999, 06777}, true, {member, member, 0777}},
      {"the owner keeps both", {member, shared, 06755}, true, {member, shared, 06755}},
  };
  for (const auto& c : cases) {
    writeText("program", "old");
    ASSERT_EQ(chown(path("program").c_str(), c.before.owner, c.before.group), 0);
    ASSERT_EQ(chmod(path("program").c_str(), c.before.mode), 0);
    const auto save = [&] { return writeFileAtomic(path("program"), "new").status == AtomicWriteStatus::Written; };
    EXPECT_TRUE(c.byMember ? qztest::saveAsGroupMember(save) : save()) << c.name;
    EXPECT_EQ(qztest::ownershipOf(path("program")), c.after) << c.name;
  }
}

// An access control list is part of who may use the file: a user it lets write the file still may after a
// save, and a file without one gets none from its directory's default.
TEST_F(AtomicWrite, ReplacedFileKeepsItsAccessControlList) {
  writeText("shared", "old");
  ASSERT_EQ(chmod(path("shared").c_str(), 0640), 0);
  const std::string acl = qztest::aclAlsoGranting(4321, 0660);
  if (!qztest::setAcl(path("shared"), qztest::kAccessAcl, acl)) {
    GTEST_SKIP() << "the scratch directory's file system keeps no access control lists";
  }
  writeText("plain", "old");
  ASSERT_TRUE(qztest::setAcl(dir.string(), qztest::kDefaultAcl, qztest::aclAlsoGranting(999, 0770)));
  for (const char* name : {"shared", "plain"}) {
    const mode_t before = modeOf(name);
    expectWritten(writeFileAtomic(path(name), "new"));
    EXPECT_EQ(readText(name), "new");
    EXPECT_EQ(modeOf(name), before) << name;
  }
  EXPECT_EQ(qztest::aclOf(path("shared"), qztest::kAccessAcl), acl);
  EXPECT_EQ(qztest::aclOf(path("plain"), qztest::kAccessAcl), "");
}

// A directory its owner may enter and write but not list is still a place to save in.
TEST_F(AtomicWrite, ADirectoryThatCannotBeListedIsSavedIn) {
  if (geteuid() != 0) GTEST_SKIP() << "only root becomes another user for the test";
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  fs::create_directory(dir / "drop");
  writeText("drop/f", "old");
  ASSERT_EQ(chown(path("drop").c_str(), qztest::kSavedByGroupMember.owner, 0), 0);
  ASSERT_EQ(chown(path("drop/f").c_str(), qztest::kSavedByGroupMember.owner, 0), 0);
  ASSERT_EQ(chmod(path("drop").c_str(), 0300), 0);
  EXPECT_TRUE(qztest::saveAsGroupMember(
      [&] { return writeFileAtomic(path("drop/f"), "new").status == AtomicWriteStatus::Written; }));
  ASSERT_EQ(chmod(path("drop").c_str(), 0700), 0);
  EXPECT_EQ(readText("drop/f"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "drop"), fs::directory_iterator()), 1);
}

// A 255-byte name that ends as its own shortened temporary name would: the target is never taken for a stray.
TEST_F(AtomicWrite, ATargetNamedAsItsOwnTemporaryFileKeepsItsContentUntilReplaced) {
  const std::string suffix = ".qz-save-" + std::to_string(nextSaveAttemptNumber() + 1);
  const std::string name = nameOfLength(255 - suffix.size()) + suffix;
  writeText(name, "old");
  expectWritten(writeFileAtomic(path(name), "new"));
  EXPECT_EQ(readText(name), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

// A save killed midway leaves its temporary file, which no save holds any more: the next save of the same
// target that meets its name removes it and takes the name, however many there are.
TEST_F(AtomicWrite, StraysOfKilledSavesAreRemovedWhenASaveMeetsThem) {
  const uint64_t next = nextSaveAttemptNumber() + 1;
  for (uint64_t number = next; number < next + 128; ++number) {
    writeText("f.qz-save-" + std::to_string(number), "partial");
  }
  expectWritten(writeFileAtomic(path("f"), "fresh"));
  EXPECT_EQ(readText("f"), "fresh");
  EXPECT_EQ(leftovers().size(), 127u);
  EXPECT_FALSE(fs::exists(path("f.qz-save-" + std::to_string(next))));
}

// Only a regular file can be a stray: a link, a directory or a pipe of that name is someone else's.
TEST_F(AtomicWrite, ANameTakenByNoRegularFileIsSkippedAndKept) {
  const uint64_t next = nextSaveAttemptNumber() + 1;
  writeText("elsewhere", "kept");
  fs::create_symlink("elsewhere", dir / ("f.qz-save-" + std::to_string(next)));
  fs::create_directory(dir / ("f.qz-save-" + std::to_string(next + 1)));
  ASSERT_EQ(mkfifo(path("f.qz-save-" + std::to_string(next + 2)).c_str(), 0600), 0);
  expectWritten(writeFileAtomic(path("f"), "fresh"));
  EXPECT_EQ(readText("f"), "fresh");
  EXPECT_TRUE(fs::is_symlink(dir / ("f.qz-save-" + std::to_string(next))));
  EXPECT_TRUE(fs::is_directory(dir / ("f.qz-save-" + std::to_string(next + 1))));
  EXPECT_EQ(fs::status(dir / ("f.qz-save-" + std::to_string(next + 2))).type(), fs::file_type::fifo);
  EXPECT_EQ(readText("elsewhere"), "kept");
  EXPECT_EQ(leftovers().size(), 3u);
}

// A child process that has created its temporary file, as a save does, and is still writing it when the
// parent saves: forked, it takes the same save numbers as the parent.
TEST_F(AtomicWrite, ATemporaryFileOfASaveStillRunningInAnotherProcessIsNeverRemoved) {
  int created[2], finish[2];
  ASSERT_EQ(pipe(created), 0);
  ASSERT_EQ(pipe(finish), 0);
  const uint64_t next = nextSaveAttemptNumber() + 1;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(created[0]);
    close(finish[1]);
    SaveTemporary temporary;
    int error = 0;
    const SaveTemporaryNaming naming{".qz-save-", &nextSaveAttemptNumber, 1};
    SaveTarget target = resolveSaveTarget(path("f"));
    if (!temporary.create(target, naming, O_WRONLY, error)) _exit(1);
    if (write(temporary.fd(), "partial", 7) != 7 || write(created[1], "c", 1) != 1) _exit(2);
    char byte = 0;
    [[maybe_unused]] const ssize_t ignored = read(finish[0], &byte, 1);
    _exit(0);
  }
  close(created[1]);
  close(finish[0]);
  char byte = 0;
  ASSERT_EQ(read(created[0], &byte, 1), 1) << "the child created no temporary file";
  close(created[0]);
  const std::string held = "f.qz-save-" + std::to_string(next);
  expectWritten(writeFileAtomic(path("f"), "fresh"));
  EXPECT_EQ(readText("f"), "fresh");
  EXPECT_EQ(readText(held), "partial");
  close(finish[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Gone with its process, the file is a stray: the next save to meet its name takes it.
  EXPECT_EQ(leftovers(), std::vector<std::string>{held});
}

// Two processes forked from one take the same save numbers, so their saves of one target meet at every
// temporary name, each taking the other's new file for a stray at times; every save still lands whole.
TEST_F(AtomicWrite, TwoProcessesSavingOneTargetAtOnceEachLandEverySave) {
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  pid_t children[2];
  for (int i = 0; i < 2; ++i) {
    children[i] = fork();
    ASSERT_GE(children[i], 0);
    if (children[i] == 0) {
      close(start[1]);
      char byte = 0;
      if (read(start[0], &byte, 1) != 0) _exit(1);
      const std::string content(3000, i == 0 ? 'a' : 'b');
      for (int round = 0; round < 300; ++round) {
        if (writeFileAtomic(path("shared"), content).status != AtomicWriteStatus::Written) _exit(2);
      }
      _exit(0);
    }
  }
  close(start[0]);
  close(start[1]);  // both start at once
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string content = readText("shared");
  ASSERT_EQ(content.size(), 3000u);
  EXPECT_EQ(content, std::string(3000, content[0]));
  EXPECT_TRUE(leftovers().empty());
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
