// Allocations that failed in the render process. librsvg, cairo and SDL_image go on drawing when an
// allocation fails (a filter result or an image left out, an empty canvas), and such a drawing must not be
// taken for the document's: the process counts every allocation that failed, and a drawing during which one
// did is refused as one that ran out of memory. In the sanitizer build the sanitizer's allocator reports a
// failed allocation instead, and the process ends on it with kRenderProcessOutOfMemoryStatus.
#pragma once

#include <cstdint>

// How many allocations have failed in this process; safe in a signal handler.
uint64_t failedAllocations();

// Makes the sanitizer build's allocation reports end the process as out of memory; nothing otherwise.
void endOnSanitizerAllocationReports();
