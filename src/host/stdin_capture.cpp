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

#include "platform/standard_descriptors.h"
#include "platform/unique_fd.h"

namespace {

constexpr size_t kReadUnit = 65536;

// A descriptor qz was started without is none, though the null device holds its place.
bool isReadableStream(int fd) {
  return !startedWithoutStandardDescriptor(fd) && fcntl(fd, F_GETFD) != -1 && isatty(fd) == 0;
}

// Waits until a descriptor that the feeding process left non-blocking has data or ends; false when poll
// itself fails.
bool waitForInput(int fd) {
  pollfd entry{fd, POLLIN, 0};
  for (;;) {
    if (poll(&entry, 1, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

// Opens the semaphore "/<name>" when it is this user's, else none. The shared-memory directory that holds it
// is open to every user: anything may be planted there. Opening never blocks (a FIFO would wait for a
// writer), and an object that is not this user's regular file of a semaphore's size counts as absent, since
// posting a smaller one would fault.
UniqueFd openOwnSemaphore(const std::string& name) {
  // A named semaphore lives as the shared-memory object "sem.<name>".
  UniqueFd object(shm_open(("/sem." + name).c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0));
  struct stat info;
  if (!object.valid() || fstat(object.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      info.st_size < static_cast<off_t>(sizeof(sem_t))) {
    return UniqueFd();
  }
  return object;
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
  const UniqueFd object = openOwnSemaphore("QzStdin-" + std::to_string(getpid()));
  if (!object.valid()) return;
  // The object checked above is the one posted: mapped as sem_open would map it, with no second lookup of
  // the name.
  void* mapping = mmap(nullptr, sizeof(sem_t), PROT_READ | PROT_WRITE, MAP_SHARED, object.get(), 0);
  if (mapping == MAP_FAILED) return;
  sem_post(static_cast<sem_t*>(mapping));
  munmap(mapping, sizeof(sem_t));
}
