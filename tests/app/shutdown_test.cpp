// Shutdown of the whole process while work still runs: a database statement that never ends, a worker job
// that swallows its cancellation, and finalizers that submit work while the main state closes. Each run has
// a generous deadline so that a hang fails the test instead of blocking it; no duration is asserted.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qz_sandbox.h"

namespace {

using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;

constexpr std::chrono::seconds kDeadline{60};

RunOptions newInstance() { return qztest::newInstance(kDeadline); }

// A boot script that runs `body` inside run(), with a worker boot and a job module that never lets a
// cancellation end it.
std::string bootWith(const std::string& body) {
  return R"lua(
package.preload["core.workerboot"] = load("return { run = function() end }")
package.preload.jobs = load([[
local M = {}
function M.swallow(path)
  io.open(path, "w"):close()
  while true do pcall(function() while true do end end) end
end
function M.echo(value) return value end
return M]])
local function wait_for(path)
  local deadline = system.get_time() + 30
  while not io.open(path) do
    assert(system.get_time() < deadline, "the job never started")
    system.sleep(0.005)
  end
end
return { run = function()
)lua" + body +
         "\nend }";
}

constexpr const char* kEndlessQuery = R"lua(
  local d = assert(db.open(EXE_DIR .. "/user/endless.db"))
  assert(d:exec("CREATE TABLE IF NOT EXISTS t(a)"))
  assert(d:exec_async("INSERT INTO t VALUES(1)"))
  keep = assert(d:query_async(
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c"))
  keep_db = d
)lua";

TEST(Shutdown, ANeverEndingStatementNeitherHoldsExitNorTheEndOfTheBootScript) {
  for (const std::string ending : {"os.exit(0)", "return"}) {
    Sandbox sandbox;
    sandbox.writeBoot(bootWith(std::string(kEndlessQuery) + ending));
    const RunResult result = sandbox.run(newInstance());
    EXPECT_FALSE(result.timedOut) << ending;
    EXPECT_EQ(result.exitCode, 0) << ending << result.standardError;
  }
}

// Each of the six databases user/<name>1.db to user/<name>6.db holds the row its script queued.
void expectSixDatabasesKept(Sandbox& sandbox, const std::string& name) {
  sandbox.writeBoot(bootWith(R"lua(
  for n = 1, 6 do
    local d = assert(db.open_readonly(EXE_DIR .. "/user/)lua" +
                             name + R"lua(" .. n .. ".db"))
    io.write(d:query_sync("SELECT a FROM t")[1][1], " ")
  end
)lua"));
  const RunResult kept = sandbox.run(newInstance());
  EXPECT_EQ(kept.exitCode, 0) << kept.standardError;
  EXPECT_EQ(kept.standardOutput, "1 2 3 4 5 6 ");
}

// Six databases with six endless statements queued each: they stop together, within one shared deadline,
// and what each committed before its endless statements is kept.
TEST(Shutdown, DatabasesWithEndlessStatementsQueuedStopTogether) {
  Sandbox sandbox;
  sandbox.writeBoot(bootWith(R"lua(
  keep = {}
  for n = 1, 6 do
    local d = assert(db.open(EXE_DIR .. "/user/endless" .. n .. ".db"))
    assert(d:exec("CREATE TABLE t(a)"))
    assert(d:exec_async("INSERT INTO t VALUES(" .. n .. ")"))
    for _ = 1, 6 do
      keep[#keep + 1] = assert(d:query_async(
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c"))
    end
    keep[#keep + 1] = d
  end
)lua"));
  const RunResult result = sandbox.run(newInstance());
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;

  expectSixDatabasesKept(sandbox, "endless");
}

// Inserts queued on a file synced to disk when the boot script ends, closes the state or ends the process
// without closing it, as many as take about twice the grace period on this disk: every one of them is on disk
// afterwards.
TEST(Shutdown, EveryInsertQueuedAtExitIsKept) {
  for (const std::string ending : {"return", "os.exit(0, true)", "os.exit(0)"}) {
    Sandbox sandbox;
    sandbox.writeBoot(bootWith(R"lua(
  local probe = assert(db.open(EXE_DIR .. "/user/probe.db"))
  assert(probe:exec("PRAGMA synchronous=FULL"))
  assert(probe:exec("CREATE TABLE t(a)"))
  local started = system.get_time()
  for i = 1, 20 do assert(probe:exec("INSERT INTO t VALUES(?)", { i })) end
  local count = math.max(200, math.min(8000, math.ceil(4 / ((system.get_time() - started) / 20))))
  assert(probe:close())
  local d = assert(db.open(EXE_DIR .. "/user/queued.db"))
  assert(d:exec("PRAGMA synchronous=FULL"))
  assert(d:exec("CREATE TABLE t(a)"))
  for i = 1, count do assert(d:exec_async("INSERT INTO t VALUES(?)", { i })) end
  keep_db = d
  io.write(count)
)lua" + ending));
    const RunResult result = sandbox.run(newInstance());
    EXPECT_FALSE(result.timedOut) << ending;
    EXPECT_EQ(result.exitCode, 0) << ending << result.standardError;
    sandbox.writeBoot(bootWith(R"lua(
  local d = assert(db.open_readonly(EXE_DIR .. "/user/queued.db"))
  io.write(d:select_count("t"))
)lua"));
    const RunResult kept = sandbox.run(newInstance());
    EXPECT_EQ(kept.exitCode, 0) << ending << kept.standardError;
    EXPECT_EQ(kept.standardOutput, result.standardOutput) << ending;
  }
}

// Six databases with an endless statement each, collected as os.exit closes the state: they share one grace
// period (six of them would take 12 s), and the insert queued behind each endless statement is kept.
TEST(Shutdown, DatabasesCollectedByOsExitStopTogether) {
  Sandbox sandbox;
  sandbox.writeBoot(bootWith(R"lua(
  keep = {}
  for n = 1, 6 do
    local d = assert(db.open(EXE_DIR .. "/user/together" .. n .. ".db"))
    assert(d:exec("CREATE TABLE t(a)"))
    keep[#keep + 1] = assert(d:query_async(
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c"))
    keep[#keep + 1] = assert(d:exec_async("INSERT INTO t VALUES(" .. n .. ")"))
    keep[#keep + 1] = d
  end
  os.exit(0, true)
)lua"));
  const auto started = std::chrono::steady_clock::now();
  const RunResult result = sandbox.run(newInstance());
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_LT(took, std::chrono::seconds(11)) << "six grace periods one after another take at least 12 s";

  expectSixDatabasesKept(sandbox, "together");
}

// Finalizers run newest first: an object's finalizer saves into a database opened before it while the state
// closes, however many databases were opened after it (each with a runaway, still cut), and a runaway the
// finalizer runs after its save is cut too.
TEST(Shutdown, AFinalizerSavesIntoADatabaseOpenedBeforeItWhileTheStateCloses) {
  for (const std::string ending : {"return", "os.exit(0, true)"}) {
    for (const int others : {0, 3}) {
      Sandbox sandbox;
      sandbox.writeBoot(bootWith("  local others = " + std::to_string(others) + R"lua(
  local app = assert(db.open(EXE_DIR .. "/user/app.db"))
  assert(app:exec("CREATE TABLE t(a)"))
  saver = setmetatable({ app }, { __gc = function(self)
    io.write(tostring(self[1]:exec("INSERT INTO t VALUES(1)")), " ")
    if ENDLESS_AFTER_SAVE then io.write(tostring(self[1]:exec(ENDLESS_AFTER_SAVE))) end
  end })
  keep = {}
  for n = 1, others do
    local d = assert(db.open(EXE_DIR .. "/user/other" .. n .. ".db"))
    keep[#keep + 1] = assert(d:query_async(
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c"))
    keep[#keep + 1] = d
  end
  if #keep > 0 then
    ENDLESS_AFTER_SAVE = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
      .. "INSERT INTO t SELECT x FROM c"
  end
)lua" + ending));
      const RunResult result = sandbox.run(newInstance());
      const std::string label = ending + ", " + std::to_string(others) + " opened after it";
      EXPECT_FALSE(result.timedOut) << label;
      EXPECT_EQ(result.exitCode, 0) << label << result.standardError;
      EXPECT_EQ(result.standardOutput, others == 0 ? "true " : "true false") << label;
      sandbox.writeBoot(bootWith(R"lua(
  io.write(assert(db.open_readonly(EXE_DIR .. "/user/app.db")):select_count("t"))
)lua"));
      const RunResult kept = sandbox.run(newInstance());
      EXPECT_EQ(kept.standardOutput, "1") << label << kept.standardError;
    }
  }
}

// Runs one sandbox per ending at the same time, each with `body` followed by its ending, and checks that each
// ends with code 0, what its standard error says of user/<file>, and that user/<file> keeps the row the body
// committed first.
void expectEachEndingReports(const std::string& body, const std::string& file, const std::vector<std::string>& endings,
                             const std::vector<std::string>& reported) {
  std::vector<std::unique_ptr<Sandbox>> sandboxes;
  std::vector<qztest::BackgroundRun> runs;
  for (const std::string& ending : endings) {
    sandboxes.push_back(std::make_unique<Sandbox>());
    sandboxes.back()->writeBoot(bootWith(body + ending));
    runs.push_back(sandboxes.back()->start(newInstance()));
  }
  for (size_t index = 0; index < endings.size(); ++index) {
    const RunResult result = runs[index].wait(std::chrono::seconds(40));
    const std::string& ending = endings[index];
    EXPECT_FALSE(result.timedOut) << ending;
    EXPECT_EQ(result.exitCode, 0) << ending << result.standardError;
    EXPECT_NE(result.standardError.find("qz: database " + sandboxes[index]->root().string() + "/user/" + file),
              std::string::npos)
        << ending << result.standardError;
    for (const std::string& words : reported) {
      EXPECT_NE(result.standardError.find(words), std::string::npos) << ending << result.standardError;
    }
    sandboxes[index]->writeBoot(bootWith(R"lua(
  io.write(assert(db.open_readonly(EXE_DIR .. "/user/)lua" +
                                         file + R"lua(")):select_count("t"))
)lua"));
    const RunResult kept = sandboxes[index]->run(newInstance());
    EXPECT_EQ(kept.standardOutput, "1") << ending << kept.standardError;
  }
}

// A statement that spends its time inside one SQLite call (a search whose every position compares megabytes)
// is never reached by a check: at exit, and when the state closes at the end of the process, it is
// interrupted a few seconds past the deadline, reported with the writes queued behind it, which the process
// ends without, and not waited for.
TEST(Shutdown, AStatementInsideOneLongCallIsReportedAndNotWaitedForAtExit) {
  expectEachEndingReports(R"lua(
  local d = assert(db.open(EXE_DIR .. "/user/onestep.db"))
  assert(d:exec("CREATE TABLE t(a)"))
  keep = { d, assert(d:exec_async("INSERT INTO t VALUES(1)")), assert(d:query_async(
    "SELECT instr(printf('%.*c', 20000000, 'a'), printf('%.*c', 10000000, 'a') || 'b')")) }
  for n = 2, 4 do keep[#keep + 1] = assert(d:exec_async("INSERT INTO t VALUES(?)", { n })) end
)lua",
                          "onestep.db", {"return", "os.exit(0)", "os.exit(0, true)"},
                          {"inside one SQLite call",
                           "onestep.db: 3 writes not run: 3 left with a call stuck inside one "
                           "SQLite call as the process ends\n"});
}

// A finalizer that runs such a statement while the host shuts down is given up on the same way: its call, and
// the one it makes after it on the same database, fail with "interrupted", and the process ends.
TEST(Shutdown, AFinalizersCallInsideOneLongSqliteCallIsGivenUpAtTheHostsStop) {
  Sandbox sandbox;
  sandbox.writeBoot(bootWith(R"lua(
  local d = assert(db.open(EXE_DIR .. "/user/stuck.db"))
  assert(d:exec("CREATE TABLE t(a)"))
  stuck = setmetatable({ d }, { __gc = function(self)
    print(self[1]:query_sync(
      "SELECT instr(printf('%.*c', 20000000, 'a'), printf('%.*c', 10000000, 'a') || 'b')"))
    print(self[1]:exec("INSERT INTO t VALUES(1)"))
  end })
)lua"));
  const RunResult result = sandbox.run(qztest::newInstance(std::chrono::seconds(40)));
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "nil\tinterrupted\nfalse\tinterrupted\n");
  EXPECT_NE(result.standardError.find("qz: database " + sandbox.root().string() +
                                      "/user/stuck.db: its running request was cut: still inside one SQLite call"),
            std::string::npos)
      << result.standardError;
}

// A finalizer that closes, while the host shuts down, a database whose running request is stuck inside one
// SQLite call is not held by it for ever: the close gives up on it as the state's own stop does, says so, and
// returns false, "interrupted"; the row saved before it is kept.
TEST(Shutdown, AFinalizersCloseOfADatabaseStuckInsideOneCallIsGivenUpAtTheHostsStop) {
  Sandbox sandbox;
  sandbox.writeBoot(bootWith(R"lua(
  local d = assert(db.open(EXE_DIR .. "/user/closing.db"))
  assert(d:exec("CREATE TABLE t(a)"))
  assert(d:exec("INSERT INTO t VALUES(1)"))
  keep = assert(d:query_async(
    "SELECT instr(printf('%.*c', 20000000, 'a'), printf('%.*c', 10000000, 'a') || 'b')"))
  closer = setmetatable({ d }, { __gc = function(self) print(self[1]:close()) end })
)lua"));
  const RunResult result = sandbox.run(qztest::newInstance(std::chrono::seconds(40)));
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "false\tinterrupted\n");
  EXPECT_NE(result.standardError.find("qz: database " + sandbox.root().string() +
                                      "/user/closing.db: its running request was cut: still inside one SQLite call"),
            std::string::npos)
      << result.standardError;
  sandbox.writeBoot(bootWith(R"lua(
  io.write(assert(db.open_readonly(EXE_DIR .. "/user/closing.db")):select_count("t"))
)lua"));
  EXPECT_EQ(sandbox.run(newInstance()).standardOutput, "1");
}

// A write that never ends, queued at exit or before its object is collected: cut past the deadline, and said
// on standard error.
TEST(Shutdown, AWriteCutShortAtCollectionOrExitIsReported) {
  expectEachEndingReports(R"lua(
  local d = assert(db.open(EXE_DIR .. "/user/long.db"))
  assert(d:exec("CREATE TABLE t(a)"))
  assert(d:exec("INSERT INTO t VALUES(0)"))
  keep = assert(d:exec_async(
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) INSERT INTO t SELECT x FROM c"))
  d = nil
)lua",
                          "long.db", {"return", "os.exit(0)", "os.exit(0, true)", "collectgarbage() return"},
                          {"long.db: 1 write not run: 1 cut short past the stop's deadline (interrupted)\n"});
}

TEST(Shutdown, AJobThatSwallowsItsCancellationIsLeftRunningAndTheProcessExitsWithTheScriptsCode) {
  const struct {
    const char* ending;
    int exitCode;
  } cases[] = {{"return", 0}, {"os.exit(3)", 3}, {"error('boot failed', 0)", 1}};
  for (const auto& each : cases) {
    Sandbox sandbox;
    sandbox.writeBoot(bootWith(R"lua(
  local mark = EXE_DIR .. "/user/running"
  keep = assert(worker.submit("jobs", "swallow", mark))
  wait_for(mark)
)lua" + std::string(each.ending)));
    const RunResult result = sandbox.run(newInstance());
    EXPECT_FALSE(result.timedOut) << each.ending;
    EXPECT_EQ(result.exitCode, each.exitCode) << each.ending << result.standardError;
  }
}

TEST(Shutdown, SigtermEndsAProcessThatWaitsForItsWorkerAtShutdown) {
  Sandbox sandbox;
  sandbox.writeBoot(bootWith(R"lua(
  local mark = EXE_DIR .. "/user/running"
  keep = assert(worker.submit("jobs", "swallow", mark))
  wait_for(mark)
  io.open(EXE_DIR .. "/user/returning", "w"):close()
)lua"));
  qztest::BackgroundRun run = sandbox.start(newInstance());
  ASSERT_TRUE(sandbox.waitForFile("user/returning"));
  // Sent again until the process ends, so that one lands in the shutdown wait however late that begins (one
  // sent before it only becomes a quit event that nothing reads), with no guess at when it does.
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (run.running() && std::chrono::steady_clock::now() < deadline) {
    run.kill(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const RunResult result = run.wait(kDeadline);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.signal, SIGTERM) << result.exitCode << result.standardError;
}

TEST(Shutdown, FinalizersRunWhileTheStateClosesStartNoWorkerDownloadOrDatabaseThread) {
  Sandbox sandbox;
  sandbox.writeBoot(bootWith(R"lua(
  local first = assert(worker.submit("jobs", "echo", 1))
  while not first:ready() do system.sleep(0.001) end
  keep_until_close = setmetatable({}, { __gc = function()
    print(worker.submit("jobs", "echo", 2))
    local download = web.download("http://127.0.0.1:9/file", EXE_DIR .. "/user/file")
    print(download:ready(), download:result())
    print(db.open())
  end })
)lua"));
  const RunResult result = sandbox.run(newInstance());
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput,
            "nil\tworker is shutting down\n"
            "true\tnil\tdownload thread failed: the process is shutting down\t0\n"
            "nil\tfailed to start db worker thread\n");
  EXPECT_EQ(result.standardError.find("LeakSanitizer"), std::string::npos) << result.standardError;
}

}  // namespace
