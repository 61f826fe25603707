#include "app/boot_globals.h"

#include <gtest/gtest.h>

namespace {

TEST(ExecutableDirectory, TextBeforeTheLastSeparatorWithForwardSlashes) {
  EXPECT_EQ(executableDirectoryOf("/opt/qz/qz"), "/opt/qz");
  EXPECT_EQ(executableDirectoryOf("C:\\Tools\\ed.exe"), "C:/Tools");
  EXPECT_EQ(executableDirectoryOf("C:\\Tools/sub\\ed.exe"), "C:/Tools/sub");
}

TEST(ExecutableDirectory, NoSeparatorOrOnlyALeadingOneGivesDot) {
  EXPECT_EQ(executableDirectoryOf("qz"), ".");
  EXPECT_EQ(executableDirectoryOf("/qz"), ".");
  EXPECT_EQ(executableDirectoryOf("\\qz.exe"), ".");
}

}  // namespace
