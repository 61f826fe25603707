// A directory listing that fails midway, for tests of qz as a process (loaded with LD_PRELOAD): reading a
// directory whose last path component is $QZ_READDIR_FAULT_NAME gives $QZ_READDIR_FAULT_AFTER entries other
// than "." and "..", then fails with EIO. Every other directory reads as usual.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kTracked = 64 };

// The faulty directories open now and how many names each has given.
static struct {
  DIR* dir;
  long given;
} tracked[kTracked];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static int isFaultyDirectory(DIR* dir) {
  const char* name = getenv("QZ_READDIR_FAULT_NAME");
  if (name == NULL || *name == '\0') return 0;
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(dir));
  const ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) return 0;
  target[length] = '\0';
  const char* last = strrchr(target, '/');
  return strcmp(last != NULL ? last + 1 : target, name) == 0;
}

static int isDot(const struct dirent* entry) {
  return strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0;
}

struct dirent* readdir(DIR* dir) {
  struct dirent* (*next)(DIR*) = (struct dirent * (*)(DIR*)) dlsym(RTLD_NEXT, "readdir");
  if (!isFaultyDirectory(dir)) return next(dir);
  const char* after = getenv("QZ_READDIR_FAULT_AFTER");
  const long limit = after != NULL ? atol(after) : 0;
  pthread_mutex_lock(&lock);
  int slot = -1;
  for (int i = 0; i < kTracked && slot < 0; ++i)
    if (tracked[i].dir == dir) slot = i;
  for (int i = 0; i < kTracked && slot < 0; ++i)
    if (tracked[i].dir == NULL) {
      slot = i;
      tracked[i].dir = dir;
      tracked[i].given = 0;
    }
  struct dirent* entry = NULL;
  if (slot >= 0 && tracked[slot].given >= limit) {
    errno = EIO;
  } else {
    entry = next(dir);
    if (entry != NULL && !isDot(entry) && slot >= 0) ++tracked[slot].given;
  }
  pthread_mutex_unlock(&lock);
  return entry;
}

int closedir(DIR* dir) {
  int (*next)(DIR*) = (int (*)(DIR*))dlsym(RTLD_NEXT, "closedir");
  pthread_mutex_lock(&lock);
  for (int i = 0; i < kTracked; ++i)
    if (tracked[i].dir == dir) tracked[i].dir = NULL;
  pthread_mutex_unlock(&lock);
  return next(dir);
}
