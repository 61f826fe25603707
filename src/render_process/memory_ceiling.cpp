// The render process's memory ceiling under the limits qz was started with.
#include "render_process/memory_ceiling.h"

#include <sys/resource.h>

#include <algorithm>

#include "render_process/render_process_protocol.h"

namespace {

uint64_t limitOf(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return limit.rlim_cur;
}

}  // namespace

uint64_t renderMemoryCeiling() {
  return std::min({kRenderProcessMemoryBytes, limitOf(RLIMIT_DATA), limitOf(RLIMIT_AS)});
}

std::string memoryCeilingText(uint64_t bytes) {
  constexpr uint64_t kMiB = uint64_t{1} << 20, kGiB = uint64_t{1} << 30;
  if (bytes % kGiB == 0) return std::to_string(bytes / kGiB) + " GiB";
  return std::to_string(bytes / kMiB) + " MiB";
}
