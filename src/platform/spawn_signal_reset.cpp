// Programs that SDL starts (the desktop's file chooser and its version check) get an empty signal mask and
// default signal handling. SDL starts the chooser with posix_spawnp from a thread of its own that blocks
// SIGTERM, SIGINT and other signals, and sets no signal attributes: the chooser would inherit that mask and
// could never be asked to end. This definition, in the executable, comes before the C library's for every
// caller of posix_spawnp (the dynamic linker looks in the executable first); it adds the two attributes
// where the caller set neither and hands the call on to the C library.
#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>

#include <cerrno>

namespace {

using SpawnFunction = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                              char* const[], char* const[]);

// The caller's attributes with the signal state reset where they leave it alone; false when they cannot be
// read.
bool copyWithSignalReset(const posix_spawnattr_t* from, posix_spawnattr_t& to) {
  short flags = 0;
  if (from != nullptr) {
    pid_t group = 0;
    int policy = 0;
    sched_param parameters{};
    sigset_t mask, defaults;
    if (posix_spawnattr_getflags(from, &flags) != 0 || posix_spawnattr_getpgroup(from, &group) != 0 ||
        posix_spawnattr_getschedpolicy(from, &policy) != 0 || posix_spawnattr_getschedparam(from, &parameters) != 0 ||
        posix_spawnattr_getsigmask(from, &mask) != 0 || posix_spawnattr_getsigdefault(from, &defaults) != 0) {
      return false;
    }
    posix_spawnattr_setpgroup(&to, group);
    posix_spawnattr_setschedpolicy(&to, policy);
    posix_spawnattr_setschedparam(&to, &parameters);
    posix_spawnattr_setsigmask(&to, &mask);
    posix_spawnattr_setsigdefault(&to, &defaults);
  }
  if ((flags & POSIX_SPAWN_SETSIGMASK) == 0) {
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&to, &none);
    flags |= POSIX_SPAWN_SETSIGMASK;
  }
  if ((flags & POSIX_SPAWN_SETSIGDEF) == 0) {
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigdefault(&to, &all);
    flags |= POSIX_SPAWN_SETSIGDEF;
  }
  return posix_spawnattr_setflags(&to, flags) == 0;
}

}  // namespace

extern "C" int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                            const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  static const auto next = reinterpret_cast<SpawnFunction>(dlsym(RTLD_NEXT, "posix_spawnp"));
  if (next == nullptr) return ENOSYS;
  posix_spawnattr_t reset;
  if (posix_spawnattr_init(&reset) != 0) return next(pid, file, actions, attributes, argv, envp);
  const int result = copyWithSignalReset(attributes, reset) ? next(pid, file, actions, &reset, argv, envp)
                                                            : next(pid, file, actions, attributes, argv, envp);
  posix_spawnattr_destroy(&reset);
  return result;
}
