// Turns at a database file's locks among the connections of this process. SQLite's own waiting is not fair: a
// connection that has just let its lock go takes it again at once with its next statement, long before a
// waiter looks again, so a busy neighbour can keep a waiter out past its busy timeout. Here a waiter of this
// process is woken as soon as a statement of this process lets the file's locks go, and the worker that let
// them go waits a moment before its next statement on the file, until a waiter has had its turn.
#pragma once

#include <chrono>
#include <string>

// How long a worker that let a file's locks go waits at most for a waiter's turn.
inline constexpr std::chrono::milliseconds kLockTurnWait{20};

// The key under which the connections of this process take turns at the locks of the database file `name`:
// the file itself (its device and inode), however it is named (a hard link, another mount); empty for a
// database in memory, and the name when the file cannot be looked at.
std::string lockTurnsFile(const char* name);

// A statement waiting for the lock of `file` (a key, never empty) sleeps until `until`, or until a
// statement of another connection lets the file's locks go. `first` lists it as a waiter until endLockWait.
void waitForLockRelease(const std::string& file, bool first, std::chrono::steady_clock::time_point until);
// The statement listed as a waiter has ended, with or without the lock: its turn is over.
void endLockWait(const std::string& file);
// A statement ended with no transaction open on `file`; true when waiters were woken for it, and the worker
// should give them their turn (giveLockTurn) before its next statement on the file.
bool noteLocksReleased(const std::string& file);
// Waits at most kLockTurnWait, until a waiter of the file has had its turn or none waits any longer.
void giveLockTurn(const std::string& file);
