// Saving a file atomically: the content goes to a new temporary file beside the target ("<target>.qz-save-N",
// see SaveTemporary), is forced to disk and renamed over the target, so the target always holds either its
// old or its new content. A save through a symbolic link replaces the file the link leads to and keeps the
// link.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/file_step_error.h"

enum class AtomicWriteStatus { Written, ReadOnly, Failed };

struct AtomicWriteResult {
  AtomicWriteStatus status = AtomicWriteStatus::Failed;
  FileStepError error;  // set when Failed: "path conversion", "temporary file creation", "file write",
                        // "file flush", "file close" or "file replacement"
};

// The next number for a temporary file name; process-wide, shared by every thread, never reused.
uint64_t nextSaveAttemptNumber();

// Writes data to path. An existing target keeps its owner, group and permission bits, as far as the process
// may give them; a new one gets 0666 less the umask. A target without write permission is refused before anything is
// created, and at the replacement when it lost it meanwhile; one that is no regular file fails at the
// replacement. Every failure leaves the target as it was and removes the temporary file.
AtomicWriteResult writeFileAtomic(std::string_view path, std::string_view data);
// The same with the content given as consecutive parts, written one after another.
AtomicWriteResult writeFileAtomic(std::string_view path, std::span<const std::string_view> parts);
