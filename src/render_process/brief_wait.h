// Waiting for the other process's message by watching for it a short while before sleeping. Between qz and
// its render process every document is a round trip, and a process that sleeps on an idle processor is
// woken late (tens of microseconds on a virtual machine, several times what an icon takes to draw); watching
// keeps both sides awake across a round trip. It pays only while the other process runs on another
// processor, so nothing is watched when this process may use only one.
#pragma once

// Watches `fd` for input for up to about a tenth of a millisecond; whether it became readable. Returns false at
// once when this process may run on one processor only.
bool watchBrieflyForInput(int fd);
