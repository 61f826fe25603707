#include "host/stdin_capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace {

// Replaces standard input for the duration of a test.
class StdinRedirect {
 public:
  explicit StdinRedirect(int fd) : saved_(dup(STDIN_FILENO)) { dup2(fd, STDIN_FILENO); }
  ~StdinRedirect() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

// Feeds `size` bytes (pattern with NULs) through a pipe from another thread, then closes the writer.
std::string readThroughPipe(size_t size, bool& ok, std::string& error) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::thread writer([fd = fds[1], size] {
    std::string chunk(65536, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i % 7);
    size_t left = size;
    while (left > 0) {
      const size_t n = std::min(left, chunk.size());
      const ssize_t written = write(fd, chunk.data(), n);
      if (written <= 0) break;
      left -= static_cast<size_t>(written);
    }
    close(fd);
  });
  std::string text;
  {
    StdinRedirect redirect(fds[0]);
    ok = readAllStdin(text, error);
  }
  close(fds[0]);
  writer.join();
  return text;
}

TEST(StdinCapture, ExactlySixtyFourMebibytesAccepted) {
  bool ok = false;
  std::string error;
  const std::string text = readThroughPipe(kStdinLimitBytes, ok, error);
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ(text.size(), kStdinLimitBytes);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(text[8], '\1');
}

TEST(StdinCapture, OneByteMoreIsRefused) {
  bool ok = true;
  std::string error;
  readThroughPipe(kStdinLimitBytes + 1, ok, error);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, "Standard input exceeds the 64 MiB limit");
}

TEST(StdinCapture, EmptyPipeGivesEmptyText) {
  bool ok = false;
  std::string error;
  EXPECT_EQ(readThroughPipe(0, ok, error), "");
  EXPECT_TRUE(ok);
}

TEST(StdinCapture, NonBlockingPipeWaitsForALateWriter) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  std::thread writer([fd = fds[1]] {
    sigset_t pipeSignal;  // a reader that left early must fail the test, not end the process
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(write(fd, "late", 4), 4) << "the reader left before the writer came";
    close(fd);
  });
  std::string text, error;
  bool ok = false;
  {
    StdinRedirect redirect(fds[0]);
    ok = readAllStdin(text, error);
  }
  close(fds[0]);
  writer.join();
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ(text, "late");
}

TEST(StdinCapture, ClosedStandardInputIsRefused) {
  const int saved = dup(STDIN_FILENO);
  close(STDIN_FILENO);
  std::string text, error;
  EXPECT_FALSE(readAllStdin(text, error));
  dup2(saved, STDIN_FILENO);
  close(saved);
  EXPECT_EQ(error, "--stdin needs a pipe or redirected file");
}

// What a child process finds under its hand-shake name before it signals.
enum class Planted { Nothing, OwnSemaphore, EmptyObject, OtherUsersSemaphore, Fifo };

// Long enough for any machine; a child still running then has hung.
constexpr auto kChildDeadline = std::chrono::seconds(30);

// The child's wait status, or none when it was still running at the deadline (it is killed then).
std::optional<int> waitWithDeadline(pid_t child) {
  const auto deadline = std::chrono::steady_clock::now() + kChildDeadline;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status;
}

// Signals in a child process, after planting what `planted` names under the child's hand-shake name: 1 when
// the planted semaphore was posted, 0 when not, minus the signal when the child crashed, 99 when it hung.
int signalInChild(Planted planted) {
  const pid_t child = fork();
  if (child == 0) {
    const std::string name = "QzStdin-" + std::to_string(getpid());
    const std::string object = "/sem." + name;  // where a named semaphore lives as shared memory
    sem_t* semaphore = SEM_FAILED;
    if (planted == Planted::OwnSemaphore || planted == Planted::OtherUsersSemaphore) {
      semaphore = sem_open(("/" + name).c_str(), O_CREAT | O_EXCL, 0666, 0);
    }
    if (planted == Planted::OtherUsersSemaphore) {
      const int fd = shm_open(object.c_str(), O_RDWR, 0);
      if (fd < 0 || fchown(fd, 65534, 65534) != 0) _exit(100);
      close(fd);
    }
    if (planted == Planted::EmptyObject) close(shm_open(object.c_str(), O_CREAT | O_EXCL | O_RDWR, 0666));
    if (planted == Planted::Fifo && mkfifo(("/dev/shm" + object).c_str(), 0666) != 0) _exit(100);
    signalStdinConsumed();
    _exit(semaphore != SEM_FAILED && sem_trywait(semaphore) == 0 ? 1 : 0);
  }
  const std::optional<int> status = waitWithDeadline(child);
  shm_unlink(("/sem.QzStdin-" + std::to_string(child)).c_str());
  if (!status) return 99;
  return WIFSIGNALED(*status) ? -WTERMSIG(*status) : WEXITSTATUS(*status);
}

// The shared-memory directory is open to every user: what another user planted there, what is too small to
// be a semaphore (posting it would fault) or no file at all (opening a FIFO would wait for a writer) is left
// alone.
TEST(StdinCapture, SignalPostsOnlyAnExistingSemaphoreOfThisUser) {
  const struct {
    const char* name;
    Planted planted;
    int posted;
    bool needsRoot;
  } cases[] = {
      {"nothing", Planted::Nothing, 0, false},
      {"this user's semaphore", Planted::OwnSemaphore, 1, false},
      {"an empty object", Planted::EmptyObject, 0, false},
      {"another user's semaphore", Planted::OtherUsersSemaphore, 0, true},
      {"a FIFO", Planted::Fifo, 0, false},
  };
  for (const auto& [name, planted, posted, needsRoot] : cases) {
    if (needsRoot && geteuid() != 0) continue;
    EXPECT_EQ(signalInChild(planted), posted) << name;
  }
}

}  // namespace
