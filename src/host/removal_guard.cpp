// Only the first component below the root is tested, so everything inside a protected directory is
// refused while a directory of the same name deeper down is not.
#include "host/removal_guard.h"

#include <array>
#include <string>

namespace {

constexpr std::array<std::string_view, 10> kWindowsProtectedNames = {
    "$Recycle.Bin", "Boot",          "Documents and Settings", "EFI",
    "PerfLogs",     "Program Files", "Program Files (x86)",    "ProgramData",
    "Recovery",     "Windows"};

constexpr std::array<std::string_view, 14> kPosixProtectedNames = {
    "bin", "boot", "dev", "etc", "lib", "lib32", "lib64", "libx32", "proc", "run", "sbin", "sys", "usr", "var"};

// Windows names compare without regard to case; POSIX names are exact.
bool isProtectedName(std::string_view name, PathStyle style) {
  if (style == PathStyle::Windows) {
    for (const std::string_view protectedName : kWindowsProtectedNames) {
      if (equalsIgnoringAsciiCase(name, protectedName)) return true;
    }
    return false;
  }
  for (const std::string_view protectedName : kPosixProtectedNames) {
    if (name == protectedName) return true;
  }
  return false;
}

}  // namespace

const char* removalRefusal(std::string_view absolutePath, PathStyle style) {
  const std::string path = normalizePath(absolutePath, style);
  const size_t root = pathRootLength(path, style);
  if (root != 0 && root >= path.size()) return "refusing to remove a filesystem root";
  size_t start = root;
  while (start < path.size() && isPathSeparator(path[start], style)) ++start;
  size_t end = start;
  while (end < path.size() && !isPathSeparator(path[end], style)) ++end;
  if (isProtectedName(std::string_view(path).substr(start, end - start), style)) {
    return "refusing to remove a protected Windows directory";
  }
  return nullptr;
}
