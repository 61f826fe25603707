// Database files: read-write opening, removal with the companion files, and the self-test.
#include "db/database_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "db_test_support.h"

namespace {

TEST(DatabaseFiles, OpeningCreatesAMissingFileAndRefusesUnusablePaths) {
  dbtest::TemporaryDirectory directory;
  SqliteConnection connection;
  std::string message;
  ASSERT_TRUE(openReadWriteConnection(directory.file("new.db"), connection, message)) << message;
  EXPECT_TRUE(std::filesystem::exists(directory.file("new.db")));
  for (const std::string_view path : {std::string_view(""), std::string_view("a.db\0b", 6)}) {
    EXPECT_FALSE(openReadWriteConnection(path, connection, message));
    EXPECT_EQ(message, "invalid UTF-8 path");
    EXPECT_EQ(connection, nullptr);
  }
  EXPECT_FALSE(openReadWriteConnection(directory.file("no/such/dir.db"), connection, message));
  EXPECT_EQ(message, "unable to open database file");
}

TEST(DatabaseFiles, RemovingDeletesTheFileAndItsCompanions) {
  dbtest::TemporaryDirectory directory;
  const std::string path = directory.file("gone.db");
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::ofstream(path + suffix) << "x";
  std::string message;
  EXPECT_TRUE(removeDatabaseFiles(path, message)) << message;
  EXPECT_TRUE(std::filesystem::is_empty(directory.path()));
  EXPECT_TRUE(removeDatabaseFiles(path, message)) << "missing files count as removed";
}

TEST(DatabaseFiles, RemovingNeedsAFilePathAndReportsTheFirstFailure) {
  std::string message;
  EXPECT_FALSE(removeDatabaseFiles(":memory:", message));
  EXPECT_EQ(message, "rm requires a file path");
  EXPECT_FALSE(removeDatabaseFiles("", message));
  dbtest::TemporaryDirectory directory;
  const std::string path = directory.file("dir");
  std::filesystem::create_directory(path);
  std::filesystem::create_directory(path + "-wal");
  EXPECT_FALSE(removeDatabaseFiles(path, message));
  EXPECT_EQ(message.rfind(path + ": delete failed (", 0), 0u) << message;
}

TEST(DatabaseFiles, SelftestPassesAndLeavesNoTemporaryFile) {
  dbtest::TemporaryDirectory directory;
  ASSERT_EQ(setenv("TMPDIR", directory.path().c_str(), 1), 0);
  std::string message;
  EXPECT_TRUE(runSqliteSelftest(message)) << message;
  EXPECT_TRUE(std::filesystem::is_empty(directory.path()));
  unsetenv("TMPDIR");
}

}  // namespace
