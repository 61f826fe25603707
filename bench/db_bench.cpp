// The database worker's cost: a point query and an insert through the worker (the roads of DB:query_sync
// and DB:exec) against the same statements stepped directly with SQLite's C API, with every thread pinned to
// one processor and free, on a machine otherwise idle and with every processor kept busy by processes the
// benchmark starts, beside a bare hand-off between two threads; the throughput of queries from Lua; closing a
// database whose queue holds statements that never end, and closing one with thousands of inserts queued
// against the same inserts each waited for.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <stdlib.h>
#include <time.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/database_worker.h"
#include "db/db_lua.h"
#include "db/sqlite_handles.h"
#include "host/lua_api.h"
#include "processor_load.h"
#include "ratio_reporter.h"

namespace {

constexpr int kRows = 10000;
constexpr const char* kPointQuery = "SELECT id, name, score FROM items WHERE id = ?1";

// A database file of kRows rows in a fresh temporary directory, removed afterwards.
class SampleDatabase {
 public:
  SampleDatabase() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qz-db-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) directory_ = pattern;
    path_ = (directory_ / "sample.db").string();
    ensureSqliteConfigured();
    sqlite3* handle = nullptr;
    sqlite3_open(path_.c_str(), &handle);
    connection_.reset(handle);
    sqlite3_exec(handle,
                 "CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT, score REAL);"
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000) "
                 "INSERT INTO items SELECT i, 'item ' || i, i * 0.5 FROM n;",
                 nullptr, nullptr, nullptr);
  }
  ~SampleDatabase() {
    connection_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  SampleDatabase(const SampleDatabase&) = delete;
  SampleDatabase& operator=(const SampleDatabase&) = delete;

  sqlite3* connection() const { return connection_.get(); }
  const std::string& path() const { return path_; }

 private:
  std::filesystem::path directory_;
  std::string path_;
  SqliteConnection connection_;
};

// Pins the calling thread, and the threads it starts from then on, to the processor it runs on when `pin` is
// set; restores its processors when destroyed.
class ProcessorPin {
 public:
  explicit ProcessorPin(bool pin) : pinned_(pin) {
    if (!pinned_) return;
    sched_getaffinity(0, sizeof(saved_), &saved_);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof(one), &one);
  }
  ~ProcessorPin() {
    if (pinned_) sched_setaffinity(0, sizeof(saved_), &saved_);
  }
  ProcessorPin(const ProcessorPin&) = delete;
  ProcessorPin& operator=(const ProcessorPin&) = delete;

 private:
  bool pinned_;
  cpu_set_t saved_{};
};

void pinnedOrFree(benchmark::internal::Benchmark* benchmark) { benchmark->ArgName("pinned")->Arg(1)->Arg(0); }

// Pinned or free, on an idle machine or with every processor busy.
void pinnedOrFreeIdleOrLoaded(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgNames({"pinned", "loaded"})->Args({1, 0})->Args({0, 0})->Args({1, 1})->Args({0, 1});
}

// The processor time of the whole process (the load's processes left out).
double processProcessorSeconds() {
  timespec time{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
  return double(time.tv_sec) + double(time.tv_nsec) * 1e-9;
}

// Reports the process's processor time per iteration, in microseconds, as the counter "cpu_us".
class ProcessorTimeCounter {
 public:
  explicit ProcessorTimeCounter(benchmark::State& state) : state_(state), started_(processProcessorSeconds()) {}
  ~ProcessorTimeCounter() {
    state_.counters["cpu_us"] =
        benchmark::Counter((processProcessorSeconds() - started_) * 1e6 / double(state_.iterations()));
  }
  ProcessorTimeCounter(const ProcessorTimeCounter&) = delete;
  ProcessorTimeCounter& operator=(const ProcessorTimeCounter&) = delete;

 private:
  benchmark::State& state_;
  double started_;
};

// The road of a synchronous request without the request: one thread hands a turn to another through a mutex
// and a condition variable and waits for it to come back, two hand-offs each.
void BM_HandOff(benchmark::State& state) {
  const ProcessorPin pin(state.range(0) != 0);
  std::mutex lock;
  std::condition_variable changed;
  int turn = 0;
  std::thread partner([&] {
    std::unique_lock guard(lock);
    for (;;) {
      changed.wait(guard, [&] { return turn != 0; });
      if (turn < 0) return;
      turn = 0;
      changed.notify_all();
    }
  });
  for (auto _ : state) {
    std::unique_lock guard(lock);
    turn = 1;
    changed.notify_all();
    changed.wait(guard, [&] { return turn == 0; });
  }
  {
    std::lock_guard guard(lock);
    turn = -1;
  }
  changed.notify_all();
  partner.join();
}
BENCHMARK(BM_HandOff)->Apply(pinnedOrFree);

void BM_PointQueryDirect(benchmark::State& state) {
  const ProcessorPin pin(state.range(0) != 0);
  SampleDatabase sample;
  sqlite3_stmt* prepared = nullptr;
  sqlite3_prepare_v2(sample.connection(), kPointQuery, -1, &prepared, nullptr);
  const SqliteStatement statement(prepared);
  int64_t id = 0;
  for (auto _ : state) {
    sqlite3_bind_int64(prepared, 1, id++ % kRows + 1);
    DatabaseRows rows;
    while (sqlite3_step(prepared) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(prepared, 1));
      rows.push_back({DatabaseValue::ofInteger(sqlite3_column_int64(prepared, 0)),
                      DatabaseValue::ofText(std::string(name, static_cast<size_t>(sqlite3_column_bytes(prepared, 1)))),
                      DatabaseValue::ofFloat(sqlite3_column_double(prepared, 2))});
    }
    sqlite3_reset(prepared);
    sqlite3_clear_bindings(prepared);
    benchmark::DoNotOptimize(rows);
  }
}
BENCHMARK(BM_PointQueryDirect)->Apply(pinnedOrFree);

void BM_PointQueryWorker(benchmark::State& state) {
  const EveryProcessorBusy load(state.range(1) != 0);
  const ProcessorPin pin(state.range(0) != 0);
  SampleDatabase sample;
  const auto worker = DatabaseWorker::create();
  std::string error;
  worker->start(error);
  int64_t id = 0;
  {
    const ProcessorTimeCounter processorTime(state);
    for (auto _ : state) {
      QueryResult result;
      worker->query({sample.connection(), kPointQuery, false, {DatabaseValue::ofInteger(id++ % kRows + 1)}}, true,
                    result, error);
      benchmark::DoNotOptimize(result);
    }
  }
  worker->stop();
}
BENCHMARK(BM_PointQueryWorker)->Apply(pinnedOrFreeIdleOrLoaded)->UseRealTime();

constexpr const char* kInsert = "INSERT INTO items(name, score) VALUES(?1, ?2)";

// Inserts into the sample file inside one transaction, committed when the benchmark ends.
void BM_InsertDirect(benchmark::State& state) {
  const ProcessorPin pin(state.range(0) != 0);
  SampleDatabase sample;
  sqlite3_exec(sample.connection(), "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* prepared = nullptr;
  sqlite3_prepare_v2(sample.connection(), kInsert, -1, &prepared, nullptr);
  const SqliteStatement statement(prepared);
  int64_t id = 0;
  for (auto _ : state) {
    const std::string name = "new " + std::to_string(id);
    sqlite3_bind_text(prepared, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(prepared, 2, static_cast<double>(id++));
    while (sqlite3_step(prepared) == SQLITE_ROW) {
    }
    benchmark::DoNotOptimize(sqlite3_changes(sample.connection()));
    sqlite3_reset(prepared);
    sqlite3_clear_bindings(prepared);
  }
  sqlite3_exec(sample.connection(), "COMMIT", nullptr, nullptr, nullptr);
}
BENCHMARK(BM_InsertDirect)->Apply(pinnedOrFree);

void BM_InsertWorker(benchmark::State& state) {
  const ProcessorPin pin(state.range(0) != 0);
  SampleDatabase sample;
  const auto worker = DatabaseWorker::create();
  std::string error;
  worker->start(error);
  int32_t code = 0;
  std::string message;
  worker->execText(sample.connection(), "BEGIN", code, message, error);
  int64_t id = 0;
  for (auto _ : state) {
    ExecResult result;
    worker->execPrepared({sample.connection(),
                          kInsert,
                          false,
                          {DatabaseValue::ofText("new " + std::to_string(id)), DatabaseValue::ofFloat(double(id))}},
                         result, error);
    ++id;
    benchmark::DoNotOptimize(result);
  }
  worker->execText(sample.connection(), "COMMIT", code, message, error);
  worker->stop();
}
BENCHMARK(BM_InsertWorker)->Apply(pinnedOrFree);

// A Lua state with the db module and a database on the sample file; `chunk`, called with the path and the
// argument when one is given, returns the function to run.
class LuaDatabase {
 public:
  LuaDatabase(const std::string& path, const char* chunk, const char* argument = nullptr) : L_(luaL_newstate()) {
    luaL_openlibs(L_);
    luaL_requiref(L_, "db", luaopen_db, 1);
    lua_pop(L_, 1);
    luaL_loadstring(L_, chunk);
    lua_pushstring(L_, path.c_str());
    lua_pushstring(L_, argument);
    lua_call(L_, 2, 1);
    function_ = luaL_ref(L_, LUA_REGISTRYINDEX);
  }
  ~LuaDatabase() { lua_close(L_); }
  LuaDatabase(const LuaDatabase&) = delete;
  LuaDatabase& operator=(const LuaDatabase&) = delete;

  void run(int count) {
    lua_rawgeti(L_, LUA_REGISTRYINDEX, function_);
    lua_pushinteger(L_, count);
    lua_call(L_, 1, 0);
  }

 private:
  lua_State* L_;
  int function_;
};

constexpr int kBatch = 1000;

void BM_QuerySyncFromLua(benchmark::State& state) {
  const EveryProcessorBusy load(state.range(1) != 0);
  const ProcessorPin pin(state.range(0) != 0);
  SampleDatabase sample;
  LuaDatabase lua(sample.path(), R"(
    local d = assert(db.open(...))
    return function(n)
      for i = 1, n do assert(d:query_sync("SELECT id, name, score FROM items WHERE id = ?1", { i })) end
    end)");
  {
    const ProcessorTimeCounter processorTime(state);
    for (auto _ : state) lua.run(kBatch);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_QuerySyncFromLua)->Apply(pinnedOrFreeIdleOrLoaded)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_QueryAsyncFromLua(benchmark::State& state) {
  SampleDatabase sample;
  LuaDatabase lua(sample.path(), R"(
    local d = assert(db.open(...))
    local pending = {}
    return function(n)
      for i = 1, n do pending[i] = d:query_async("SELECT id, name, score FROM items WHERE id = ?1", { i }) end
      for i = 1, n do
        local query = pending[i]
        while not query:ready() do end
        assert(query:result())
      end
    end)");
  for (auto _ : state) lua.run(kBatch);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_QueryAsyncFromLua);

// Closing a database whose queue holds N statements that never end, behind a quick insert: the whole close
// takes one grace period, whatever N.
void BM_CloseWithEndlessStatementsQueued(benchmark::State& state) {
  constexpr const char* kQuickInsert = "INSERT INTO items(name, score) VALUES('new', 1)";
  constexpr const char* kEndless =
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c";
  SampleDatabase sample;
  for (auto _ : state) {
    const auto worker = DatabaseWorker::create();
    std::string error;
    worker->start(error);
    std::shared_ptr<DatabaseAsyncExecState> insert;
    worker->execAsync({sample.connection(), kQuickInsert, false, {}}, insert, error);
    std::vector<std::shared_ptr<DatabaseAsyncQueryState>> endless(static_cast<size_t>(state.range(0)));
    for (auto& query : endless) worker->queryAsync({sample.connection(), kEndless, false, {}}, query, error);
    worker->stop();
  }
}
BENCHMARK(BM_CloseWithEndlessStatementsQueued)
    ->Arg(1)
    ->Arg(6)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// N inserts, each its own transaction, into a fresh file database synced to disk, then DB:close: queued with
// exec_async (the close runs them all) or each waited for with exec before the next. The time covers the
// inserts and the close; `rows` is what the file holds afterwards.
void insertThenClose(benchmark::State& state, const char* insert) {
  const std::string path = (std::filesystem::temp_directory_path() / "qz-db-bench-inserts.db").string();
  constexpr const char* kBody = R"lua(
    local path, insert = ...
    local d = assert(db.open(path))
    assert(d:exec("PRAGMA synchronous=FULL"))
    assert(d:exec("CREATE TABLE t(a)"))
    return function(n)
      for i = 1, n do assert(d[insert](d, "INSERT INTO t VALUES(?)", { i })) end
      assert(d:close())
    end)lua";
  int64_t rows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (const char* suffix : {"", "-journal"}) std::filesystem::remove(path + suffix);
    {
      LuaDatabase lua(path, kBody, insert);
      state.ResumeTiming();
      lua.run(static_cast<int>(state.range(0)));
      state.PauseTiming();
    }
    SqliteConnection reader;
    sqlite3* handle = nullptr;
    sqlite3_open(path.c_str(), &handle);
    reader.reset(handle);
    sqlite3_stmt* prepared = nullptr;
    sqlite3_prepare_v2(handle, "SELECT count(*) FROM t", -1, &prepared, nullptr);
    const SqliteStatement statement(prepared);
    if (sqlite3_step(prepared) == SQLITE_ROW) rows += sqlite3_column_int64(prepared, 0);
    state.ResumeTiming();
  }
  state.counters["rows"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kAvgIterations);
  for (const char* suffix : {"", "-journal"}) std::filesystem::remove(path + suffix);
}

void BM_CloseWithInsertsQueued(benchmark::State& state) { insertThenClose(state, "exec_async"); }
void BM_InsertsWaitedForThenClose(benchmark::State& state) { insertThenClose(state, "exec"); }
BENCHMARK(BM_CloseWithInsertsQueued)->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InsertsWaitedForThenClose)->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// Prints the time of the worker's round trip over that of the direct call, pinned (against the direct call
// plus a hand-off, the least a round trip between two threads can cost there) and free.
void printRoundTripRatios(const RatioReporter& reporter, const char* label, const std::string& worker,
                          const std::string& direct) {
  const auto time = [&](const std::string& name, int pinned) {
    auto found = reporter.microseconds.find(name + "/pinned:" + std::to_string(pinned));
    if (found == reporter.microseconds.end()) {
      found = reporter.microseconds.find(name + "/pinned:" + std::to_string(pinned) + "/loaded:0/real_time");
    }
    return found != reporter.microseconds.end() ? found->second : 0.0;
  };
  const double pinnedBase = time(direct, 1) + time("BM_HandOff", 1);
  if (time(worker, 1) > 0 && time(direct, 1) > 0 && time("BM_HandOff", 1) > 0) {
    std::printf("%-24s one processor: %8.2f / (%6.2f + hand-off %6.2f) ns = %5.2f x (target 3.0 x)\n", label,
                time(worker, 1), time(direct, 1), time("BM_HandOff", 1), time(worker, 1) / pinnedBase);
  }
  if (time(worker, 0) > 0 && time(direct, 0) > 0) {
    std::printf("%-24s free:          %8.2f / %6.2f ns = %5.2f x\n", label, time(worker, 0), time(direct, 0),
                time(worker, 0) / time(direct, 0));
  }
}

// Prints the time of a round trip free against pinned to one processor, on the idle machine and with every
// processor busy, with the process's processor time per round trip: free should never cost more.
void printFreeAgainstPinned(const RatioReporter& reporter, const char* label, const std::string& name,
                            const char* unit) {
  for (const int loaded : {0, 1}) {
    double time[2] = {0, 0};
    double processor[2] = {0, 0};
    for (const int pinned : {0, 1}) {
      const std::string run =
          name + "/pinned:" + std::to_string(pinned) + "/loaded:" + std::to_string(loaded) + "/real_time";
      const auto found = reporter.microseconds.find(run);
      if (found == reporter.microseconds.end()) return;
      time[pinned] = found->second;
      const auto counters = reporter.counters.find(run);
      if (counters != reporter.counters.end() && counters->second.count("cpu_us") != 0) {
        processor[pinned] = counters->second.at("cpu_us");
      }
    }
    std::printf(
        "%-24s %s: free %8.2f %s (processor %8.2f us), pinned %8.2f %s (processor %8.2f us) = %5.2f x "
        "(target 1.0 x at most)\n",
        label, loaded != 0 ? "every processor busy" : "idle               ", time[0], unit, processor[0], time[1], unit,
        processor[1], time[0] / time[1]);
  }
}

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  printRoundTripRatios(reporter, "point query, worker", "BM_PointQueryWorker", "BM_PointQueryDirect");
  printRoundTripRatios(reporter, "insert, worker", "BM_InsertWorker", "BM_InsertDirect");
  printFreeAgainstPinned(reporter, "point query, worker", "BM_PointQueryWorker", "ns");
  printFreeAgainstPinned(reporter, "1,000 query_sync, Lua", "BM_QuerySyncFromLua", "ms");
  reporter.printRatio("1,000 inserts: queued then close / waited for",
                      "BM_CloseWithInsertsQueued/1000/iterations:3/real_time",
                      "BM_InsertsWaitedForThenClose/1000/iterations:3/real_time", 1.2, "ms");
  benchmark::Shutdown();
  return 0;
}
