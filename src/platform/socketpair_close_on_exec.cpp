// Every socket pair made in qz is close-on-exec, so that programs the scripts start never hold one. libcurl
// makes one for each transfer (to wake its own waits) without asking for that, and no option of it reaches
// the call. This definition, in the executable, comes before the C library's for every caller of socketpair
// (the dynamic linker looks in the executable first); it adds SOCK_CLOEXEC and hands the call on.
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>

namespace {

using SocketPairFunction = int (*)(int, int, int, int[2]);

}  // namespace

extern "C" int socketpair(int domain, int type, int protocol, int ends[2]) {
  static const auto next = reinterpret_cast<SocketPairFunction>(dlsym(RTLD_NEXT, "socketpair"));
  if (next == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return next(domain, type | SOCK_CLOEXEC, protocol, ends);
}
