// The single-instance service inside one test process: a first instance on a private runtime directory,
// served by raw socket clients and by the real forwarding client.
#include "host/single_instance.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "platform/instance_channel.h"
#include "scratch_dir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs work on a thread of its own and waits for it; work that has not ended after a minute fails the test and
// ends the process, since a hung thread can be neither joined nor left behind.
void endsInTime(const char* what, const std::function<void()>& work) {
  std::promise<void> ended;
  std::future<void> done = ended.get_future();
  std::thread runner([&] {
    work();
    ended.set_value();
  });
  if (done.wait_for(60s) != std::future_status::ready) {
    ADD_FAILURE() << what << " never ends";
    std::abort();
  }
  runner.join();
}

class SingleInstanceTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    runtime = dir / "run";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    key = dir.string();  // a key of its own, so that tests running side by side never share wait events
  }

  std::string digits() const { return instanceKeyDigits(key); }
  std::filesystem::path socketPath() const { return runtime / ("QzInstance" + digits() + ".sock"); }
  std::filesystem::path lockPath() const { return runtime / ("QzInstance" + digits() + ".lock"); }
  std::filesystem::path waitEventPath(uint64_t id) const { return runtime / ("QzWait" + digits() + "-" + hex16(id)); }

  int acquire(SingleInstance& service, std::vector<std::string> args = {"qz"},
              std::optional<std::string> stdinData = std::nullopt) const {
    return service.acquireOrForward(key, args, stdinData);
  }

  UniqueFd connectRaw(const std::filesystem::path& path) const {
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval limit{10, 0};  // a test that goes wrong fails instead of hanging
    setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    return socket;
  }
  static void sendBytes(int socket, std::string_view bytes) { send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // Sends a request as a forwarding start does and echoes the server's acknowledgement, which it returns
  // (-1 when none came).
  int sendRaw(uint64_t id, std::vector<std::string> args) const {
    UniqueFd socket = connectRaw(socketPath());
    sendBytes(socket.get(), *encodeRequestHead(id, "/w", args, std::nullopt));
    char acknowledgement = 0;
    if (recv(socket.get(), &acknowledgement, 1, 0) != 1) return -1;
    sendBytes(socket.get(), std::string_view(&acknowledgement, 1));
    return acknowledgement;
  }

  // Takes requests until `count` have arrived (or ten seconds pass).
  static std::vector<ForwardedRequest> waitForRequests(SingleInstance& service, size_t count) {
    std::vector<ForwardedRequest> all;
    const auto deadline = Clock::now() + 10s;
    while (all.size() < count && Clock::now() < deadline) {
      for (ForwardedRequest& request : service.takeRequests()) all.push_back(std::move(request));
      std::this_thread::sleep_for(5ms);
    }
    return all;
  }

  // Request ids of a counter, for starts that need a source of their own.
  static RequestIdSource nextId() {
    return [] {
      static std::atomic<uint64_t> counter{1000};
      return makeRequestId(getpid(), 0, counter++);
    };
  }

  // A later start on a thread of its own that stops after its acknowledgement, before its echo, until resumed.
  struct HeldStart {
    std::promise<void> resume;
    std::unique_ptr<SingleInstance> service;
    std::future<int> result;
  };
  std::unique_ptr<HeldStart> holdStart(const std::string& argument) {
    auto start = std::make_unique<HeldStart>();
    auto acknowledged = std::make_shared<std::promise<void>>();
    std::future<void> wasAcknowledged = acknowledged->get_future();
    std::shared_future<void> resumed = start->resume.get_future().share();
    start->service = std::make_unique<SingleInstance>(nextId(), [acknowledged, resumed] {
      acknowledged->set_value();
      resumed.wait();
    });
    start->result = std::async(std::launch::async, [this, service = start->service.get(), argument] {
      return acquire(*service, {"qz", argument});
    });
    wasAcknowledged.wait();
    return start;
  }

  std::filesystem::path runtime;
  std::string key;
  SingleInstance first;
};

TEST_F(SingleInstanceTest, LaterStartsForwardTheirCommandLineAndStandardInput) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  EXPECT_EQ(acquire(first), SingleInstance::kFirstInstance) << "already holding the role";
  SingleInstance later;
  const std::vector<std::string> args = {"qz", "a", std::string("b\0c", 3)};
  EXPECT_EQ(acquire(later, args, std::string("in\0put", 6)), SingleInstance::kForwarded);
  EXPECT_EQ(acquire(later, std::vector<std::string>(1025, "x")), SingleInstance::kNotForwarded) << "over a limit";
  EXPECT_EQ(acquire(later, {"qz", "--file", "--wait"}), SingleInstance::kForwarded);

  const std::vector<ForwardedRequest> requests = waitForRequests(first, 2);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].args, args);
  EXPECT_EQ(requests[0].stdin_data, std::string("in\0put", 6));
  EXPECT_EQ(requests[0].working_directory, std::filesystem::current_path().string());
  EXPECT_EQ(requests[0].request_id, 0u);
  EXPECT_EQ(requests[1].args.back(), "--wait");
  EXPECT_FALSE(requests[1].stdin_data.has_value());
  EXPECT_TRUE(first.takeRequests().empty());
}

TEST_F(SingleInstanceTest, SilentClientIsDroppedAndTheNextIsServed) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  UniqueFd silent = connectRaw(socketPath());
  EXPECT_EQ(sendRaw(0, {"qz", "next"}), 1);
  char byte = 0;
  EXPECT_EQ(recv(silent.get(), &byte, 1, 0), 0) << "the server closes the silent connection";
  const std::vector<ForwardedRequest> requests = waitForRequests(first, 1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].args, (std::vector<std::string>{"qz", "next"}));
}

TEST_F(SingleInstanceTest, RequestWhoseSenderLeftBeforeTheAcknowledgementIsDropped) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  sendBytes(connectRaw(socketPath()).get(), *encodeRequestHead(0, "/w", {"qz", "gone"}, std::nullopt));
  EXPECT_EQ(sendRaw(0, {"qz", "next"}), 1);
  const std::vector<ForwardedRequest> requests = waitForRequests(first, 1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].args, (std::vector<std::string>{"qz", "next"}));
}

TEST_F(SingleInstanceTest, RequestCompletedAfterTheDeadlineIsDroppedAndItsWaiterReleased) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  const uint64_t id = makeRequestId(getpid(), Clock::now().time_since_epoch().count(), 3);
  ASSERT_EQ(mkfifo(waitEventPath(id).c_str(), 0600), 0);
  const UniqueFd waiter(open(waitEventPath(id).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  UniqueFd late = connectRaw(socketPath());
  const std::string head = *encodeRequestHead(id, "", {"qz"}, std::nullopt);
  sendBytes(late.get(), head.substr(0, 16));  // id, directory and count; the argument comes too late
  char byte = 0;
  EXPECT_EQ(recv(late.get(), &byte, 1, 0), 0);
  sendBytes(late.get(), head.substr(16));
  EXPECT_EQ(read(waiter.get(), &byte, 1), 1) << "the sender of a dropped request is released";
  EXPECT_EQ(byte, static_cast<char>(WaitAnswer::Refused)) << "and told that nothing was done with it";
  EXPECT_TRUE(first.takeRequests().empty());
}

// A start held between the acknowledgement and its echo for longer than the first instance used to wait:
// told that its command line was taken, it must find it taken.
TEST_F(SingleInstanceTest, AStartSlowToEchoIsTakenWhenItIsToldSo) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  SingleInstance slow(nextId(), [] { std::this_thread::sleep_for(1500ms); });
  EXPECT_EQ(acquire(slow, {"qz", "slow"}, "text"), SingleInstance::kForwarded);
  const std::vector<ForwardedRequest> requests = waitForRequests(first, 1);
  ASSERT_EQ(requests.size(), 1u) << "told forwarded, and dropped";
  EXPECT_EQ(requests[0].args[1], "slow");
}

// A start held between the acknowledgement and its echo (stopped by its terminal, say) holds up no other
// start: one that comes meanwhile is taken at once, and the held one is taken too when it goes on in time.
TEST_F(SingleInstanceTest, AStartHeldBeforeItsEchoHoldsUpNoOther) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  const std::unique_ptr<HeldStart> held = holdStart("held");
  SingleInstance next(nextId());
  EXPECT_EQ(acquire(next, {"qz", "next"}), SingleInstance::kForwarded) << "held up behind the held start";
  held->resume.set_value();
  EXPECT_EQ(held->result.get(), SingleInstance::kForwarded);
  const std::vector<ForwardedRequest> requests = waitForRequests(first, 2);
  ASSERT_EQ(requests.size(), 2u);
  const std::set<std::string> taken = {requests[0].args[1], requests[1].args[1]};
  EXPECT_EQ(taken, (std::set<std::string>{"held", "next"}));
}

// A start whose echo is awaited keeps its place in the queue: with it, the queue is full.
TEST_F(SingleInstanceTest, AStartAwaitingItsEchoKeepsItsPlaceInTheQueue) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  for (int i = 0; i < 63; ++i) ASSERT_EQ(sendRaw(0, {"qz", std::to_string(i)}), 1) << i;
  const std::unique_ptr<HeldStart> held = holdStart("held");
  EXPECT_EQ(sendRaw(0, {"qz", "over"}), 0) << "the held start's place was given away";
  held->resume.set_value();
  EXPECT_EQ(held->result.get(), SingleInstance::kForwarded);
  const std::vector<ForwardedRequest> requests = waitForRequests(first, 64);
  ASSERT_EQ(requests.size(), 64u);
  EXPECT_EQ(requests.back().args[1], "held");
}

// Admission ends while a start holds its echo back: the echo fails, and the start runs on its own.
TEST_F(SingleInstanceTest, AnEchoAfterAdmissionEndedFailsAndItsStartRunsOnItsOwn) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  const std::unique_ptr<HeldStart> held = holdStart("held");
  endsInTime("the end of admission while an echo is awaited", [&] { first.stopAdmitting(); });
  held->resume.set_value();
  EXPECT_EQ(held->result.get(), SingleInstance::kNotForwarded);
  SingleInstance later;
  EXPECT_EQ(acquire(later, {"qz", "after"}), SingleInstance::kNotForwarded) << "refused once admission ended";
  EXPECT_TRUE(first.takeRequests().empty());
}

// The scripts finished without taking a command line whose start waits: that start is told so, to run on
// its own, rather than released as if its command line had been done.
TEST_F(SingleInstanceTest, CommandLinesNotTakenWhenAdmissionEndsAreDroppedAndTheirWaitersToldSo) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  const uint64_t id = makeRequestId(getpid(), Clock::now().time_since_epoch().count(), 5);
  ASSERT_EQ(mkfifo(waitEventPath(id).c_str(), 0600), 0);
  const UniqueFd waiter(open(waitEventPath(id).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  ASSERT_EQ(sendRaw(id, {"qz", "--wait", "never taken"}), 1);
  first.stopAdmitting();
  char answer = 0;
  EXPECT_EQ(read(waiter.get(), &answer, 1), 1);
  EXPECT_EQ(answer, static_cast<char>(WaitAnswer::Refused));
  EXPECT_TRUE(first.takeRequests().empty());
  EXPECT_FALSE(first.completeRequest(id));
}

TEST_F(SingleInstanceTest, SixtyFifthRequestIsRefusedUntilTheScriptsPoll) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(sendRaw(0, {"qz", std::to_string(i)}), 1) << i;
  EXPECT_EQ(sendRaw(0, {"qz", "65th"}), 0) << "refused";
  SingleInstance later;
  EXPECT_EQ(acquire(later, {"qz", "doc"}, "text"), SingleInstance::kNotForwarded)
      << "a refused sender with standard input starts on its own with it";
  EXPECT_EQ(acquire(later, {"qz", "no stdin"}), SingleInstance::kNotForwarded)
      << "a refused sender without standard input is told so as well";
  EXPECT_EQ(acquire(later, {"qz", "--wait", "doc"}), SingleInstance::kNotForwarded)
      << "a refused sender that waits is told so and starts on its own";
  const std::vector<ForwardedRequest> requests = first.takeRequests();
  ASSERT_EQ(requests.size(), 64u);
  EXPECT_EQ(requests[63].args[1], "63");
  EXPECT_EQ(acquire(later, {"qz", "doc"}, "text"), SingleInstance::kForwarded);
}

TEST_F(SingleInstanceTest, SecondRequestOverTheQueueBudgetIsRefused) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  SingleInstance later;
  const std::string largest(kMaxForwardedStdinBytes, 'x');
  EXPECT_EQ(acquire(later, {"qz"}, largest), SingleInstance::kForwarded);
  EXPECT_EQ(acquire(later, {"qz"}, largest), SingleInstance::kNotForwarded);
  const std::vector<ForwardedRequest> requests = first.takeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].stdin_data->size(), largest.size());
}

TEST_F(SingleInstanceTest, OnlyPendingIdsComplete) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  const uint64_t goneSender = 0x1234;  // no wait event exists: its sender has gone
  sendRaw(0, {"qz"});
  sendRaw(goneSender, {"qz"});
  ASSERT_EQ(waitForRequests(first, 2).size(), 2u);
  EXPECT_FALSE(first.completeRequest(0));
  EXPECT_TRUE(first.completeRequest(goneSender));
  EXPECT_FALSE(first.completeRequest(goneSender)) << "completed once";
  EXPECT_FALSE(first.completeRequest(goneSender + 1)) << "never seen";
}

TEST_F(SingleInstanceTest, WaitingSenderIsReleasedByCompletionAndByShutdown) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  std::atomic<int> completedResult{-1}, shutdownResult{-1};
  SingleInstance later, evenLater;
  std::thread completed([&] { completedResult = acquire(later, {"qz", "--wait", "f"}); });
  std::vector<ForwardedRequest> requests = waitForRequests(first, 1);
  ASSERT_EQ(requests.size(), 1u);
  const uint64_t id = requests[0].request_id;
  EXPECT_NE(id, 0u);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(completedResult, -1) << "released before completion";
  EXPECT_TRUE(first.completeRequest(id));
  completed.join();
  EXPECT_EQ(completedResult, SingleInstance::kForwarded);
  EXPECT_FALSE(first.completeRequest(id));

  std::thread released([&] { shutdownResult = acquire(evenLater, {"qz", "--wait"}); });
  ASSERT_EQ(waitForRequests(first, 1).size(), 1u);
  first.shutdown();
  released.join();
  EXPECT_EQ(shutdownResult, SingleInstance::kForwarded);
}

TEST_F(SingleInstanceTest, ShutdownIsHarmlessAndEndsEveryWait) {
  SingleInstance never;
  never.shutdown();
  never.shutdown();
  EXPECT_FALSE(never.completeRequest(1));

  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  UniqueFd silent = connectRaw(socketPath());
  std::this_thread::sleep_for(50ms);  // the server now waits for this client's bytes
  endsInTime("shutdown while a client is silent", [&] { first.shutdown(); });
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
  first.shutdown();

  SingleInstance next;
  ASSERT_EQ(acquire(next), SingleInstance::kFirstInstance) << "the lock was given up";
  endsInTime("shutdown while the server waits in accept", [&] { next.shutdown(); });
}

TEST_F(SingleInstanceTest, UnsafeRuntimeFilesSwitchTheServiceOff) {
  const std::filesystem::path elsewhere = dir / "elsewhere";
  writeText("elsewhere", "");
  const auto linkedDirectory = [&] {
    std::filesystem::create_directory_symlink(runtime, dir / "link");
    setenv("XDG_RUNTIME_DIR", (dir / "link").c_str(), 1);
  };
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool anotherInstance;  // its lock held, so that this start looks for a socket
    bool needsRoot;
  } cases[] = {
      {"runtime directory is a link", linkedDirectory, false, false},
      {"runtime directory open to others", [&] { chmod(runtime.c_str(), 0755); }, false, false},
      {"runtime directory of another user", [&] { EXPECT_EQ(chown(runtime.c_str(), 65534, 65534), 0); }, false, true},
      {"lock file is a link", [&] { std::filesystem::create_symlink(elsewhere, lockPath()); }, false, false},
      {"socket is a link", [&] { std::filesystem::create_symlink(elsewhere, socketPath()); }, true, false},
  };
  for (const Case& c : cases) {
    if (c.needsRoot && geteuid() != 0) continue;
    std::filesystem::remove_all(runtime);
    std::filesystem::remove(dir / "link");
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    UniqueFd holder;
    if (c.anotherInstance) {
      holder = UniqueFd(open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
      ASSERT_EQ(flock(holder.get(), LOCK_EX | LOCK_NB), 0);
    }
    c.prepare();
    SingleInstance service;
    endsInTime(c.name, [&] { EXPECT_EQ(acquire(service), SingleInstance::kNotForwarded) << c.name; });
  }
}

// Waits up to ten seconds for the condition.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + 10s;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST_F(SingleInstanceTest, RemovedRuntimeFilesComeBackAndLaterStartsAreForwardedAgain) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"socket removed", [&] { std::filesystem::remove(socketPath()); }},
      {"lock file removed", [&] { std::filesystem::remove(lockPath()); }},
      {"runtime directory removed and made again",
       [&] {
         std::filesystem::remove_all(runtime);
         ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
       }},
  };
  for (const auto& [name, remove] : cases) {
    remove();
    // A start before the lock file is back would rightly become a first instance of its own.
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(lockPath()); })) << name;
    SingleInstance later;
    EXPECT_EQ(acquire(later, {"qz", name}), SingleInstance::kForwarded) << name;
    const std::vector<ForwardedRequest> requests = waitForRequests(first, 1);
    ASSERT_EQ(requests.size(), 1u) << name;
    EXPECT_EQ(requests[0].args[1], name);
  }
}

TEST_F(SingleInstanceTest, InstanceWhoseLockFileAnotherTookStopsServingAndLeavesTheNewSocketAlone) {
  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  const std::filesystem::path taken = runtime / "taken.lock";
  const UniqueFd newHolder(open(taken.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(flock(newHolder.get(), LOCK_EX | LOCK_NB), 0);
  std::filesystem::rename(taken, lockPath());
  const auto refused = [&] {
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath().c_str());
    return connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
  };
  EXPECT_TRUE(eventually(refused)) << "the old instance still listens";
  const UniqueFd newListener = listenOnInstanceSocket(socketPath());
  ASSERT_TRUE(newListener.valid());
  first.shutdown();
  EXPECT_TRUE(std::filesystem::exists(socketPath())) << "the new instance's socket was removed";
  EXPECT_TRUE(std::filesystem::exists(lockPath()));
}

// Another user gets in first at every name a waiting start would draw, in the system's shared namespaces
// and in the runtime directory: the start still forwards and waits.
TEST_F(SingleInstanceTest, AnotherUsersObjectsUnderTheWaitNamesChangeNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const uid_t nobody = 65534;
  const auto semaphoreName = [&](uint64_t id) { return "/QzWait" + digits() + "-" + hex16(id); };
  std::vector<uint64_t> ids;
  for (uint64_t i = 0; i < 32; ++i) ids.push_back(0x5157000000000001ULL + i);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(100);
    int madeInRuntime = 0;
    for (const uint64_t id : ids) {
      sem_t* semaphore = sem_open(semaphoreName(id).c_str(), O_CREAT | O_EXCL, 0666, 0);
      if (semaphore != SEM_FAILED) sem_close(semaphore);
      if (mkfifo(waitEventPath(id).c_str(), 0666) == 0) ++madeInRuntime;
    }
    _exit(madeInRuntime);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another user made objects in the runtime directory";

  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  size_t next = 0;
  SingleInstance later([&] { return ids[next++ % ids.size()]; });
  std::atomic<int> result{-1};
  std::thread waiting([&] { result = acquire(later, {"qz", "--wait"}); });
  const std::vector<ForwardedRequest> requests = waitForRequests(first, 1);
  if (requests.size() == 1) {
    EXPECT_EQ(requests[0].request_id, ids[0]);
    EXPECT_TRUE(first.completeRequest(requests[0].request_id));
  }
  waiting.join();
  EXPECT_EQ(result, SingleInstance::kForwarded);
  for (const uint64_t id : ids) sem_unlink(semaphoreName(id).c_str());
}

// Objects in the runtime directory under a waiting start's names that are not its own wait event: the
// start draws another name and never waits on them; the first instance never writes into them.
TEST_F(SingleInstanceTest, ForeignObjectsAtWaitNamesAreNeitherWaitedOnNorSet) {
  const std::filesystem::path elsewhere = dir / "elsewhere.fifo";
  ASSERT_EQ(mkfifo(elsewhere.c_str(), 0600), 0);
  const std::vector<uint64_t> ids = {0x71, 0x72, 0x73, 0x74};
  ASSERT_EQ(mkfifo(waitEventPath(0x71).c_str(), 0600), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(chown(waitEventPath(0x71).c_str(), 65534, 65534), 0);
  }
  writeText("run/" + waitEventPath(0x72).filename().string(), "keep");
  std::filesystem::create_symlink(elsewhere, waitEventPath(0x73));

  ASSERT_EQ(acquire(first), SingleInstance::kFirstInstance);
  size_t next = 0;
  SingleInstance later([&] { return ids[next++ % ids.size()]; });
  std::atomic<int> result{-1};
  std::thread waiting([&] { result = acquire(later, {"qz", "--wait"}); });
  std::vector<ForwardedRequest> requests = waitForRequests(first, 1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].request_id, 0x74u);
  EXPECT_TRUE(first.completeRequest(requests[0].request_id));
  waiting.join();
  EXPECT_EQ(result, SingleInstance::kForwarded);

  // A pending id whose name now holds something else cannot be completed, and the thing stays as it was.
  sendRaw(0x72, {"qz"});
  ASSERT_EQ(waitForRequests(first, 1).size(), 1u);
  EXPECT_FALSE(first.completeRequest(0x72));
  EXPECT_EQ(readText("run/" + waitEventPath(0x72).filename().string()), "keep");
  for (const std::filesystem::path& fifo : {waitEventPath(0x71), elsewhere}) {
    const UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    char byte = 0;
    EXPECT_LE(read(reader.get(), &byte, 1), 0) << fifo << " was written to";
  }
}

// A first instance of another user (root can reach its socket) never reads what root sends.
TEST_F(SingleInstanceTest, ServerClosesAConnectionOfAnotherUserUnread) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a server as another user";
  const uid_t nobody = 65534;
  chmod(dir.c_str(), 0711);
  ASSERT_EQ(chown(runtime.c_str(), nobody, nobody), 0);
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(100);
    SingleInstance server;
    char result = static_cast<char>(acquire(server));
    if (write(ready[1], &result, 1) != 1 || read(done[0], &result, 1) != 1) _exit(101);
    const size_t admitted = server.takeRequests().size();
    server.shutdown();
    _exit(static_cast<int>(admitted));
  }
  char acquired = -1;
  ASSERT_EQ(read(ready[0], &acquired, 1), 1);
  ASSERT_EQ(acquired, SingleInstance::kFirstInstance);
  UniqueFd connection = connectRaw(socketPath());
  sendBytes(connection.get(), *encodeRequestHead(0, "/", {"qz"}, std::nullopt));
  char byte = 0;
  EXPECT_LE(recv(connection.get(), &byte, 1, 0), 0) << "the server closes the connection";
  EXPECT_EQ(write(done[1], "x", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "requests the server admitted";
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

}  // namespace
