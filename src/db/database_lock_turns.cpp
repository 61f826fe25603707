// The turns of this process's connections at the locks of each database file, under one process-wide lock.
// A file is listed only while a statement waits for it; while none waits anywhere, a statement's end costs
// one atomic load.
#include "db/database_lock_turns.h"

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace {

struct FileTurns {
  int waiting = 0;         // statements waiting for the file's lock
  uint64_t releases = 0;   // statements that let the file's locks go while some waited
  uint64_t turnsOver = 0;  // waiting statements that have ended
};

struct LockTurns {
  std::mutex lock;
  std::condition_variable changed;
  std::unordered_map<std::string, FileTurns> files;
  std::atomic<int> waiting{0};  // over every file
};

// Never destroyed: worker threads left running at the end of the process may still wait.
LockTurns& lockTurns() {
  static auto* turns = new LockTurns;
  return *turns;
}

}  // namespace

std::string lockTurnsFile(const char* name) {
  if (name == nullptr || *name == '\0') return {};
  struct stat info {};
  if (stat(name, &info) != 0) return name;
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

void waitForLockRelease(const std::string& file, bool first, std::chrono::steady_clock::time_point until) {
  LockTurns& turns = lockTurns();
  std::unique_lock guard(turns.lock);
  FileTurns& turnsOfFile = turns.files[file];
  if (first) {
    ++turnsOfFile.waiting;
    turns.waiting.fetch_add(1, std::memory_order_relaxed);
  }
  const uint64_t releases = turnsOfFile.releases;
  turns.changed.wait_until(guard, until, [&turnsOfFile, releases] { return turnsOfFile.releases != releases; });
}

void endLockWait(const std::string& file) {
  LockTurns& turns = lockTurns();
  {
    std::lock_guard guard(turns.lock);
    const auto found = turns.files.find(file);
    if (found == turns.files.end()) return;
    ++found->second.turnsOver;
    turns.waiting.fetch_sub(1, std::memory_order_relaxed);
    if (--found->second.waiting == 0) turns.files.erase(found);
  }
  turns.changed.notify_all();
}

bool noteLocksReleased(const std::string& file) {
  LockTurns& turns = lockTurns();
  if (turns.waiting.load(std::memory_order_relaxed) == 0) return false;
  {
    std::lock_guard guard(turns.lock);
    const auto found = turns.files.find(file);
    if (found == turns.files.end()) return false;
    ++found->second.releases;
  }
  turns.changed.notify_all();
  return true;
}

void giveLockTurn(const std::string& file) {
  LockTurns& turns = lockTurns();
  std::unique_lock guard(turns.lock);
  const auto found = turns.files.find(file);
  if (found == turns.files.end()) return;
  const uint64_t turnsOver = found->second.turnsOver;
  // The entry goes when its last waiter ends, so it is looked up again on every wake-up.
  turns.changed.wait_for(guard, kLockTurnWait, [&turns, &file, turnsOver] {
    const auto now = turns.files.find(file);
    return now == turns.files.end() || now->second.turnsOver != turnsOver;
  });
}
