// Standard input capture over read(2) in 64 KiB units.
#include "host/stdin_capture.h"

#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace {

constexpr size_t kReadUnit = 65536;

bool isReadableStream(int fd) { return fcntl(fd, F_GETFD) != -1 && isatty(fd) == 0; }

}  // namespace

bool readAllStdin(std::string& text, std::string& error) {
  if (!isReadableStream(STDIN_FILENO)) {
    error = "--stdin needs a pipe or redirected file";
    return false;
  }
  try {
    std::string buffer(kReadUnit, '\0');
    for (;;) {
      const ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
      if (count < 0) {
        if (errno == EINTR) continue;
        if (errno == EPIPE) return true;
        error = "Cannot read stdin (system error " + std::to_string(errno) + ")";
        return false;
      }
      if (count == 0) return true;
      if (text.size() + static_cast<size_t>(count) > kStdinLimitBytes) {
        error = "Standard input exceeds the 64 MiB limit";
        return false;
      }
      text.append(buffer.data(), static_cast<size_t>(count));
    }
  } catch (const std::bad_alloc&) {
    error = "Not enough memory to read standard input";
    return false;
  }
}

void signalStdinConsumed() {
  const std::string name = "/QzStdin-" + std::to_string(getpid());
  sem_t* event = sem_open(name.c_str(), 0);
  if (event == SEM_FAILED) return;
  sem_post(event);
  sem_close(event);
}
