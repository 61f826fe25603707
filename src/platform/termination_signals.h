// What a termination request does to the process.
#pragma once

// Makes a second SIGTERM or SIGINT end the process at once while the quit event that SDL made of the first
// has not been taken by the scripts (a script in a loop or in a long call reads no events), with the
// signal's own status. The first still becomes the quit event. Call after SDL has set up its handlers; a
// signal that SDL does not handle (ignored since start-up) is left as it is.
void escalateRepeatedTerminationSignals();
// The scripts have taken a quit event: the next request is again a first one.
void noteQuitEventTaken();

// Lets SIGTERM and SIGINT end the process again. SDL turns them into quit events for the scripts'
// application loop; once shutdown has begun no loop reads those events, and a process that waits there
// must still end when it is asked to.
void restoreDefaultTerminationSignals();
