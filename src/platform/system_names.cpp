// Both names come from the C library: uname for the node name, getpwuid_r for the user entry.
#include "platform/system_names.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

SystemName computerName() {
  struct utsname names;
  if (uname(&names) != 0) return {{}, errno};
  return {names.nodename, 0};
}

SystemName userName() {
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  struct passwd entry;
  struct passwd* found = nullptr;
  for (;;) {
    const int error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0) return {{}, error};
    if (found == nullptr || found->pw_name == nullptr) return {};
    return {found->pw_name, 0};
  }
}
