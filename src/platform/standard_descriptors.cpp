#include "platform/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// One bit for each standard descriptor closed at start; set once, before any thread starts.
unsigned closedAtStart = 0;

// A descriptor for standard descriptor fd: the null device, or, in a root without one, a pipe whose other end
// is closed, which reads as empty and refuses writes (qz ignores the broken-pipe signal).
int nullDescriptor(int fd) {
  const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  if (opened >= 0) return opened;
  int ends[2];
  if (pipe(ends) != 0) return -1;
  close(ends[fd == STDIN_FILENO ? 1 : 0]);
  return ends[fd == STDIN_FILENO ? 0 : 1];
}

}  // namespace

void occupyClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    closedAtStart |= 1u << fd;
    const int opened = nullDescriptor(fd);
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
