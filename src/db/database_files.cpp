// Database files on the calling thread, over SQLite and the platform's file services.
#include "db/database_files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_utils.h"
#include "platform/unique_fd.h"

namespace {

// A temporary file that is deleted however the self-test ends.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) deleteFileQuietly(path_);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Opens and closes one connection; on failure the message is SQLite's, or the fallback without a handle.
bool probeOpen(const char* path, int flags, const char* fallback, std::string& message) {
  sqlite3* handle = nullptr;
  const int code = sqlite3_open_v2(path, &handle, flags, nullptr);
  SqliteConnection connection(handle);
  if (code == SQLITE_OK) return true;
  message = connection != nullptr ? sqlite3_errmsg(connection.get()) : fallback;
  return false;
}

// SQLite keeps a rollback journal beside the database, named after it with the longest of its suffixes; a
// database in write-ahead log mode keeps its log and shared memory index instead, with shorter ones.
constexpr std::string_view kJournalSuffix = "-journal";
constexpr std::string_view kLogSuffix = "-wal";

// Whether the file is a database in write-ahead log mode: its header's read version is 2, which makes SQLite
// open it with a log and never a rollback journal.
bool inWalMode(const std::string& path) {
  constexpr std::string_view kMagic("SQLite format 3\0", 16);
  constexpr size_t kReadVersionOffset = 19;
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  unsigned char header[kReadVersionOffset + 1] = {};
  return file.valid() && pread(file.get(), header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
         std::string_view(reinterpret_cast<const char*>(header), kMagic.size()) == kMagic &&
         header[kReadVersionOffset] == 2;
}
// As many links as SQLite follows from one name.
constexpr int kMostLinksFollowed = 100;

// The path a chain of symbolic links at `path` leads to, as SQLite follows it to keep its journal beside the
// file (a dangling link's target is the file it would create); the path itself when it is no link.
std::string linkedPath(std::string_view path) {
  std::string current(path);
  for (int hops = 0; hops < kMostLinksFollowed; ++hops) {
    struct stat info {};
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
    std::string target(static_cast<size_t>(info.st_size > 0 ? info.st_size : PATH_MAX), '\0');
    const ssize_t length = readlink(current.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<size_t>(length) > target.size()) break;
    target.resize(static_cast<size_t>(length));
    const size_t slash = current.rfind('/');
    current = target.front() == '/' || slash == std::string::npos ? target : current.substr(0, slash + 1) + target;
  }
  return current;
}

// Refuses a file name that leaves its journal's name no room within the file system's limit on one name:
// SQLite would open the database and then fail every write with "unable to open database file".
bool leavesRoomForJournal(std::string_view given, std::string& message) {
  const std::string path = linkedPath(given);
  const size_t slash = path.rfind('/');
  const std::string_view name =
      slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const long longestName = pathconf(directory.c_str(), _PC_NAME_MAX);
  if (longestName <= 0 || name.size() + kJournalSuffix.size() <= static_cast<size_t>(longestName)) return true;
  const size_t suffix = inWalMode(path) ? kLogSuffix.size() : kJournalSuffix.size();
  if (name.size() + suffix <= static_cast<size_t>(longestName)) return true;
  message = "database file name too long: " + std::to_string(name.size()) +
            " bytes leave no room for its journal's name (at most " +
            std::to_string(static_cast<size_t>(longestName) - suffix) + " bytes here)";
  return false;
}

}  // namespace

bool openReadWriteConnection(std::string_view path, SqliteConnection& connection, std::string& message) {
  connection.reset();
  message.clear();
  if (path.empty() || path.find('\0') != std::string_view::npos) {
    message = "invalid UTF-8 path";
    return false;
  }
  if (path != ":memory:" && !leavesRoomForJournal(path, message)) return false;
  ensureSqliteConfigured();
  const std::string name(path);
  sqlite3* handle = nullptr;
  const int code = sqlite3_open_v2(name.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  connection.reset(handle);
  if (code == SQLITE_OK) return true;
  message = connection != nullptr ? sqlite3_errmsg(connection.get()) : "sqlite open failed";
  connection.reset();
  return false;
}

bool removeDatabaseFiles(std::string_view path, std::string& message) {
  message.clear();
  if (path.empty() || path == ":memory:") {
    message = "rm requires a file path";
    return false;
  }
  bool removed = true;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    const std::string candidate = std::string(path) + suffix;
    std::string reason;
    if (deleteFileUtf8(candidate, reason)) continue;
    if (removed) message = (candidate + ": " + reason).substr(0, 255);
    removed = false;
  }
  return removed;
}

bool runSqliteSelftest(std::string& message) {
  message.clear();
  ensureSqliteConfigured();
  const TemporaryFile file(createUniqueTempFile("qzdb"));
  if (sqlite3_libversion() == nullptr) {
    message = "sqlite3_libversion returned nullptr";
    return false;
  }
  if (file.path().empty()) {
    message = "failed to allocate temp path";
    return false;
  }
  return probeOpen(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "memory open failed", message) &&
         probeOpen(file.path().c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI,
                   "rw file open failed", message) &&
         probeOpen(file.path().c_str(), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, "readonly file open failed", message);
}
