// Scheduling priority of the calling thread.
#pragma once

// Lowers the calling thread's priority (a niceness of 10) so that background work yields the processor to
// the main thread; nothing happens where the system refuses.
void lowerCurrentThreadPriority();
