// Database files: read-write opening, removal with the companion files, and the self-test.
#include "db/database_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "db_test_support.h"

namespace {

using DatabaseFiles = ScratchDirTest;

TEST_F(DatabaseFiles, OpeningCreatesAMissingFileAndRefusesUnusablePaths) {
  SqliteConnection connection;
  std::string message;
  ASSERT_TRUE(openReadWriteConnection(path("new.db"), connection, message)) << message;
  EXPECT_TRUE(std::filesystem::exists(path("new.db")));
  for (const std::string_view unusable : {std::string_view(""), std::string_view("a.db\0b", 6)}) {
    EXPECT_FALSE(openReadWriteConnection(unusable, connection, message));
    EXPECT_EQ(message, "invalid UTF-8 path");
    EXPECT_EQ(connection, nullptr);
  }
  EXPECT_FALSE(openReadWriteConnection(path("no/such/dir.db"), connection, message));
  EXPECT_EQ(message, "unable to open database file");
}

TEST_F(DatabaseFiles, RemovingDeletesTheFileAndItsCompanions) {
  const std::string database = path("gone.db");
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::ofstream(database + suffix) << "x";
  std::string message;
  EXPECT_TRUE(removeDatabaseFiles(database, message)) << message;
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  EXPECT_TRUE(removeDatabaseFiles(database, message)) << "missing files count as removed";
}

TEST_F(DatabaseFiles, RemovingNeedsAFilePathAndReportsTheFirstFailure) {
  std::string message;
  EXPECT_FALSE(removeDatabaseFiles(":memory:", message));
  EXPECT_EQ(message, "rm requires a file path");
  EXPECT_FALSE(removeDatabaseFiles("", message));
  const std::string directory = path("dir");
  std::filesystem::create_directory(directory);
  std::filesystem::create_directory(directory + "-wal");
  EXPECT_FALSE(removeDatabaseFiles(directory, message));
  EXPECT_EQ(message.rfind(directory + ": delete failed (", 0), 0u) << message;
}

TEST_F(DatabaseFiles, SelftestPassesAndLeavesNoTemporaryFile) {
  ASSERT_EQ(setenv("TMPDIR", dir.c_str(), 1), 0);
  std::string message;
  EXPECT_TRUE(runSqliteSelftest(message)) << message;
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  unsetenv("TMPDIR");
}

}  // namespace
