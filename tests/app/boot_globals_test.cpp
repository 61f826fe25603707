#include "app/boot_globals.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(ExecutableDirectory, TextBeforeTheLastSlashWithBackslashesKeptAsNameBytes) {
  const std::pair<const char*, const char*> cases[] = {
      {"/opt/qz/qz", "/opt/qz"},
      {"/tmp/bs\\dir/qz", "/tmp/bs\\dir"},
      {"/tmp/a\\b", "/tmp"},
      {"/qz", "/"},
      {"/a\\qz", "/"},
      {"qz", "."},
      {"C:\\Tools\\ed.exe", "."},
  };
  for (const auto& [path, directory] : cases) EXPECT_EQ(executableDirectoryOf(path), directory) << path;
}

}  // namespace
