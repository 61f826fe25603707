// The render processes seen from qz: a pool of idle processes behind one mutex, each a child started with
// posix_spawn (its socket as descriptor 3 and no other of qz's, default signal handling, an empty mask, a
// process group of its own so that a terminal's Ctrl+C goes to qz alone). A request takes an idle process
// (one found dead, or with anything unasked waiting on its socket, while idle is reaped and replaced) or
// starts one, and gives it back only when it drew what was asked (or declined it by its own checks after
// drawing soundly); any other is killed and reaped before the caller hears why, so no zombie stays behind and
// no process that failed serves again. While qz waits it watches the memory the process holds, and a document
// that failed in a process that had drawn others is tried once more in a fresh one.
#include "render_process/render_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "render_process/address_sanitizer.h"
#include "render_process/memory_ceiling.h"
#include "render_process/brief_wait.h"
#include "render_process/job_time.h"
#include "render_process/message_channel.h"

extern char** environ;

namespace {

constexpr const char* kExecutableName = "qz-render";

// How often qz looks at the memory a drawing holds while it waits for it: often enough that a drawing cannot
// touch much past the ceiling in between, and only once a drawing has outlasted the first look.
constexpr auto kMemoryWatchInterval = std::chrono::milliseconds(2);

struct Server {
  pid_t pid = -1;
  UniqueFd socket;
  uint64_t drawn = 0;  // the requests it answered with a drawing
};

std::mutex poolMutex;
std::vector<Server> idleServers;  // guarded by poolMutex
size_t runningServers = 0;        // guarded by poolMutex
std::string programInstead;       // guarded by poolMutex: a test's stand-in for qz-render
std::atomic<uint64_t> sanitizerReports{0};
std::atomic<uint64_t> startedServers{0};

// Beside qz's own executable when installed there, else where the build put it.
std::string serverPath() {
  {
    const std::lock_guard<std::mutex> lock(poolMutex);
    if (!programInstead.empty()) return programInstead;
  }
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    std::string path(self, static_cast<size_t>(length));
    path.erase(path.rfind('/') + 1);
    path += kExecutableName;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return QZ_RENDER_PROCESS_BUILD_PATH;
}

std::vector<char*> serverEnvironment(std::vector<std::string>& storage) {
  if (QZ_ADDRESS_SANITIZER) {
    // An allocation the sanitizer's allocator cannot make is reported, and the process ends on that report as
    // out of memory (allocation_failures.h); any other report ends it with a status of its own. Freed memory
    // it holds back to catch late uses counts against the ceiling, so it holds back little.
    const std::string status = std::to_string(kRenderProcessSanitizerStatus);
    storage.push_back("ASAN_OPTIONS=allocator_may_return_null=0:quarantine_size_mb=32:detect_leaks=0:exitcode=" +
                      status);
    storage.push_back("UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=" + status);
  }
  std::vector<char*> environment;
  for (std::string& entry : storage) environment.push_back(entry.data());
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const bool replaced =
        std::strncmp(*entry, "ASAN_OPTIONS=", 13) == 0 || std::strncmp(*entry, "UBSAN_OPTIONS=", 14) == 0;
    if (storage.empty() || !replaced) environment.push_back(*entry);
  }
  environment.push_back(nullptr);
  return environment;
}

bool startServer(Server& server) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return false;
  UniqueFd ours(ends[0]), theirs(ends[1]);
  const std::string path = serverPath();
  std::vector<std::string> storage;
  std::vector<char*> environment = serverEnvironment(storage);
  char* argv[] = {const_cast<char*>(kExecutableName), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, theirs.get(), kRenderProcessSocket);
  posix_spawn_file_actions_addclosefrom_np(&actions, kRenderProcessSocket + 1);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environment.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    errno = failed;
    return false;
  }
  server.pid = pid;
  server.socket = std::move(ours);
  ++startedServers;
  return true;
}

// Kills the process (it may have ended already) and reaps it; its wait status.
int endServer(Server& server) {
  kill(server.pid, SIGKILL);
  int status = 0;
  while (waitpid(server.pid, &status, 0) < 0 && errno == EINTR) {
  }
  server.socket.reset();
  return status;
}

// An idle process that still listens: one that ended while idle has its socket readable (end of file), and
// so has one that sent what nobody asked for.
bool stillListening(const Server& server) {
  pollfd check{server.socket.get(), POLLIN, 0};
  return poll(&check, 1, 0) == 0;
}

// An idle process, or a new one when there is none or `fresh` asks for one.
bool takeServer(Server& server, bool fresh) {
  {
    const std::lock_guard<std::mutex> lock(poolMutex);
    while (!fresh && !idleServers.empty()) {
      server = std::move(idleServers.back());
      idleServers.pop_back();
      if (stillListening(server)) return true;
      --runningServers;
      endServer(server);
    }
    ++runningServers;
  }
  if (startServer(server)) return true;
  const std::lock_guard<std::mutex> lock(poolMutex);
  --runningServers;
  return false;
}

void giveBack(Server& server) {
  const std::lock_guard<std::mutex> lock(poolMutex);
  idleServers.push_back(std::move(server));
}

void retire(Server& server, int* status) {
  const int endStatus = endServer(server);
  if (status != nullptr) *status = endStatus;
  const std::lock_guard<std::mutex> lock(poolMutex);
  --runningServers;
}

std::string durationText(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " s";
  return std::to_string(limit.count()) + " ms";
}

std::string memoryText() { return "the renderer needed more than " + memoryCeilingText(renderMemoryCeiling()); }

RenderRequestRecord requestFor(const RenderJob& job, std::chrono::milliseconds timeLeft) {
  RenderRequestRecord request;
  request.kind = static_cast<uint32_t>(job.kind);
  request.width = job.width;
  request.height = job.height;
  request.maxSide = job.maxSide;
  request.glyphIndex = job.glyphIndex;
  request.pixelSize = job.pixelSize;
  request.unitsPerEm = job.unitsPerEm;
  request.sdlSvg = job.sdlSvg ? 1 : 0;
  request.documentBytes = job.document.size();
  request.timeLimitMs = static_cast<uint32_t>(std::clamp<int64_t>(timeLeft.count(), 1, UINT32_MAX));
  return request;
}

// The memory the process holds (its resident pages: what it touched, not what it reserved), in bytes; 0 when
// it cannot be read.
uint64_t residentBytes(const Server& server) {
  const std::string path = "/proc/" + std::to_string(server.pid) + "/statm";
  const UniqueFd status(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  char text[128];
  const ssize_t got = status.valid() ? read(status.get(), text, sizeof text - 1) : -1;
  if (got <= 0) return 0;
  text[got] = '\0';
  unsigned long long pages = 0, resident = 0;
  if (std::sscanf(text, "%llu %llu", &pages, &resident) != 2) return 0;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

enum class Reply { Answered, TimedOut, Starved, OverMemory, Ended, OutOfTurn, Stopped };

bool stopped(const RenderJob& job) { return job.stop != nullptr && job.stop->load(std::memory_order_relaxed); }

// Waits for the reply until the job is out of time, looking at the memory the process holds as it goes.
Reply awaitReply(const RenderJob& job, const Server& server, JobTime& time, RenderReplyRecord& reply,
                 std::vector<uint8_t>& carried, UniqueFd& pixels) {
  watchBrieflyForInput(server.socket.get());  // a small document is answered before a sleep would be woken
  const uint64_t ceiling = renderMemoryCeiling();
  for (;;) {
    if (stopped(job)) return Reply::Stopped;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(time.nextCheck() - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      const JobTime::Verdict verdict = time.check();
      if (verdict == JobTime::Verdict::OutOfTime) return Reply::TimedOut;
      if (verdict == JobTime::Verdict::Starved) return Reply::Starved;
      continue;
    }
    pollfd ready{server.socket.get(), POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(std::min<int64_t>(left.count(), kMemoryWatchInterval.count())));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) return Reply::Ended;
    if (polled == 0) {
      if (residentBytes(server) > ceiling) return Reply::OverMemory;
      continue;
    }
    const int received = receiveRecord(server.socket.get(), &reply, sizeof reply, carried, pixels);
    if (received == 1) return Reply::Answered;
    return received < 0 && errno == EPROTO ? Reply::OutOfTurn : Reply::Ended;
  }
}

RenderResult refusal(const RenderJob& job, RenderFailure failure, const std::string& why) {
  RenderResult result;
  result.failure = failure;
  result.error = std::string(job.what) + ": " + why;
  return result;
}

// The result for a process that ended with `status`.
RenderResult ended(const RenderJob& job, int status) {
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (exitStatus == kRenderProcessOutOfMemoryStatus) return refusal(job, RenderFailure::OutOfMemory, memoryText());
  if (exitStatus == kRenderProcessSanitizerStatus) {
    ++sanitizerReports;
    return refusal(job, RenderFailure::Ended, "the renderer stopped on a sanitizer report");
  }
  if (WIFSIGNALED(status)) {
    return refusal(job, RenderFailure::Ended, "the renderer stopped (signal " + std::to_string(WTERMSIG(status)) + ")");
  }
  return refusal(job, RenderFailure::Ended, "the renderer stopped (exit status " + std::to_string(exitStatus) + ")");
}

RenderResult timedOut(const RenderJob& job) {
  return refusal(job, RenderFailure::OutOfTime, "the renderer took longer than " + durationText(job.timeLimit));
}

RenderResult starved(const RenderJob& job) {
  return refusal(job, RenderFailure::Starved,
                 "the renderer had less than " + durationText(job.timeLimit / 100) + " of processor time in " +
                     durationText(job.timeLimit * kProcessorWaitWindow));
}

// Whether a drawing answers the job: exactly the size of a fitted document, within the size asked for an
// image (an SVG image within a pixel more on each side: its decoder rounds its size up in single precision;
// one that declares no size within the largest side), within the largest side for a glyph and placed near its
// origin.
bool fitsTheRequest(const RenderJob& job, const RenderReplyRecord& reply) {
  const int64_t width = reply.width, height = reply.height, left = reply.left, top = reply.top;
  if (width <= 0 || height <= 0) return false;
  switch (job.kind) {
    case RenderJobKind::SvgFitted:
      return width == job.width && height == job.height;
    case RenderJobKind::SdlImage: {
      if (job.sdlSvg && job.width == 0 && job.height == 0) return width <= job.maxSide && height <= job.maxSide;
      const int64_t slack = job.sdlSvg ? 1 : 0;
      return width <= job.width + slack && height <= job.height + slack;
    }
    case RenderJobKind::SvgGlyph:
      return width <= job.maxSide && height <= job.maxSide && std::abs(left) <= kMostGlyphOffset &&
             std::abs(top) <= kMostGlyphOffset;
  }
  return false;
}

// The reply as a result; the pixels mapped when the process drew what was asked.
RenderResult resultOf(const RenderJob& job, const RenderReplyRecord& reply, std::vector<uint8_t>& carried,
                      const UniqueFd& pixels) {
  if (reply.drawn == 0) {
    if (reply.outOfMemory != 0) return refusal(job, RenderFailure::OutOfMemory, memoryText());
    RenderResult result;
    result.failure = reply.declined != 0     ? RenderFailure::Declined
                     : reply.unreadable != 0 ? RenderFailure::Unreadable
                                             : RenderFailure::Refused;
    result.error.assign(reply.message, strnlen(reply.message, sizeof reply.message));
    if (result.error.empty()) result.error = std::string(job.what) + ": the renderer gave no reason";
    return result;
  }
  if (!fitsTheRequest(job, reply)) {
    return refusal(job, RenderFailure::Ended, "the renderer's answer does not fit the request");
  }
  RenderResult result;
  const size_t bytes = static_cast<size_t>(reply.width) * static_cast<size_t>(reply.height) * 4;
  if (pixels.valid()) {
    result.pixels.mapped = MappedMemory::ofSealed(pixels.get(), bytes);
  } else if (carried.size() == bytes) {
    result.pixels.carried = std::move(carried);
  }
  if (result.pixels.size() != bytes) {
    return refusal(job, RenderFailure::Ended, "the renderer's pixels could not be read");
  }
  result.width = reply.width;
  result.height = reply.height;
  result.left = reply.left;
  result.top = reply.top;
  result.drawn = true;
  return result;
}

// Waits for the process's answer and takes it; the process goes back to the pool only when it drew, or
// declined by its own checks.
RenderResult answerOf(const RenderJob& job, Server& server, JobTime& time) {
  RenderReplyRecord reply;
  std::vector<uint8_t> carriedPixels;
  UniqueFd pixels;
  const Reply answered = awaitReply(job, server, time, reply, carriedPixels, pixels);
  if (answered != Reply::Answered) {
    int status = 0;
    retire(server, &status);
    if (answered == Reply::TimedOut) return timedOut(job);
    if (answered == Reply::Starved) return starved(job);
    if (answered == Reply::OverMemory) return refusal(job, RenderFailure::OutOfMemory, memoryText());
    if (answered == Reply::OutOfTurn) return refusal(job, RenderFailure::Ended, "the renderer answered out of turn");
    if (answered == Reply::Stopped) return refusal(job, RenderFailure::Stopped, "the drawing was stopped");
    return ended(job, status);
  }
  RenderResult result = resultOf(job, reply, carriedPixels, pixels);
  if (result.drawn || result.failure == RenderFailure::Declined) {
    if (result.drawn) ++server.drawn;
    giveBack(server);
  } else {
    retire(server, nullptr);
  }
  return result;
}

}  // namespace

namespace {

// One try of the job in a process: an idle one, or a fresh one when `fresh` asks; whether that process had drawn
// before.
RenderResult tryInProcess(const RenderJob& job, bool fresh, bool& servedBefore) {
  servedBefore = false;
  if (stopped(job)) return refusal(job, RenderFailure::Stopped, "the drawing was stopped");
  const auto timeLeft =
      std::chrono::floor<std::chrono::milliseconds>(lastMomentOf(job) - std::chrono::steady_clock::now());
  if (timeLeft.count() <= 0) return timedOut(job);
  // A small document travels in the request itself.
  const bool carried = job.document.size() <= kMostInlinePayload;
  const UniqueFd document = carried ? UniqueFd() : sealedMemoryWith(job.document.data(), job.document.size());
  if (!carried && !document.valid()) {
    return refusal(job, RenderFailure::NotStarted,
                   std::string("the document could not be handed over: ") + strerror(errno));
  }
  const RenderRequestRecord request = requestFor(job, timeLeft);
  Server server;
  if (!takeServer(server, fresh)) {
    return refusal(job, RenderFailure::NotStarted,
                   std::string("the renderer could not be started: ") + strerror(errno));
  }
  servedBefore = server.drawn > 0;
  JobTime time(job, server.pid);
  if (!sendRecord(server.socket.get(), &request, sizeof request, carried ? job.document : std::string_view(),
                  document.get())) {
    int status = 0;
    retire(server, &status);
    return ended(job, status);
  }
  return answerOf(job, server, time);
}

}  // namespace

// A process that drew other documents may have been left unsound by one of them (a font face in an error
// state, say): a document that fails there is tried once more in a fresh process, within the same time limit,
// so that it is refused only for what it does itself. One that fails in a fresh process is refused at once. A
// try again that runs out of the time the first one left has shown nothing: the first one's reason stands.
RenderResult runRenderJob(const RenderJob& job) {
  bool servedBefore = false;
  RenderResult result = tryInProcess(job, false, servedBefore);
  // A job kept from the processor says nothing of its document nor of the process: a fresh one would wait too.
  // One out of time had the whole of its limit, of the processor too: none is left for a try again.
  const bool soundRefusal = result.failure == RenderFailure::Declined || result.failure == RenderFailure::NotStarted ||
                            result.failure == RenderFailure::Starved || result.failure == RenderFailure::OutOfTime ||
                            result.failure == RenderFailure::Stopped;
  if (result.drawn || soundRefusal || !servedBefore) return result;
  RenderResult again = tryInProcess(job, true, servedBefore);
  return again.failure == RenderFailure::OutOfTime && result.failure != RenderFailure::OutOfTime ? std::move(result)
                                                                                                 : std::move(again);
}

size_t renderProcessCount() {
  const std::lock_guard<std::mutex> lock(poolMutex);
  return runningServers;
}

std::vector<int> idleRenderProcesses() {
  const std::lock_guard<std::mutex> lock(poolMutex);
  std::vector<int> pids;
  for (const Server& server : idleServers) pids.push_back(server.pid);
  return pids;
}

uint64_t renderProcessSanitizerReports() { return sanitizerReports.load(); }

uint64_t renderProcessesStarted() { return startedServers.load(); }

void useRenderProgram(const std::string& path) {
  std::vector<Server> ending;
  {
    const std::lock_guard<std::mutex> lock(poolMutex);
    programInstead = path;
    ending.swap(idleServers);
  }
  for (Server& server : ending) retire(server, nullptr);
}
