#include "user_namespace.h"

#include <sched.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace qztest {

namespace {

bool writeProcFile(const char* name, const std::string& text) {
  std::ofstream out(name);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

bool enterUserNamespace(int extraFlags) {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | extraFlags) != 0) return false;
  return writeProcFile("/proc/self/setgroups", "deny") &&
         writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
         writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

}  // namespace qztest
