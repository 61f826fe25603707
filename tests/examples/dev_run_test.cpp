// `./dev.sh run FILE...` as a user types it from any folder: the files are found where the user stands, not
// in the checkout. The script runs in a copy of the checkout whose dependency script, build tool and qz are
// stand-ins, so the test neither installs nor builds; the stand-in qz writes down where it ran and its
// arguments.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "scratch_dir.h"

namespace {

class DevRunTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    for (const char* folder : {"checkout/scripts", "checkout/build/default/src", "checkout/examples/data/core",
                               "stand-ins", "user folder/notes"}) {
      std::filesystem::create_directories(dir / folder);
    }
    std::filesystem::copy_file(QZ_DEV_SCRIPT, dir / "checkout/dev.sh");
    executable("checkout/scripts/install-deps.sh", "#!/bin/sh\necho /no/prefix\n");
    executable("stand-ins/cmake", "#!/bin/sh\nexit 0\n");
    executable("checkout/build/default/src/qz",
               "#!/bin/sh\n{ pwd; for arg in \"$@\"; do echo \"$arg\"; done; } > \"$QZ_RUN_RECORD\"\n");
  }

  void executable(const std::string& relative, const std::string& content) {
    writeText(relative, content);
    ASSERT_EQ(chmod(path(relative).c_str(), 0755), 0);
  }

  // Runs dev.sh from `folder` with the arguments (already quoted for the shell); what the stand-in recorded.
  std::string runFrom(const std::string& folder, const std::string& script, const std::string& arguments) {
    const std::string command = "cd '" + path(folder) + "' && PATH='" + path("stand-ins") +
                                "':\"$PATH\" QZ_RUN_RECORD='" + path("record") + "' " + script + " run " + arguments +
                                " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return readText("record");
  }
};

TEST_F(DevRunTest, RunTakesRelativeFilesFromTheCallersFolder) {
  const std::string userFolder = path("user folder");
  EXPECT_EQ(runFrom("user folder", "../checkout/dev.sh", "README.md notes/today.txt --file -dash.txt"),
            userFolder + "\n--new-instance\nREADME.md\nnotes/today.txt\n--file\n-dash.txt\n");
  EXPECT_EQ(runFrom("user folder/notes", "'" + path("checkout/dev.sh") + "'", "today.txt"),
            userFolder + "/notes\n--new-instance\ntoday.txt\n")
      << "called by its full path from a deeper folder";
  EXPECT_TRUE(std::filesystem::exists(dir / "checkout/build/default/example/data/core"))
      << "the example tree is still made in the checkout";
}

}  // namespace
