// The signal state qz sets for itself at start-up, before any script runs, whatever its parent left.
#pragma once

// Makes SIGPIPE harmless, so a write to a pipe, FIFO or socket whose reader has gone fails with EPIPE (a
// `print` to a closed standard output, an answer to a waiter that has just died) instead of ending qz with
// the scripts' unsaved work. Caught by a handler that does nothing rather than ignored: the disposition
// replaces an ignored one inherited from the parent, and every program that qz or a library starts gets the
// default back at exec, as it would not from an ignored signal.
void ignoreBrokenPipeSignal();

// Undoes what a parent may have left that qz relies on: SIGCHLD at its default (an ignored one makes the
// system reap children itself, so waiting for a dialog's helper fails), and SIGTERM, SIGINT, SIGHUP and
// SIGCHLD unblocked in the calling thread (the main thread, before any other starts), so that termination
// requests reach the process. Ignored termination signals stay ignored: that is the parent's choice.
void resetInheritedSignalState();
