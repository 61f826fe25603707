#include "host/stdin_capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
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

TEST(StdinCapture, SignalPostsAnExistingSemaphoreOnly) {
  signalStdinConsumed();  // no semaphore: nothing happens
  const std::string name = "/QzStdin-" + std::to_string(getpid());
  sem_t* event = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 0);
  ASSERT_NE(event, SEM_FAILED);
  signalStdinConsumed();
  EXPECT_EQ(sem_trywait(event), 0);
  sem_close(event);
  sem_unlink(name.c_str());
}

}  // namespace
