// The memory figures of this process, from the kernel's per-process status file.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

struct ProcessMemory {
  uint64_t workingSetBytes = 0;      // resident now (VmRSS)
  uint64_t privateBytes = 0;         // anonymous memory, resident or swapped (RssAnon + VmSwap)
  uint64_t peakWorkingSetBytes = 0;  // highest resident size (VmHWM)
};

// Reads the figures out of the text of /proc/<pid>/status; nothing when VmRSS, RssAnon or VmHWM is missing
// or unreadable (VmSwap counts as 0 when absent).
std::optional<ProcessMemory> parseProcessStatus(std::string_view status);

// The figures of this process; nothing when the status file cannot be read or parsed.
std::optional<ProcessMemory> queryProcessMemory();

// The most memory this process may still take: the least of the machine's physical memory, the memory limit
// of its control group and what its address-space limit leaves beyond what it has mapped (VmSize).
uint64_t memoryTheProcessMayUse();
