#include "platform/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// One bit for each standard descriptor closed at start; set once, before any thread starts.
unsigned closedAtStart = 0;

}  // namespace

void occupyClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    closedAtStart |= 1u << fd;
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // Opening takes the lowest free number, this one, unless a lower one could not be filled either.
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

bool startedWithoutStandardDescriptor(int fd) {
  return fd >= STDIN_FILENO && fd <= STDERR_FILENO && (closedAtStart & (1u << fd)) != 0;
}
