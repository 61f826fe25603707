// The status file gives sizes as "Name:<spaces>N kB" lines.
#include "platform/process_memory.h"

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
