// The background worker: a 100,000-entry table copied out of one Lua state and pushed into another (what a
// job's argument and result go through), next to a deep copy written in Lua within one state; and how long a
// cancelled job takes to finish, sleeping or spinning; and a trivial job on a worker whose module keeps a large
// table between jobs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "host/lua_api.h"
#include "services/lua_worker.h"
#include "services/worker_state.h"
#include "services/worker_values.h"

namespace {

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};
using LuaState = std::unique_ptr<lua_State, LuaStateCloser>;

LuaState newState() {
  LuaState state(luaL_newstate());
  luaL_openlibs(state.get());
  return state;
}

// The benchmark's tables of 100,000 entries: numbers, short strings, and string keys with small records.
const char* const kSamples[] = {
    "local t = {} for i = 1, 100000 do t[i] = i * 0.5 end return t",
    "local t = {} for i = 1, 100000 do t[i] = 'value ' .. i end return t",
    "local t = {} for i = 1, 50000 do t['key' .. i] = {i, 'v'} end return t",
};

void pushSample(lua_State* L, int64_t sample) { luaL_dostring(L, kSamples[sample]); }

// Copies the table on top of source, then pushes the copy into target (when given) and drops it there. The
// budget is lifted: the 8 MiB limit of a submission would stop at about 29,000 entries.
void copyOutAndBack(benchmark::State& state, lua_State* source, lua_State* target) {
  WorkerValue copy;
  WorkerVisitSet visiting;
  WorkerCopyBudget budget{0, uint64_t{1} << 40};
  std::string error;
  if (!copyWorkerValue(source, -1, copy, visiting, 0, budget, error)) state.SkipWithError(error.c_str());
  if (target == nullptr) return;
  pushWorkerValue(target, copy);
  lua_pop(target, 1);
}

void BM_WorkerCopyOutAndBack(benchmark::State& state) {
  LuaState source = newState();
  LuaState target = newState();
  pushSample(source.get(), state.range(0));
  for (auto _ : state) copyOutAndBack(state, source.get(), target.get());
}

// The copy out alone (the tree is built and freed), to split the round trip.
void BM_WorkerCopyOut(benchmark::State& state) {
  LuaState source = newState();
  pushSample(source.get(), state.range(0));
  for (auto _ : state) copyOutAndBack(state, source.get(), nullptr);
}

void BM_LuaDeepCopy(benchmark::State& state) {
  LuaState lua = newState();
  lua_State* L = lua.get();
  luaL_dostring(L,
                "local function copy(v) if type(v) ~= 'table' then return v end "
                "local t = {} for k, x in next, v do t[copy(k)] = copy(x) end return t end return copy");
  pushSample(L, state.range(0));
  for (auto _ : state) {
    lua_pushvalue(L, -2);
    lua_pushvalue(L, -2);
    lua_call(L, 1, 1);
    lua_pop(L, 1);
  }
}

// The source compiled into a binary chunk, as module loaders cross to the worker.
std::string binaryChunk(const char* source) {
  LuaState lua(luaL_newstate());
  luaL_loadstring(lua.get(), source);
  std::string chunk;
  const auto append = [](lua_State*, const void* p, size_t n, void* out) {
    if (p != nullptr) static_cast<std::string*>(out)->append(static_cast<const char*>(p), n);
    return 0;
  };
  lua_dump(lua.get(), append, &chunk, 1);
  return chunk;
}

// The time from cancel() to done of a job that sleeps (range 0) or spins (range 1).
void BM_WorkerCancelLatency(benchmark::State& state) {
  const std::string boot = binaryChunk("return { run = function() end }");
  const std::string jobs =
      binaryChunk("return { sleep = function() system.sleep(60) end, spin = function() while true do end end }");
  int iteration = 0;
  for (auto _ : state) {
    auto job = std::make_shared<WorkerRequest>();
    job->moduleName = "jobs";
    job->functionName = state.range(0) == 0 ? "sleep" : "spin";
    job->moduleChunk = jobs;
    WorkerBoot copies{".", "", boot};
    submitWorkerJob(job, copies);
    // A varying wait, so cancellation lands anywhere within the sleep's 10 ms slices.
    std::this_thread::sleep_for(std::chrono::microseconds(20000 + (iteration++ * 3700) % 10000));
    const auto start = std::chrono::steady_clock::now();
    job->cancel = true;
    while (!job->done.load()) std::this_thread::yield();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  shutdownWorkerPool();
}

// A trivial job (its argument returned) on a worker whose job module keeps a table of N entries, made by a
// first job and kept between jobs.
void BM_SmallJobBesideAKeptTable(benchmark::State& state) {
  std::atomic<bool> stopping{false};
  WorkerState worker({".", "", binaryChunk("return { run = function() end }")}, {}, stopping);
  const std::string jobs = binaryChunk(
      "local kept = {} "
      "return { keep = function(n) for i = 1, n do kept[i] = 'entry ' .. i end end, echo = function(v) return v end }");
  const auto run = [&worker, &jobs](const char* function, int64_t argument) {
    WorkerRequest job;
    job.moduleName = "jobs";
    job.functionName = function;
    job.moduleChunk = jobs;
    job.argument = {argument};
    worker.runJob(job);
    return job.errorText;
  };
  if (const std::string error = run("keep", state.range(0)); !error.empty()) state.SkipWithError(error.c_str());
  int64_t count = 0;
  for (auto _ : state) {
    if (const std::string error = run("echo", ++count); !error.empty()) state.SkipWithError(error.c_str());
  }
}

}  // namespace

BENCHMARK(BM_SmallJobBesideAKeptTable)->Arg(0)->Arg(4000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WorkerCopyOutAndBack)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WorkerCopyOut)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LuaDeepCopy)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WorkerCancelLatency)->Arg(0)->Arg(1)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
