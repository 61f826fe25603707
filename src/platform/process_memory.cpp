// The status file gives sizes as "Name:<spaces>N kB" lines.
#include "platform/process_memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string>

#include "platform/file_read.h"

namespace {

// The size in bytes of the line "name: N kB"; nothing when the line is absent or malformed.
std::optional<uint64_t> statusSize(std::string_view status, std::string_view name) {
  for (size_t start = 0; start < status.size();) {
    size_t end = status.find('\n', start);
    if (end == std::string_view::npos) end = status.size();
    std::string_view line = status.substr(start, end - start);
    start = end + 1;
    if (line.size() <= name.size() || line.substr(0, name.size()) != name || line[name.size()] != ':') continue;
    line.remove_prefix(name.size() + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    uint64_t kibibytes = 0;
    const auto [rest, error] = std::from_chars(line.data(), line.data() + line.size(), kibibytes);
    if (error != std::errc() || std::string_view(rest, line.data() + line.size() - rest) != " kB") return {};
    if (kibibytes > UINT64_MAX / 1024) return {};
    return kibibytes * 1024;
  }
  return {};
}

// The text of a small system file, or "" when it cannot be read.
std::string systemFileText(const std::string& path) {
  std::string text;
  FileStepError error;
  if (!readFileRange(path, 0, 4096, text, error)) text.clear();
  return text;
}

// The "memory.max" of this process's control group (version 2); nothing when there is none or it is "max".
std::optional<uint64_t> controlGroupLimit() {
  const std::string groups = systemFileText("/proc/self/cgroup");
  const size_t start = groups.find("0::/");
  if (start == std::string::npos || (start != 0 && groups[start - 1] != '\n')) return {};
  const size_t end = groups.find('\n', start);
  const std::string group = groups.substr(start + 3, end == std::string::npos ? end : end - start - 3);
  const std::string limit = systemFileText("/sys/fs/cgroup" + group + "/memory.max");
  uint64_t bytes = 0;
  const auto [rest, error] = std::from_chars(limit.data(), limit.data() + limit.size(), bytes);
  if (error != std::errc() || rest == limit.data()) return {};
  return bytes;
}

}  // namespace

std::optional<ProcessMemory> parseProcessStatus(std::string_view status) {
  const std::optional<uint64_t> resident = statusSize(status, "VmRSS");
  const std::optional<uint64_t> anonymous = statusSize(status, "RssAnon");
  const std::optional<uint64_t> peak = statusSize(status, "VmHWM");
  if (!resident || !anonymous || !peak) return {};
  return ProcessMemory{*resident, *anonymous + statusSize(status, "VmSwap").value_or(0), *peak};
}

std::optional<ProcessMemory> queryProcessMemory() {
  std::string status;
  FileStepError error;
  if (!readFileRange("/proc/self/status", 0, kNoByteLimit, status, error)) return {};
  return parseProcessStatus(status);
}

uint64_t memoryTheProcessMayUse() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  uint64_t bytes =
      pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : UINT64_MAX;
  if (const std::optional<uint64_t> group = controlGroupLimit()) bytes = std::min(bytes, *group);
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const uint64_t mapped = statusSize(systemFileText("/proc/self/status"), "VmSize").value_or(limit.rlim_cur);
    bytes = std::min<uint64_t>(bytes, limit.rlim_cur - std::min<uint64_t>(limit.rlim_cur, mapped));
  }
  return bytes;
}
