// What the file-size limit does to the process.
#pragma once

// Makes SIGXFSZ harmless, so a write past RLIMIT_FSIZE fails with EFBIG and goes through the writer's own
// failure path (the old file kept, the temporary one removed) instead of ending the process in the middle of
// a save. The signal is caught by a handler that does nothing rather than ignored: every program that qz or
// a library starts gets the default disposition back at exec, as it would not get it from an ignored signal.
void ignoreFileSizeSignal();
