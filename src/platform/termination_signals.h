// What a termination request does to the process.
#pragma once

// Lets SIGTERM and SIGINT end the process again. SDL turns them into quit events for the scripts'
// application loop; once shutdown has begun no loop reads those events, and a process that waits there
// must still end when it is asked to.
void restoreDefaultTerminationSignals();
