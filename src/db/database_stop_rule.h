// The rule by which a database worker's stop ends its queue, and the bookkeeping it needs: one object per
// worker, whose statement hooks run on the worker thread and whose deadline and counts stoppers read.
// database_stop_rule.cpp states the rule.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/sqlite_handles.h"

struct DatabaseRequest;

class StopRule {
 public:
  using Clock = std::chrono::steady_clock;

  // From the stop to its deadline, when it shares none that is earlier.
  static constexpr std::chrono::milliseconds kGracePeriod{2000};
  // Processor time a statement may compute of its own past the deadline.
  static constexpr std::chrono::milliseconds kComputeBound{50};
  // Processor time the statements cut by one stop may have computed between them before each later one is
  // cut at its first check past the deadline that finds it computing.
  static constexpr std::chrono::milliseconds kCutAllowance{1000};
  // How long a call may give no sign of life past the deadline, computing all the while, before a stop at the
  // end of the process leaves it behind: it can only be computing inside one SQLite call that no check
  // reaches. A thread that waits for a processor (a busy machine, a stopped process) is not computing.
  static constexpr std::chrono::milliseconds kSilenceBound{3000};
  // A statement's computing is looked at every kStepsPerCheck steps of SQLite's virtual machine.
  static constexpr int kStepsPerCheck = 100;

  // What a stop did not run, by cause; writes only, save `requests`, which counts reads too. Statement
  // requests that were not run by the stop's choice count toward `requests`.
  struct Unrun {
    int cut = 0;       // cut short by the compute bound
    int skipped = 0;   // queued after a write cut inside their transaction
    int timedOut = 0;  // waited out the script's busy timeout for a lock past the deadline
    int givenUp = 0;   // not waited for, once a wait past the deadline had run out
    int left = 0;      // left in the queue of a call given up at the end of the process (it included)
    int requests = 0;  // requests cut, skipped or not waited for
    int writes() const { return cut + skipped + timedOut + givenUp + left; }
  };

  // Before the thread starts: no deadline, nothing counted, no transaction followed.
  void reset();
  // Any thread: the stop's deadline becomes `deadline` unless an earlier one is set.
  void lowerDeadline(Clock::time_point deadline);
  // The deadline in force: the stop's or the one every stop shares once the host shuts down, the earlier;
  // 0 ticks when there is none.
  Clock::rep deadline() const;

  // Worker thread: runs a statement request through `execute` under the rule, or ends it "interrupted" without
  // running it when it belongs to a transaction a cut took back.
  template <typename Execute>
  void runStatement(DatabaseRequest& request, Execute&& execute) {
    if (skipsAfterCut(request)) return;
    begin(request);
    execute();
    end(request);
  }
  // Worker thread: forgets what it knows of the connections (one may be closed before the next request).
  void forgetConnections();

  // Stopper, with the worker's lock held: the moment at which the call running since `since` counts as given
  // up, for a stop at the end of the process: kSilenceBound past the latest of the deadline, its start and
  // its last sign of life.
  Clock::time_point silentUntil(Clock::rep since) const;
  // The start of that silence: the latest of the deadline, `since` and the last sign of life.
  Clock::time_point silentSince(Clock::rep since) const;
  // Stopper: a call given up at the end of the process, and the requests left behind it.
  void noteLeft(int writes, int requests);
  // What was not run so far; whether the stop ran every request as asked (nothing cut, skipped or given up).
  Unrun unrun() const;
  bool ranEverything() const { return unrun().requests == 0; }
  // Says on standard error what the stop did not run, naming the database; nothing when it ran everything.
  void report(const std::string& database) const;

 private:
  bool skipsAfterCut(DatabaseRequest& request);
  void begin(DatabaseRequest& request);
  void end(DatabaseRequest& request);
  void adoptBusyTimeout(sqlite3* connection);
  void noteAlive(Clock::time_point until);
  void count(std::atomic<int>& cause, bool write);
  static int checkComputing(void* rule);
  static int noteWriteCommitted(void* rule);
  static void noteWriteRolledBack(void* rule);
  static int waitForLock(void* rule, int attempt);

  std::atomic<Clock::rep> deadline_{0};
  std::atomic<Clock::rep> aliveUntil_{0};  // the running call's last sign of life past the deadline
  std::atomic<int> cut_{0}, skipped_{0}, timedOut_{0}, givenUp_{0}, left_{0}, requests_{0};

  // Worker thread only. The running request; the processor time of the thread at its last reading past the
  // deadline (negative before the first) and when that was; its own time counted past the deadline; the own
  // time past the deadline of the statements cut.
  DatabaseRequest* running_ = nullptr;
  std::chrono::nanoseconds processorMark_{-1};
  Clock::rep processorReadAt_ = 0;
  std::chrono::nanoseconds ownTime_{};
  std::chrono::nanoseconds cutTime_{};
  // The connection whose busy timeout is known and its timeout in milliseconds; whether the running statement
  // waits through waitForLock; whether its connection was in a transaction when it began; when its wait for a
  // lock began; whether a wait past the deadline has run out.
  sqlite3* timedConnection_ = nullptr;
  int busyTimeout_ = 0;
  std::string file_;            // its main database file's key of turns (lockTurnsFile), empty for one in memory
  bool listedWaiting_ = false;  // the running statement is listed as a waiter of file_
  bool turnOwed_ = false;       // the last statement let file_'s write lock go while others waited
  bool endedWrite_ = false;     // the running statement ended a transaction that held the write lock
  bool waitsHere_ = false;
  bool wasInTransaction_ = false;
  Clock::time_point waitSince_;
  bool lockNotLetGo_ = false;
  // The connection whose transaction a cut took back, and the savepoint whose release ends it (empty when
  // BEGIN opened it); the connection whose transaction a request last opened, and the savepoint that did.
  sqlite3* transactionCutOn_ = nullptr;
  std::string cutSavepoint_;
  sqlite3* transactionOpenedOn_ = nullptr;
  std::string openingSavepoint_;
};

// The deadline every stop shares once the host shuts down, in ticks of the steady clock; 0 until then.
std::atomic<StopRule::Clock::rep>& sharedStopDeadline();
