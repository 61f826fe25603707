#include "platform/save_temporary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "file_owners.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

std::string repeated(std::string_view unit, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += unit;
  return text;
}

constexpr std::string_view kCjk = "\u6587";

TEST(ShortenedTemporaryName, KeepsNamesThatFitAndCutsOthersBetweenCharacters) {
  const struct {
    std::string target;
    std::string suffix;
    size_t limit;
    std::string expected;
  } cases[] = {
      {"abc", ".s-1", 255, "abc.s-1"},
      {std::string(251, 'a'), ".s-1", 255, std::string(251, 'a') + ".s-1"},
      {std::string(252, 'a'), ".s-1", 255, std::string(251, 'a') + ".s-1"},
      {std::string(255, 'a'), ".s-12", 255, std::string(250, 'a') + ".s-12"},
      {repeated(kCjk, 85), ".s-1", 255, repeated(kCjk, 83) + ".s-1"},
      {"x" + repeated(kCjk, 84), ".s-1", 255, "x" + repeated(kCjk, 83) + ".s-1"},
      {"xy" + repeated(kCjk, 84), ".s-1", 255, "xy" + repeated(kCjk, 83) + ".s-1"},
      {"abcdef", ".s-1", 6, "ab.s-1"},
      {"abcdef", ".s-100", 6, ".s-100"},
      {"abcdef", ".s-1000", 6, ".s-1000"},
      {"abcdef", ".s-1", 5, "a.s-1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shortenedTemporaryName(c.target, c.suffix, c.limit), c.expected) << c.target.size() << " " << c.suffix;
  }
}

uint64_t nextTestNumber() {
  static uint64_t number = 0;
  return number++;
}

class SaveTemporaryTest : public ScratchDirTest {
 protected:
  // Creates a temporary file for the save of `target`, a path in the scratch directory.
  static bool create(SaveTemporary& temporary, const std::string& target, const SaveTemporaryNaming& naming,
                     int& error) {
    SaveTarget resolved = resolveSaveTarget(target);
    return temporary.create(resolved, naming, O_WRONLY, error);
  }
  size_t entries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  }
};

TEST_F(SaveTemporaryTest, DiscardRemovesTheFileAndInstallMovesItOverTheTarget) {
  const SaveTemporaryNaming naming{".t-", &nextTestNumber, 4};
  int error = 0;
  {
    SaveTemporary dropped;
    ASSERT_TRUE(create(dropped, path("f"), naming, error)) << error;
    EXPECT_EQ(entries(), 1u);
  }
  EXPECT_EQ(entries(), 0u);
  SaveTemporary temporary;
  ASSERT_TRUE(create(temporary, path("f"), naming, error)) << error;
  ASSERT_EQ(write(temporary.fd(), "new", 3), 3);
  ASSERT_TRUE(temporary.closeFile(error)) << error;
  ASSERT_EQ(temporary.install(path("f"), error), SaveTemporary::Install::Installed) << error;
  temporary.discard();
  EXPECT_EQ(readText("f"), "new");
  EXPECT_EQ(entries(), 1u);
}

// A ZIP writer or a download keeps its file open for as long as a script likes: two descriptors (the file and
// its directory) while it is written and from the close to the install, and none afterwards.
TEST_F(SaveTemporaryTest, AFileBeingWrittenHoldsTwoDescriptors) {
  const auto openDescriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  const SaveTemporaryNaming naming{".t-", &nextTestNumber, 4};
  const auto before = openDescriptors();
  int error = 0;
  SaveTemporary temporary;
  ASSERT_TRUE(create(temporary, path("f"), naming, error)) << error;
  EXPECT_EQ(openDescriptors(), before + 2);
  ASSERT_TRUE(temporary.closeFile(error)) << error;
  EXPECT_EQ(openDescriptors(), before + 2);
  ASSERT_EQ(temporary.install(path("f"), error), SaveTemporary::Install::Installed) << error;
  EXPECT_EQ(openDescriptors(), before);
}

// The destination is resolved again at the install: what it has become since the file was created counts.
TEST_F(SaveTemporaryTest, InstallFollowsTheLinksOfNowAndKeepsAFileMadeReadOnlyMeanwhile) {
  const SaveTemporaryNaming naming{".t-", &nextTestNumber, 4};
  writeText("f", "old");
  writeText("g", "other");
  int error = 0;
  SaveTemporary relinked;
  ASSERT_TRUE(create(relinked, path("f"), naming, error)) << error;
  ASSERT_EQ(write(relinked.fd(), "new", 3), 3);
  fs::remove(dir / "f");
  fs::create_symlink("g", dir / "f");
  EXPECT_EQ(relinked.install(path("f"), error), SaveTemporary::Install::Installed) << error;
  EXPECT_TRUE(fs::is_symlink(dir / "f"));
  EXPECT_EQ(readText("g"), "new");

  SaveTemporary refused;
  ASSERT_TRUE(create(refused, path("f"), naming, error)) << error;
  ASSERT_EQ(chmod(path("g").c_str(), 0444), 0);
  EXPECT_EQ(refused.install(path("f"), error), SaveTemporary::Install::ReadOnly);
  EXPECT_EQ(readText("g"), "new");
  refused.discard();
  EXPECT_EQ(entries(), 2u);
}

// A save whose directory is renamed while it runs fails at the install, and its file is removed from where
// the directory went.
TEST_F(SaveTemporaryTest, AFileWhoseDirectoryWasRenamedIsRemovedFromWhereItWent) {
  const SaveTemporaryNaming naming{".t-", &nextTestNumber, 4};
  fs::create_directory(dir / "before");
  writeText("before/f", "old");
  int error = 0;
  SaveTemporary temporary;
  ASSERT_TRUE(create(temporary, path("before/f"), naming, error)) << error;
  ASSERT_EQ(write(temporary.fd(), "new", 3), 3);
  ASSERT_TRUE(temporary.closeFile(error)) << error;
  fs::rename(dir / "before", dir / "after");
  EXPECT_EQ(temporary.install(path("before/f"), error), SaveTemporary::Install::Failed);
  temporary.discard();
  EXPECT_EQ(readText("after/f"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "after"), fs::directory_iterator()), 1);
}

// The link followed again at the install may lead elsewhere than at the creation, and the file there may have
// been given away meanwhile: the file installed takes the owner, group, bits and list of the file it replaces
// then, and where it replaces none it is the saver's, so the first file's owner is never handed the file at
// the link's new end.
TEST_F(SaveTemporaryTest, TheInstalledFileTakesTheOwnershipOfWhatItReplacesAtTheInstall) {
  if (geteuid() != 0) GTEST_SKIP() << "only root makes another user's file";
  const SaveTemporaryNaming naming{".t-", &nextTestNumber, 4};
  const auto relink = [this] {
    fs::remove(dir / "link");
    fs::create_symlink("second", dir / "link");
  };
  const struct {
    const char* name;
    std::function<void()> meanwhile;
    const char* installedAs;
    qztest::FileOwnership after;
  } cases[] = {
      {"another file",
       [&] {
         writeText("second", "theirs");
         EXPECT_EQ(chmod(path("second").c_str(), 0600), 0);
         relink();
       },
       "second",
       {0, 0, 0600}},
      {"no file", relink, "second", {geteuid(), getegid(), 0664}},
      {"the same file given away",
       [this] {
         EXPECT_EQ(chown(path("first").c_str(), 4321, 0), 0);
         EXPECT_EQ(chmod(path("first").c_str(), 0640), 0);
       },
       "first",
       {4321, 0, 0640}},
  };
  const std::string acl = qztest::aclAlsoGranting(4321, 0664);
  for (const auto& c : cases) {
    writeText("first", "old");
    ASSERT_TRUE(qztest::makeGroupWritableFile(path("first")));
    ASSERT_TRUE(qztest::setAcl(path("first"), qztest::kAccessAcl, acl) || errno == EOPNOTSUPP);
    fs::create_symlink("first", dir / "link");
    int error = 0;
    SaveTemporary temporary;
    ASSERT_TRUE(create(temporary, path("link"), naming, error)) << error;
    ASSERT_EQ(write(temporary.fd(), "new", 3), 3);
    ASSERT_TRUE(temporary.sync(error)) << error;
    ASSERT_TRUE(temporary.closeFile(error)) << error;
    c.meanwhile();
    EXPECT_EQ(temporary.install(path("link"), error), SaveTemporary::Install::Installed) << c.name << ": " << error;
    EXPECT_EQ(readText(c.installedAs), "new") << c.name;
    EXPECT_EQ(qztest::ownershipOf(path(c.installedAs)), c.after) << c.name;
    EXPECT_NE(qztest::aclOf(path(c.installedAs), qztest::kAccessAcl), acl) << c.name;
    for (const char* name : {"first", "second", "link"}) fs::remove(dir / name);
    EXPECT_EQ(entries(), 0u) << c.name;
  }
}

// A conditional install looks at the very file it replaces: a file that another program puts at the destination
// after the destination was resolved, and before the rename, is never replaced, nor is one put where there
// was none; both files stay as they were.
TEST_F(SaveTemporaryTest, AConditionalInstallReplacesOnlyAFileThatMeetsItsCondition) {
  const SaveTemporaryNaming naming{".t-", &nextTestNumber, 4};
  const struct {
    const char* name;
    bool expectsFile;  // the condition: the file there at the creation, or nothing
    std::function<void()> meanwhile;
    SaveTemporary::Install result;
    std::optional<std::string> after;  // the destination's content, nothing when there is none
  } cases[] = {
      {"the file expected", true, [] {}, SaveTemporary::Install::Installed, "new"},
      {"nothing as expected", false, [] {}, SaveTemporary::Install::Installed, "new"},
      {"another file moved there", true,
       [this] {
         writeText("other", "theirs");
         fs::rename(dir / "other", dir / "f");
       },
       SaveTemporary::Install::Refused, "theirs"},
      {"a file where there was none", false, [this] { writeText("f", "theirs"); }, SaveTemporary::Install::Refused,
       "theirs"},
      {"the file expected removed", true, [this] { fs::remove(dir / "f"); }, SaveTemporary::Install::Refused,
       std::nullopt},
  };
  for (const auto& c : cases) {
    std::optional<struct stat> expected;
    if (c.expectsFile) {
      writeText("f", "old");
      struct stat info;
      ASSERT_EQ(stat(path("f").c_str(), &info), 0);
      expected = info;
    }
    const SaveTemporary::Condition condition = [&](const std::optional<struct stat>& found) {
      return found ? expected && found->st_dev == expected->st_dev && found->st_ino == expected->st_ino : !expected;
    };
    int error = 0;
    SaveTemporary temporary;
    ASSERT_TRUE(create(temporary, path("f"), naming, error)) << error;
    ASSERT_EQ(write(temporary.fd(), "new", 3), 3);
    ASSERT_TRUE(temporary.closeFile(error)) << error;
    const SaveTarget target = temporary.resolveAgain(path("f"));
    c.meanwhile();
    EXPECT_EQ(temporary.install(target, condition, error), c.result) << c.name << ": " << error;
    temporary.discard();
    EXPECT_EQ(fs::exists(dir / "f") ? std::optional<std::string>(readText("f")) : std::nullopt, c.after) << c.name;
    EXPECT_EQ(entries(), c.after ? 1u : 0u) << c.name;
    fs::remove(dir / "f");
  }
}

// A temporary file that another program removes while its save runs frees its name for the next save; the
// first save then neither installs the file now under that name nor removes it.
TEST_F(SaveTemporaryTest, AFileRemovedMidwayLeavesWhatTookItsNameAlone) {
  static uint64_t fixed = 0;
  const SaveTemporaryNaming naming{".t-", [] { return fixed; }, 1};
  writeText("f", "old");
  int error = 0;
  SaveTemporary first;
  ASSERT_TRUE(create(first, path("f"), naming, error)) << error;
  ASSERT_EQ(unlink(path(first.name()).c_str()), 0);
  SaveTemporary second;
  ASSERT_TRUE(create(second, path("f"), naming, error)) << error;
  ASSERT_EQ(write(second.fd(), "part", 4), 4);
  ASSERT_TRUE(first.closeFile(error)) << error;
  EXPECT_EQ(first.install(path("f"), error), SaveTemporary::Install::Failed);
  EXPECT_EQ(error, ENOENT);
  first.discard();
  EXPECT_EQ(readText("f"), "old");
  EXPECT_EQ(readText("f.t-0"), "part");
}

// Names taken by what is no stray are skipped, and when every name tried is taken creation fails with EEXIST.
TEST_F(SaveTemporaryTest, EveryNameTakenFailsWithFileExists) {
  static uint64_t fixed = 0;
  const SaveTemporaryNaming naming{".t-", [] { return fixed; }, 3};
  fs::create_directory(dir / "f.t-0");
  SaveTemporary temporary;
  int error = 0;
  EXPECT_FALSE(create(temporary, path("f"), naming, error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(entries(), 1u);
}

// A process that dies with its temporary file open leaves a stray; the next save to meet its name takes it.
TEST_F(SaveTemporaryTest, TheStrayOfAProcessThatDiedIsRemovedAndItsNameTaken) {
  static uint64_t fixed = 0;
  const SaveTemporaryNaming naming{".t-", [] { return fixed; }, 1};
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SaveTemporary temporary;
    int error = 0;
    if (!create(temporary, path("f"), naming, error)) _exit(1);
    _exit(write(temporary.fd(), "partial", 7) == 7 ? 0 : 2);  // dies without discarding
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(readText("f.t-0"), "partial");
  SaveTemporary temporary;
  int error = 0;
  ASSERT_TRUE(create(temporary, path("f"), naming, error)) << error;
  EXPECT_EQ(temporary.name(), "f.t-0");
  EXPECT_EQ(readText("f.t-0"), "");
}

// A target whose name is what one of its shortened temporary names would be is never written in place, also
// while it does not exist yet.
TEST_F(SaveTemporaryTest, ANameThatIsTheTargetItselfIsSkipped) {
  static uint64_t number = 0;
  const SaveTemporaryNaming naming{".t-", [] { return number++; }, 2};
  const std::string target = path(std::string(251, 'n') + ".t-0");
  SaveTemporary temporary;
  int error = 0;
  ASSERT_TRUE(create(temporary, target, naming, error)) << error;
  EXPECT_EQ(temporary.name(), std::string(251, 'n') + ".t-1");
  EXPECT_FALSE(fs::exists(target));
}

// A temporary file never gets a second name, so a file that has one (a hard link named as a temporary file)
// is someone's own file: it keeps both names.
TEST_F(SaveTemporaryTest, AFileWithASecondNameIsNoStray) {
  static uint64_t fixed = 0;
  const SaveTemporaryNaming naming{".t-", [] { return fixed; }, 1};
  writeText("kept", "theirs");
  ASSERT_EQ(link(path("kept").c_str(), path("f.t-0").c_str()), 0);
  SaveTemporary temporary;
  int error = 0;
  EXPECT_FALSE(create(temporary, path("f"), naming, error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(readText("f.t-0"), "theirs");
  EXPECT_EQ(entries(), 2u);
}

// Another user's file is never removed, nor one this process holds open and locked as a save does.
TEST_F(SaveTemporaryTest, AFileOfAnotherUserOrOfALiveSaveIsKept) {
  static uint64_t fixed = 0;
  const SaveTemporaryNaming naming{".t-", [] { return fixed; }, 1};
  SaveTemporary live;
  int error = 0;
  ASSERT_TRUE(create(live, path("f"), naming, error)) << error;
  SaveTemporary second;
  EXPECT_FALSE(create(second, path("f"), naming, error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_TRUE(fs::exists(path(live.name())));
  live.discard();
  if (geteuid() != 0) GTEST_SKIP() << "only root makes a file of another user";
  writeText("f.t-0", "theirs");
  ASSERT_EQ(chown(path("f.t-0").c_str(), 65534, 65534), 0);
  EXPECT_FALSE(create(second, path("f"), naming, error));
  EXPECT_EQ(readText("f.t-0"), "theirs");
}

}  // namespace
