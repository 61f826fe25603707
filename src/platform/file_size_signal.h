// What the file-size limit does to the process.
#pragma once

// Ignores SIGXFSZ, so a write past RLIMIT_FSIZE fails with EFBIG and goes through the writer's own failure
// path (the old file kept, the temporary one removed) instead of ending the process in the middle of a save.
// Programs that qz starts get the default disposition back.
void ignoreFileSizeSignal();
