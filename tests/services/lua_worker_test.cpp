#include "services/lua_worker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/process_state.h"
#include "lua_test_state.h"
#include "sanitizer_build.h"
#include "services/worker_state.h"

namespace {

const std::string kJobs = binaryChunk(R"lua(
  return {
    echo = function(v) return v end,
    sleep = function(s) system.sleep(s) return "slept" end,
    mark_and_sleep = function(v) io.open(v.mark, "w"):close() system.sleep(v.seconds) end,
    mark_and_swallow = function(mark)
      io.open(mark, "w"):close()
      while true do pcall(function() while true do end end) end
    end,
    boot_count = function() return booted end,
    fill = function(v)
      local kept = {}
      for i = 1, v.rows do kept[i] = { i, tostring(i), {} } end
      if v.fail then error("filled") end
    end,
    kibibytes = function() return collectgarbage("count") end,
    keep_index = function(n)
      index = {}
      for i = 1, n do index[i] = i end
      return #index
    end,
    leave_marked_garbage = function()
      marked = setmetatable({ {} }, { __mode = "v" })
    end,
    marked_garbage_left = function() return marked[1] ~= nil end,
  }
)lua");

std::shared_ptr<WorkerRequest> job(const std::string& function, WorkerValue argument = {},
                                   const std::string& module = "jobs", const std::string& chunk = kJobs) {
  auto request = std::make_shared<WorkerRequest>();
  request->moduleName = module;
  request->functionName = function;
  request->moduleChunk = chunk;
  request->argument = std::move(argument);
  return request;
}

WorkerBoot bootFrom(const std::string& source) {
  return {"/exe", "/exe/qz", source.empty() ? "" : binaryChunk(source)};
}

// The error text of function run on a state booted from bootSource.
std::string jobError(const std::string& bootSource, const std::shared_ptr<WorkerRequest>& request = job("echo")) {
  std::atomic<bool> stopping{false};
  WorkerState state(bootFrom(bootSource), {}, stopping);
  state.runJob(*request);
  return request->errorText;
}

TEST(WorkerState, EveryBootFailureBecomesEachJobsError) {
  const std::string raised = jobError("return { run = function() error('boot broke') end }");
  EXPECT_NE(raised.find("]:1: boot broke\nstack traceback:\n\t[C]: in global 'error'"), std::string::npos) << raised;
  EXPECT_EQ(jobError("return {}"), "core.workerboot.run was not found");
  EXPECT_EQ(jobError("return 42"), "core.workerboot.run was not found");
  EXPECT_EQ(jobError("return setmetatable({}, {__index = function() error('no') end})"),
            "core.workerboot.run was not found");
  EXPECT_NE(jobError("").find("module 'core.workerboot' not found"), std::string::npos);
}

TEST(WorkerState, ReadsJobFunctionsWithoutFailingOnOddModules) {
  const std::string boot = "return { run = function() booted = true end }";
  EXPECT_EQ(jobError(boot, job("f", {}, "number_module", binaryChunk("return 7"))),
            "worker module function was not found");
  EXPECT_EQ(jobError(boot, job("missing")), "worker module function was not found");
  auto cancelled = job("echo");
  cancelled->cancel = true;
  EXPECT_EQ(jobError(boot, cancelled), "worker job cancelled");
  auto booted = job("boot_count");
  EXPECT_EQ(jobError(boot, booted), "");
  EXPECT_EQ(std::get<bool>(booted->result.data), true);
}

TEST(WorkerState, ShutdownCancelsABootThatSleeps) {
  std::atomic<bool> stopping{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stopping = true;
  });
  WorkerState state(bootFrom("return { run = function() system.sleep(1e300) end }"), {}, stopping);
  stopper.join();
  auto request = job("echo");
  state.runJob(*request);
  EXPECT_NE(request->errorText.find("worker job cancelled"), std::string::npos) << request->errorText;
}

// The memory a job left behind, failed or not, is collected before the worker waits for the next one.
TEST(WorkerState, AJobLeavesNoGarbageInTheIdleState) {
  for (const bool fail : {true, false}) {
    std::atomic<bool> stopping{false};
    WorkerState state(bootFrom("return { run = function() end }"), {}, stopping);
    auto kibibytes = [&state] {
      auto request = job("kibibytes");
      state.runJob(*request);
      EXPECT_EQ(request->errorText, "");
      return std::get<double>(request->result.data);
    };
    const double baseline = kibibytes();
    auto argument = std::make_shared<LuaTable>();
    argument->entries.push_back({{std::string("rows")}, {int64_t{300000}}});
    argument->entries.push_back({{std::string("fail")}, {fail}});
    auto filling = job("fill", {argument});
    state.runJob(*filling);
    EXPECT_EQ(filling->errorText.find("filled") != std::string::npos, fail) << filling->errorText;
    // The job held about 55 MiB; what stays is the state's string table, shrunk by half at each collection.
    EXPECT_LT(kibibytes(), baseline + 8 * 1024) << (fail ? "after a failed job" : "after a job that returned");
  }
}

// A worker whose module keeps a table of four million entries: small jobs leave their garbage to the
// incremental collector, and no full collection walks the whole table after each of them.
TEST(WorkerState, SmallJobsOfAWorkerWithALargeTableCostNoFullCollection) {
  std::atomic<bool> stopping{false};
  WorkerState state(bootFrom("return { run = function() end }"), {}, stopping);
  auto run = [&state](const std::string& function, WorkerValue argument = {}) {
    auto request = job(function, std::move(argument));
    state.runJob(*request);
    EXPECT_EQ(request->errorText, "") << function;
    return request->result;
  };
  EXPECT_EQ(std::get<int64_t>(run("keep_index", {int64_t{4000000}}).data), 4000000);
  run("leave_marked_garbage");
  for (int64_t i = 0; i < 200; ++i) EXPECT_EQ(std::get<int64_t>(run("echo", {i}).data), i);
  EXPECT_TRUE(std::get<bool>(run("marked_garbage_left").data)) << "a full collection ran after a small job";
}

bool waitDone(const WorkerRequest& request, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!request.done.load()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(WorkerPool, RunsJobsInOrderOnOneThreadBootedOnce) {
  WorkerBoot boot = bootFrom("return { run = function() booted = (booted or 0) + 1 end }");
  std::vector<std::shared_ptr<WorkerRequest>> requests;
  for (int64_t i = 0; i < 8; ++i) {
    requests.push_back(job(i % 2 == 0 ? "echo" : "boot_count", {i}));
    ASSERT_EQ(submitWorkerJob(requests.back(), boot), nullptr);
  }
  // A job is done only after every job submitted before it.
  ASSERT_TRUE(waitDone(*requests.back(), std::chrono::seconds(10)));
  for (int64_t i = 0; i < 8; ++i) {
    ASSERT_TRUE(requests[i]->done) << i;
    EXPECT_EQ(std::get<int64_t>(requests[i]->result.data), i % 2 == 0 ? i : 1);
  }
  shutdownWorkerPool();
}

#if !defined(QZ_TEST_UNDER_ASAN)  // the sanitizer keeps freed memory in quarantine
// The memory this process holds resident now.
size_t residentBytes() {
  size_t pages = 0;
  size_t resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// A job that fails holding about 280 MB: once it is done, the idle worker holds none of it.
TEST(WorkerPool, AnIdleWorkerHoldsNoMemoryOfAFailedJob) {
  WorkerBoot boot = bootFrom("return { run = function() end }");
  auto warmUp = job("echo");
  ASSERT_EQ(submitWorkerJob(warmUp, boot), nullptr);
  ASSERT_TRUE(waitDone(*warmUp, std::chrono::minutes(1)));
  const size_t before = residentBytes();
  auto argument = std::make_shared<LuaTable>();
  argument->entries.push_back({{std::string("rows")}, {int64_t{1500000}}});
  argument->entries.push_back({{std::string("fail")}, {true}});
  auto filling = job("fill", {argument});
  ASSERT_EQ(submitWorkerJob(filling, boot), nullptr);
  ASSERT_TRUE(waitDone(*filling, std::chrono::minutes(1)));
  EXPECT_NE(filling->errorText.find("filled"), std::string::npos) << filling->errorText;
  EXPECT_LT(residentBytes(), before + (size_t{64} << 20)) << before;
  shutdownWorkerPool();
}
#endif

TEST(WorkerPool, ShutdownCancelsTheRunningAndEveryQueuedJobAtOnce) {
  WorkerBoot boot = bootFrom("return { run = function() end }");
  const std::string mark = ::testing::TempDir() + "/worker-running-" + std::to_string(getpid());
  auto argument = std::make_shared<LuaTable>();
  argument->entries.push_back({{std::string("mark")}, {mark}});
  argument->entries.push_back({{std::string("seconds")}, {30.0}});
  auto running = job("mark_and_sleep", {argument});
  ASSERT_EQ(submitWorkerJob(running, boot), nullptr);
  // Once the mark exists the job runs, so 32 more can wait behind it.
  while (access(mark.c_str(), F_OK) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  unlink(mark.c_str());
  std::vector<std::shared_ptr<WorkerRequest>> queued;
  for (int i = 0; i < 32; ++i) {
    queued.push_back(job("echo", {int64_t{i}}));
    ASSERT_EQ(submitWorkerJob(queued.back(), boot), nullptr);
  }
  EXPECT_STREQ(workerQueueRefusal(), "worker request queue is full");
  EXPECT_STREQ(submitWorkerJob(job("echo"), boot), "worker request queue is full");
  const auto start = std::chrono::steady_clock::now();
  shutdownWorkerPool();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(running->errorText.find("worker job cancelled\nstack traceback:"), std::string::npos);
  for (const auto& request : queued) {
    EXPECT_TRUE(request->done);
    EXPECT_EQ(request->errorText, "worker job cancelled");
  }
  EXPECT_EQ(workerQueueRefusal(), nullptr);
}

// The job catches every cancellation: shutdown leaves its thread running past the deadline instead of
// waiting for ever, and once the host shuts down no submission starts another worker.
TEST(WorkerPool, ShutdownLeavesAJobThatSwallowsItsCancellationRunningAndRefusesLaterJobs) {
  WorkerBoot boot = bootFrom("return { run = function() end }");
  const std::string mark = ::testing::TempDir() + "/worker-swallowing-" + std::to_string(getpid());
  auto swallowing = job("mark_and_swallow", {mark});
  ASSERT_EQ(submitWorkerJob(swallowing, boot), nullptr);
  while (access(mark.c_str(), F_OK) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  unlink(mark.c_str());
  shutdownWorkerPool();
  EXPECT_FALSE(swallowing->done);
  beginProcessShutdown();
  WorkerBoot later = bootFrom("return { run = function() end }");
  EXPECT_STREQ(submitWorkerJob(job("echo"), later), "worker is shutting down");
}

}  // namespace
