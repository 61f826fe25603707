// The render process's allocation functions: glibc's own, each counting its failures. Defined in the
// executable, they stand in for glibc's in every library it loads. The sanitizer build keeps its
// sanitizer's allocator and hears of failures through its reports.
#include "render_process/allocation_failures.h"

#include <errno.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "render_process/address_sanitizer.h"
#include "render_process/render_process_protocol.h"

#if QZ_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace {

std::atomic<uint64_t> failures{0};

}  // namespace

uint64_t failedAllocations() { return failures.load(std::memory_order_relaxed); }

#if QZ_ADDRESS_SANITIZER

namespace {

void onReport(const char* report) {
  for (const char* kind : {"allocation-size-too-big", "out-of-memory", "calloc-overflow", "rss-limit-exceeded",
                           "pvalloc-overflow", "reallocarray-overflow"}) {
    if (strstr(report, kind) != nullptr) _exit(kRenderProcessOutOfMemoryStatus);
  }
}

}  // namespace

void endOnSanitizerAllocationReports() { __asan_set_error_report_callback(onReport); }

#else

void endOnSanitizerAllocationReports() {}

namespace {

void* counted(void* block, bool wanted) {
  if (block == nullptr && wanted) failures.fetch_add(1, std::memory_order_relaxed);
  return block;
}

}  // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);

void* malloc(size_t size) noexcept { return counted(__libc_malloc(size), true); }
void* calloc(size_t count, size_t size) noexcept { return counted(__libc_calloc(count, size), true); }
void* realloc(void* block, size_t size) noexcept {
  return counted(__libc_realloc(block, size), size != 0 || block == nullptr);
}
void* reallocarray(void* block, size_t count, size_t size) noexcept {
  size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes)) {
    errno = ENOMEM;
    return counted(nullptr, true);
  }
  return realloc(block, bytes);
}
void* memalign(size_t alignment, size_t size) noexcept { return counted(__libc_memalign(alignment, size), true); }
void* aligned_alloc(size_t alignment, size_t size) noexcept { return memalign(alignment, size); }
void* valloc(size_t size) noexcept { return counted(__libc_valloc(size), true); }
void* pvalloc(size_t size) noexcept { return counted(__libc_pvalloc(size), true); }
int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) return EINVAL;
  void* block = counted(__libc_memalign(alignment, size), true);
  if (block == nullptr) return ENOMEM;
  *result = block;
  return 0;
}
}

#endif
