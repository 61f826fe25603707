// Standard input capture over read(2) in 64 KiB units, waiting in poll(2) when the descriptor is non-blocking.
#include "host/stdin_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "platform/unique_fd.h"

namespace {

constexpr size_t kReadUnit = 65536;

bool isReadableStream(int fd) { return fcntl(fd, F_GETFD) != -1 && isatty(fd) == 0; }

// Waits until a descriptor that the feeding process left non-blocking has data or ends; false when poll
// itself fails.
bool waitForInput(int fd) {
  pollfd entry{fd, POLLIN, 0};
  for (;;) {
    if (poll(&entry, 1, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

// Whether the semaphore "/<name>" is this user's: the shared-memory directory that holds it is open to every
// user, and posting an object smaller than a semaphore, which anyone may plant there, would fault.
bool isOwnSemaphore(const std::string& name) {
  // A named semaphore lives as the shared-memory object "sem.<name>".
  const UniqueFd object(shm_open(("/sem." + name).c_str(), O_RDONLY, 0));
  struct stat info;
  return object.valid() && fstat(object.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
         info.st_size >= static_cast<off_t>(sizeof(sem_t));
}

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
        const int failure = errno;
        if (failure == EINTR) continue;
        if (failure == EAGAIN && waitForInput(STDIN_FILENO)) continue;
        if (failure == EPIPE) return true;
        error = "Cannot read stdin (system error " + std::to_string(failure) + ")";
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
  const std::string name = "QzStdin-" + std::to_string(getpid());
  if (!isOwnSemaphore(name)) return;
  sem_t* event = sem_open(("/" + name).c_str(), 0);
  if (event == SEM_FAILED) return;
  sem_post(event);
  sem_close(event);
}
