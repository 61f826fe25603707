// Databases at the end of a whole qz process: honest writes queued on files that other connections write too
// (of the same script, or of another program) are all kept however the script ends, and a worker job's
// os.exit ends the process with its code, on the main thread. Runs of one test go side by side; each has a
// generous deadline so that a hang fails the test instead of blocking it, and no duration is asserted.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qz_sandbox.h"

namespace {

using qztest::BackgroundRun;
using qztest::RunResult;
using qztest::Sandbox;

constexpr std::chrono::seconds kDeadline{90};

std::string bootWith(const std::string& body) {
  return R"lua(
package.preload["core.workerboot"] = load("return { run = function() end }")
package.preload.jobs = load("return { quit = function(code) os.exit(code) end }")
return { run = function()
)lua" + body +
         "\nend }";
}

// The rows of table t in the file, read straight with SQLite; -1 when it cannot be read.
int64_t rowsOf(const std::filesystem::path& file) {
  sqlite3* handle = nullptr;
  int64_t rows = -1;
  if (sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, "SELECT count(*) FROM t", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      rows = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close_v2(handle);
  return rows;
}

// Inserts that each hold the write lock for about 2 ms of computing, queued on `connections` connections to
// one file in the journal mode given, 2.5 s of them in all: the queues are still running well past the
// deadline of a stop at the end. Each connection waits for the others' locks up to its busy timeout of 10 s.
// Writes the number of inserts queued.
std::string neighbourInserts(int connections, const std::string& journalMode) {
  return "  local conns, mode = " + std::to_string(connections) + ", '" + journalMode + "'" + R"lua(
  local path = EXE_DIR .. "/user/shared.db"
  local first = assert(db.open(path))
  assert(first:exec("PRAGMA journal_mode=" .. mode))
  assert(first:exec("CREATE TABLE t(who, n, work)"))
  local COUNT = "SELECT count(*) FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT ?) "
    .. "SELECT x FROM c)"
  local rows = 1000
  while true do
    local started = system.get_time()
    assert(first:query_sync(COUNT, { rows }))
    local took = system.get_time() - started
    if took >= 0.001 then rows = math.ceil(rows * 0.002 / took) break end
    rows = rows * 4
  end
  dbs = { first }
  for n = 2, conns do dbs[n] = assert(db.open(path)) end
  for _, d in ipairs(dbs) do assert(d:exec("PRAGMA busy_timeout=10000")) end
  local each = math.ceil(2.5 / 0.002 / conns)
  for i = 1, each do
    for n, d in ipairs(dbs) do assert(d:exec_async("INSERT INTO t SELECT ?, ?, (" .. COUNT .. ")", { n, i, rows })) end
  end
  first = nil
  io.write(each * conns)
)lua";
}

// Two and three connections on one file, in both journal modes, each with a queue that runs long past the
// deadline of the stop that ends it: every insert is kept, whether the script closes them, they are collected,
// the script returns or ends the process with os.exit.
TEST(DatabaseExit, HonestNeighboursOnOneFileKeepEveryRowWhateverEndsTheScript) {
  struct Case {
    int connections;
    const char* journalMode;
    const char* ending;
  };
  const Case cases[] = {
      {2, "DELETE", "for _, d in ipairs(dbs) do assert(d:close()) end"},
      {3, "WAL", "dbs = nil collectgarbage() collectgarbage()"},
      {3, "DELETE", "return"},
      {2, "WAL", "os.exit(0)"},
  };
  std::vector<std::unique_ptr<Sandbox>> sandboxes;
  std::vector<BackgroundRun> runs;
  for (const Case& each : cases) {
    sandboxes.push_back(std::make_unique<Sandbox>());
    sandboxes.back()->writeBoot(bootWith(neighbourInserts(each.connections, each.journalMode) + each.ending));
    runs.push_back(sandboxes.back()->start(qztest::newInstance(kDeadline)));
  }
  for (size_t index = 0; index < runs.size(); ++index) {
    const RunResult result = runs[index].wait(kDeadline);
    const std::string label =
        std::to_string(cases[index].connections) + " " + cases[index].journalMode + ", " + cases[index].ending + ": ";
    EXPECT_FALSE(result.timedOut) << label;
    EXPECT_EQ(result.exitCode, 0) << label << result.standardError;
    EXPECT_EQ(result.standardError.find("not run"), std::string::npos) << label << result.standardError;
    EXPECT_EQ(std::to_string(rowsOf(sandboxes[index]->root() / "user/shared.db")), result.standardOutput) << label;
  }
}

// Another program holds the database locked for 7 s, longer than a stop waits past its deadline for anything
// but a wait for a lock, less than the script's busy timeout: the inserts the script queued wait for it, and
// every one is kept, whether the script closes the database, it is collected, the script returns or ends the
// process with os.exit.
TEST(DatabaseExit, AnotherProgramHoldingTheLockWithinTheBusyTimeoutLosesNoWrite) {
  const char* endings[] = {"print(d:close())", "d = nil collectgarbage() collectgarbage()", "keep = d return",
                           "keep = d os.exit(0)"};
  std::vector<std::unique_ptr<Sandbox>> sandboxes;
  std::vector<FILE*> holders;
  std::vector<BackgroundRun> runs;
  for (const char* ending : endings) {
    sandboxes.push_back(std::make_unique<Sandbox>());
    const Sandbox& sandbox = *sandboxes.back();
    const std::string holder =
        "python3 -c \"import sqlite3, sys, time\n"
        "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
        "c.execute('CREATE TABLE t(a)')\n"
        "c.execute('BEGIN EXCLUSIVE')\n"
        "open(sys.argv[2], 'w').close()\n"
        "time.sleep(7)\n"
        "c.execute('COMMIT')\" '" +
        (sandbox.root() / "user/held.db").string() + "' '" + (sandbox.root() / "user/locked").string() + "'";
    holders.push_back(popen(holder.c_str(), "r"));
    ASSERT_NE(holders.back(), nullptr);
    ASSERT_TRUE(sandbox.waitForFile("user/locked")) << "the other program never took the lock";
    sandbox.writeBoot(bootWith(R"lua(
  local d = assert(db.open(EXE_DIR .. "/user/held.db"))
  assert(d:exec("PRAGMA busy_timeout=30000"))
  for i = 1, 100 do assert(d:exec_async("INSERT INTO t VALUES(?)", { i })) end
)lua" + std::string(ending)));
    runs.push_back(sandbox.start(qztest::newInstance(kDeadline)));
  }
  for (size_t index = 0; index < runs.size(); ++index) {
    const RunResult result = runs[index].wait(kDeadline);
    EXPECT_EQ(pclose(holders[index]), 0) << endings[index];
    EXPECT_FALSE(result.timedOut) << endings[index];
    EXPECT_EQ(result.exitCode, 0) << endings[index] << result.standardError;
    EXPECT_EQ(result.standardError.find("qz: database"), std::string::npos) << endings[index] << result.standardError;
    EXPECT_EQ(rowsOf(sandboxes[index]->root() / "user/held.db"), 100) << endings[index];
    if (index == 0) {
      EXPECT_EQ(result.standardOutput, "true\n") << "the close ran every request";
    }
  }
}

// A disk busy with other work makes the first sync of a database file wait 6 s, from before the stop's
// deadline to past its silence bound: the call is waiting, not computing, so the end of the process waits for
// it, and the inserts queued behind it are kept however the script ends.
TEST(DatabaseExit, ASyncWaitingForABusyDiskLosesNoWrite) {
  const char* endings[] = {"return", "os.exit(0)", "os.exit(0, true)"};
  std::vector<std::unique_ptr<Sandbox>> sandboxes;
  std::vector<BackgroundRun> runs;
  for (const char* ending : endings) {
    sandboxes.push_back(std::make_unique<Sandbox>());
    const Sandbox& sandbox = *sandboxes.back();
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open((sandbox.root() / "user/slow.db").c_str(), &handle), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(handle, "CREATE TABLE t(a)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(handle);
    sandbox.writeBoot(bootWith(R"lua(
  keep = assert(db.open(EXE_DIR .. "/user/slow.db"))
  assert(keep:exec("PRAGMA synchronous=FULL"))
  for i = 1, 3 do assert(keep:exec_async("INSERT INTO t VALUES(?)", { i })) end
)lua" + std::string(ending)));
    qztest::RunOptions options = qztest::newInstance(kDeadline);
    options.environment = {{"LD_PRELOAD", QZ_SLOW_SYNC_LIBRARY},
                           {"QZ_SLOW_SYNC_NAME", "slow.db"},
                           {"QZ_SLOW_SYNC_MS", "6000"}};
    runs.push_back(sandbox.start(options));
  }
  for (size_t index = 0; index < runs.size(); ++index) {
    const RunResult result = runs[index].wait(kDeadline);
    EXPECT_FALSE(result.timedOut) << endings[index];
    EXPECT_EQ(result.exitCode, 0) << endings[index] << result.standardError;
    EXPECT_EQ(result.standardError.find("qz: database"), std::string::npos) << endings[index] << result.standardError;
    EXPECT_EQ(rowsOf(sandboxes[index]->root() / "user/slow.db"), 3) << endings[index];
  }
}

// A job that calls os.exit(7) while a database has 2,000 inserts queued, the main thread waiting for the job,
// or closing the database and then sleeping: the process ends with 7 from the main thread, soon (the sleep is
// not waited out), and every insert is kept. Several runs of each, side by side.
TEST(DatabaseExit, OsExitInAWorkerJobEndsTheProcessWithItsCodeAndKeepsTheQueuedWrites) {
  const char* waits[] = {
      "while not job:ready() do system.sleep(0.001) end",
      "assert(d:close()) system.sleep(20)",
      "system.sleep(20)",
  };
  std::vector<std::unique_ptr<Sandbox>> sandboxes;
  std::vector<BackgroundRun> runs;
  std::vector<std::string> labels;
  for (int round = 0; round < 3; ++round) {
    for (const char* wait : waits) {
      sandboxes.push_back(std::make_unique<Sandbox>());
      sandboxes.back()->writeBoot(bootWith(R"lua(
  local d = assert(db.open(EXE_DIR .. "/user/queued.db"))
  assert(d:exec("PRAGMA synchronous=OFF"))
  assert(d:exec("CREATE TABLE t(a)"))
  for i = 1, 2000 do assert(d:exec_async("INSERT INTO t VALUES(?)", { i })) end
  local job = assert(worker.submit("jobs", "quit", 7))
  keep = d
)lua" + std::string(wait) + "\n  io.write('the script went on')"));
      runs.push_back(sandboxes.back()->start(qztest::newInstance(kDeadline)));
      labels.push_back(std::string(wait) + ", run " + std::to_string(round + 1) + ": ");
    }
  }
  for (size_t index = 0; index < runs.size(); ++index) {
    const RunResult result = runs[index].wait(kDeadline);
    EXPECT_FALSE(result.timedOut) << labels[index];
    EXPECT_EQ(result.exitCode, 7) << labels[index] << result.signal << result.standardError;
    EXPECT_EQ(result.standardOutput, "") << labels[index];
    EXPECT_EQ(result.standardError.find("Sanitizer"), std::string::npos) << labels[index] << result.standardError;
    EXPECT_EQ(rowsOf(sandboxes[index]->root() / "user/queued.db"), 2000) << labels[index];
  }
}

// Waits for each run: it ends with `exitCode`, and its finalizer ran to its end, its write to user/final.db kept.
void expectEachFinalizerRanToItsEnd(std::vector<BackgroundRun>& runs,
                                    const std::vector<std::unique_ptr<Sandbox>>& sandboxes,
                                    const std::vector<std::string>& labels, int exitCode) {
  for (size_t index = 0; index < runs.size(); ++index) {
    const RunResult result = runs[index].wait(kDeadline);
    EXPECT_FALSE(result.timedOut) << labels[index];
    EXPECT_EQ(result.exitCode, exitCode) << labels[index] << result.standardError;
    EXPECT_EQ(result.standardOutput, "the finalizer ran to its end") << labels[index];
    EXPECT_EQ(rowsOf(sandboxes[index]->root() / "user/final.db"), 1) << labels[index];
  }
}

// A job's os.exit(7, close) while the main thread pauses as a script's loop does, or after the scripts have
// ended: a finalizer of the state's close (the exit's, or the scripts' end's) that pauses too (a sleep, a poll
// or wait for events, a look at a job) runs to its end and its write is kept; the pause does not end the
// process again from inside the close. The process ends with 7.
TEST(DatabaseExit, OsExitFromAWorkerJobLetsEveryFinalizerOfTheCloseRunToItsEnd) {
  // The job marks the moment just before its os.exit; half a second later it has asked.
  constexpr const char* kEndAfterTheJobAsked =
      "while not io.open(asked) do end local t = system.get_time() while system.get_time() - t < 0.5 do end";
  const char* pauses[] = {"system.sleep(0.01)", "system.poll_event()", "system.wait_event(0.01)", "job:ready()"};
  struct Ending {
    const char* close;
    const char* script;
    const char* label;
  };
  const Ending endings[] = {
      {"true", "while true do system.sleep(0.01) end", "the main thread pauses"},
      {"true", kEndAfterTheJobAsked, "the scripts end"},
      {"false", kEndAfterTheJobAsked, "the scripts end"},
  };
  std::vector<std::unique_ptr<Sandbox>> sandboxes;
  std::vector<BackgroundRun> runs;
  std::vector<std::string> labels;
  for (const Ending& ending : endings) {
    for (const char* pause : pauses) {
      sandboxes.push_back(std::make_unique<Sandbox>());
      const std::string body = std::string("  local close, asked = ") + ending.close + R"lua(, EXE_DIR .. "/user/asked"
  package.loaded.jobs = nil
  package.preload.jobs = load([[return { quit = function(how)
    io.open(how.asked, "w"):close()
    os.exit(7, how.close)
  end }]])
  local d = assert(db.open(EXE_DIR .. "/user/final.db"))
  assert(d:exec("CREATE TABLE t(a)"))
  keep = setmetatable({}, { __gc = function()
    )lua" + pause + R"lua(
    assert(d:exec("INSERT INTO t VALUES(1)"))
    io.write("the finalizer ran to its end")
  end })
  job = assert(worker.submit("jobs", "quit", { asked = asked, close = close }))
  )lua" + ending.script;
      sandboxes.back()->writeBoot(bootWith(body));
      runs.push_back(sandboxes.back()->start(qztest::newInstance(kDeadline)));
      labels.push_back(std::string(pause) + ", close " + ending.close + ", " + ending.label + ": ");
    }
  }
  expectEachFinalizerRanToItsEnd(runs, sandboxes, labels, 7);
}

// The scripts' own os.exit(0, true) on the main thread, and a job's os.exit(7, close) asked while the close it
// began runs a finalizer that pauses (a sleep, a poll or wait for events, a look at a job): the process is
// already ending as the scripts asked, so the finalizer runs to its end, its write is kept, and the process
// ends with 0.
TEST(DatabaseExit, OsExitOfTheScriptsIsNotOvertakenByAJobsLaterOne) {
  const char* pauses[] = {"system.sleep(1.5)", "system.poll_event()", "system.wait_event(1.5)", "job:ready()"};
  std::vector<std::unique_ptr<Sandbox>> sandboxes;
  std::vector<BackgroundRun> runs;
  std::vector<std::string> labels;
  for (const char* pause : pauses) {
    for (const char* close : {"false", "true"}) {
      sandboxes.push_back(std::make_unique<Sandbox>());
      sandboxes.back()->writeBoot(bootWith(std::string(R"lua(
  local asked = EXE_DIR .. "/user/asked"
  package.loaded.jobs = nil
  package.preload.jobs = load([[return { quit = function(how)
    system.sleep(0.2)
    io.open(how.asked, "w"):close()
    os.exit(7, how.close)
  end }]])
  job = assert(worker.submit("jobs", "quit", { asked = asked, close = )lua") +
                                           close + R"lua( }))
  local d = assert(db.open(EXE_DIR .. "/user/final.db"))
  assert(d:exec("CREATE TABLE t(a)"))
  keep = setmetatable({}, { __gc = function()
    while not io.open(asked) do system.sleep(0.01) end
    )lua" + pause + R"lua(
    assert(d:exec("INSERT INTO t VALUES(1)"))
    io.write("the finalizer ran to its end")
  end })
  os.exit(0, true))lua"));
      runs.push_back(sandboxes.back()->start(qztest::newInstance(kDeadline)));
      labels.push_back(std::string(pause) + ", the job's close " + close + ": ");
    }
  }
  expectEachFinalizerRanToItsEnd(runs, sandboxes, labels, 0);
}

// The process is stopped (a job-control stop, a debugger, a machine that gives it no processor) for 5 s while
// its stop at the end runs a write whose one SQLite call computes a second or so: the call has not computed
// past the silence bound, it has only not run, so the stop waits for it and every write is kept.
TEST(DatabaseExit, AWriteThatGetsNoProcessorForAWhileIsNotTakenForAStuckCall) {
  Sandbox sandbox;
  sandbox.writeBoot(bootWith(std::string(qztest::kBootFileHelpers) + R"lua(
  local d = assert(db.open(EXE_DIR .. "/user/paused.db"))
  assert(d:exec("CREATE TABLE t(a)"))
  local SEARCH = "SELECT instr(printf('%.*c', ?1, 'a'), printf('%.*c', ?1 / 2, 'a') || 'b')"
  local size = 20000
  while true do
    local started = system.get_time()
    assert(d:query_sync(SEARCH, { size }))
    if system.get_time() - started >= 1 then break end
    size = math.floor(size * 1.25)
  end
  assert(d:exec_async("INSERT INTO t " .. SEARCH, { size }))
  for n = 1, 10 do assert(d:exec_async("INSERT INTO t VALUES(?)", { n })) end
  keep = d
  put("ending", "")
)lua"));
  qztest::BackgroundRun run = sandbox.start(qztest::newInstance(kDeadline));
  ASSERT_TRUE(sandbox.waitForFile("user/ending"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  run.kill(SIGSTOP);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  run.kill(SIGCONT);
  const RunResult result = run.wait(kDeadline);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardError.find("qz: database"), std::string::npos) << result.standardError;
  EXPECT_EQ(rowsOf(sandbox.root() / "user/paused.db"), 11);
}

// A job's os.exit(7) while the main thread runs on in Lua without ever pausing (a loop, a loop inside a function
// called from a loop, a loop in a script that set a debug hook of its own, one that keeps clearing the hooks,
// which may take an interrupt's hook away before it runs): the main thread takes the request
// in its Lua code, as the standard interpreter stops a script on a signal, and the process ends with 7, its
// queued write kept. A hang fails at the run's deadline.
TEST(DatabaseExit, OsExitFromAWorkerJobEndsAMainThreadThatNeverPauses) {
  const char* loops[] = {
      "while true do end",
      "local function spin() local n = 0 while true do n = n + 1 end end while true do spin() end",
      "local hooked = 0 debug.sethook(function() hooked = hooked + 1 end, '', 1000) while true do end",
      "while true do debug.sethook() end",
  };
  std::vector<std::unique_ptr<Sandbox>> sandboxes;
  std::vector<BackgroundRun> runs;
  for (const char* loop : loops) {
    for (const char* close : {"false", "true"}) {
      sandboxes.push_back(std::make_unique<Sandbox>());
      sandboxes.back()->writeBoot(bootWith(std::string(R"lua(
  package.loaded.jobs = nil
  package.preload.jobs = load("return { quit = function(close) os.exit(7, close) end }")
  local d = assert(db.open(EXE_DIR .. "/user/spun.db"))
  assert(d:exec("CREATE TABLE t(a)"))
  assert(d:exec_async("INSERT INTO t VALUES(1)"))
  keep = d
  job = assert(worker.submit("jobs", "quit", )lua") +
                                           close + "))\n  " + loop));
      runs.push_back(sandboxes.back()->start(qztest::newInstance(std::chrono::seconds(60))));
    }
  }
  for (size_t index = 0; index < runs.size(); ++index) {
    const std::string label = std::string(loops[index / 2]) + (index % 2 == 0 ? ", close false" : ", close true");
    const RunResult result = runs[index].wait(std::chrono::seconds(60));
    EXPECT_FALSE(result.timedOut) << label;
    EXPECT_EQ(result.exitCode, 7) << label << result.standardError;
    EXPECT_EQ(rowsOf(sandboxes[index]->root() / "user/spun.db"), 1) << label;
  }
}

}  // namespace
