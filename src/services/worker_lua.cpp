// The Lua `worker` module: worker.submit copies a job (names, argument, the main state's EXE_DIR and EXE_FILE,
// the loaders of core.workerboot and of the job's module) under one 8 MiB budget and queues it; the
// "WorkerRequest" userdata polls it, takes copies of its result, and cancels it, also when collected.
// Failures of a submission are returned as nil and a message; only non-string names raise.
#include "services/worker_lua.h"

#include <memory>
#include <new>
#include <string>

#include "host/exit_request.h"
#include "host/lua_api.h"
#include "services/lua_worker.h"
#include "services/userdata_types.h"

namespace {

constexpr const char* kRequestType = "WorkerRequest";
constexpr uint64_t kJobRecordCharge = 288;

// The userdata's block: its share of the job, empty once collected.
struct RequestBox {
  std::shared_ptr<WorkerRequest> job;
};

int pushFailure(lua_State* L, const std::string& message) {
  lua_pushnil(L);
  lua_pushlstring(L, message.data(), message.size());
  return 2;
}

// The global name as text: false when it is neither a string nor a number.
bool globalText(lua_State* L, const char* name, std::string& text) {
  lua_getglobal(L, name);
  size_t length = 0;
  const char* bytes = lua_tolstring(L, -1, &length);
  if (bytes != nullptr) text.assign(bytes, length);
  lua_pop(L, 1);
  return bytes != nullptr;
}

// Steps after the argument checks: copies everything into job and boot; false with the message in error.
bool copySubmission(lua_State* L, WorkerRequest& job, WorkerBoot& boot, std::string& error) {
  WorkerCopyBudget budget;
  const auto charge = [&](uint64_t bytes) {
    if (budget.charge(bytes)) return true;
    error = kWorkerCopyLimitMessage;
    return false;
  };
  if (!charge(kJobRecordCharge + job.moduleName.size() + job.functionName.size())) return false;
  WorkerVisitSet visiting;
  if (!copyWorkerValue(L, 3, job.argument, visiting, 0, budget, error)) return false;
  if (!globalText(L, "EXE_DIR", boot.exeDir) || boot.exeDir.empty()) {
    boot.exeDir = ".";
  } else if (!charge(boot.exeDir.size())) {
    return false;
  }
  if (globalText(L, "EXE_FILE", boot.exeFile) && !charge(boot.exeFile.size())) return false;
  if (!copyWorkerModuleLoader(L, "core.workerboot", boot.bootChunk, budget, error)) return false;
  if (boot.bootChunk.empty()) {
    error = "core.workerboot could not be located";
    return false;
  }
  return copyWorkerModuleLoader(L, job.moduleName, job.moduleChunk, budget, error);
}

// worker.submit(module_name, function_name, value) -> WorkerRequest, or nil and a message
int workerSubmit(lua_State* L) {
  size_t moduleLength = 0;
  size_t functionLength = 0;
  const char* moduleName = luaL_checklstring(L, 1, &moduleLength);
  const char* functionName = luaL_checklstring(L, 2, &functionLength);
  if (const char* refusal = workerQueueRefusal()) return pushFailure(L, refusal);
  std::string error;
  try {
    auto job = std::make_shared<WorkerRequest>();
    job->moduleName.assign(moduleName, moduleLength);
    job->functionName.assign(functionName, functionLength);
    WorkerBoot boot;
    if (!copySubmission(L, *job, boot, error)) return pushFailure(L, error);
    // The userdata holds its share before the job is queued, so a queued job always has its handle.
    auto* box = new (lua_newuserdatauv(L, sizeof(RequestBox), 0)) RequestBox{job};
    luaL_setmetatable(L, kRequestType);
    if (const char* refusal = submitWorkerJob(std::move(job), boot)) {
      box->job.reset();
      return pushFailure(L, refusal);
    }
    return 1;
  } catch (const std::bad_alloc&) {
  }
  return pushFailure(L, "not enough memory to submit a worker job");
}

RequestBox& checkRequest(lua_State* L) { return *static_cast<RequestBox*>(luaL_checkudata(L, 1, kRequestType)); }

// request:ready() -> true once the job has finished, either way
int requestReady(lua_State* L) {
  const RequestBox& box = checkRequest(L);
  exitIfRequested(L);  // the job, or another, may have called os.exit
  lua_pushboolean(L, !box.job || box.job->done.load(std::memory_order_acquire));
  return 1;
}

// request:result() -> the result value, or nil and a message
int requestResult(lua_State* L) {
  const RequestBox& box = checkRequest(L);
  exitIfRequested(L);
  if (!box.job) return pushFailure(L, "worker job cancelled");  // reached only from a later finaliser
  const WorkerRequest& job = *box.job;
  if (!job.done.load(std::memory_order_acquire)) return pushFailure(L, "worker job is still running");
  if (job.failureText != nullptr) return pushFailure(L, job.failureText);
  if (!job.errorText.empty()) return pushFailure(L, job.errorText);
  pushWorkerValue(L, job.result);
  return 1;
}

// request:cancel()
int requestCancel(lua_State* L) {
  const RequestBox& box = checkRequest(L);
  if (box.job) box.job->cancel = true;
  return 0;
}

// request:__gc(): cancels the job and lets go of it
int requestRelease(lua_State* L) {
  RequestBox& box = checkRequest(L);
  if (box.job) box.job->cancel = true;
  box.job.reset();
  return 0;
}

const luaL_Reg kRequestMethods[] = {
    {"ready", requestReady}, {"result", requestResult}, {"cancel", requestCancel}, {nullptr, nullptr}};

const luaL_Reg kWorkerFunctions[] = {{"submit", workerSubmit}, {nullptr, nullptr}};

}  // namespace

int luaopen_worker(lua_State* L) {
  registerUserdataType(L, kRequestType, requestRelease, kRequestMethods, "protected Lua worker request");
  luaL_checkversion(L);
  lua_createtable(L, 0, 1);
  luaL_setfuncs(L, kWorkerFunctions, 0);
  return 1;
}
