// The memory a render process may use: kRenderProcessMemoryBytes, or less when qz itself runs under a lower
// limit (ulimit -d or -v), which the process inherits and keeps.
#pragma once

#include <cstdint>
#include <string>

// The lower of kRenderProcessMemoryBytes and this process's own limits on its data and its address space.
uint64_t renderMemoryCeiling();
// The ceiling in words: "1 GiB", or "976 MiB" when it is no whole number of GiB.
std::string memoryCeilingText(uint64_t bytes);
