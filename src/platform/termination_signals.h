// What a termination request does to the process.
#pragma once

// Makes a second SIGTERM, SIGINT or SIGHUP end the process at once while the quit event that SDL made of the
// first has not been taken by the scripts (a script in a loop or in a long call reads no events), with the
// signal's own status. The first still becomes the quit event; a hang-up (the terminal qz runs in was
// closed) becomes one as SIGTERM does, so the scripts get their chance to save. Call after SDL has set up its
// handlers; a signal that SDL does not handle (ignored since start-up), and a hang-up that is not at its
// default, are left as they are.
void escalateRepeatedTerminationSignals();
// The scripts have taken a quit event: the next request is again a first one.
void noteQuitEventTaken();

// Lets SIGTERM and SIGINT (and SIGHUP, when it was handled here) end the process again. SDL turns them into
// quit events for the scripts' application loop; once shutdown has begun no loop reads those events, and a
// process that waits there must still end when it is asked to.
void restoreDefaultTerminationSignals();
