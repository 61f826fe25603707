// A slow disk, for tests of qz as a process (loaded with LD_PRELOAD): the first fsync or fdatasync of a file
// whose last path component is $QZ_SLOW_SYNC_NAME sleeps $QZ_SLOW_SYNC_MS milliseconds before it syncs, as a
// disk busy with other work makes a sync wait. Every other sync runs as usual.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static atomic_int slept;

static void waitIfSlow(int fd) {
  const char* name = getenv("QZ_SLOW_SYNC_NAME");
  const char* milliseconds = getenv("QZ_SLOW_SYNC_MS");
  if (name == NULL || milliseconds == NULL) return;
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) return;
  target[length] = '\0';
  const char* last = strrchr(target, '/');
  if (strcmp(last != NULL ? last + 1 : target, name) != 0 || atomic_exchange(&slept, 1) != 0) return;
  const long wait = atol(milliseconds);
  struct timespec left = {wait / 1000, (wait % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0) {
  }
}

int fsync(int fd) {
  int (*next)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  waitIfSlow(fd);
  return next(fd);
}

int fdatasync(int fd) {
  int (*next)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  waitIfSlow(fd);
  return next(fd);
}
