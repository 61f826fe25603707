// An end of the process that a thread other than the main one asks for (os.exit in a worker job). The exit's
// teardown stops what the main thread works with (databases, windows, the worker itself), so it must not run
// beside it: the main thread ends the process, as os.exit would there, at its next pause in the scripts' loop
// (a sleep, a wait for or poll of events, a look at a worker job), or with the status asked for when the
// scripts end first. Scripts that run on without pausing are interrupted, as the standard interpreter stops
// a script on a signal: the main thread then ends the process at its next Lua instruction outside a
// coroutine.
#pragma once

#include <chrono>
#include <optional>

struct lua_State;

// Any thread: asks for the end of the process with `status`, closing the main Lua state first when
// `closeState` is set; wakes the main thread. The first request holds.
void requestProcessExit(int status, bool closeState);
// The status asked for, when an end was asked for.
std::optional<int> requestedExitStatus();
// Main thread, inside a call from the Lua state L: ends the process as asked, when it was and no earlier call
// has taken the request (a finalizer of the close it began pauses here) and the scripts have not ended (their
// end returns the status asked); returns otherwise.
void exitIfRequested(lua_State* L);
// Main thread, once its Lua state exists (mainLuaState): lets interruptMainThreadForExit reach it.
void watchForExitInterrupts();
// Any thread, after requestProcessExit: when the main thread has not yet taken the request, interrupts it so
// that it takes it in its Lua code (lua_sethook from a signal handler on that thread).
void interruptMainThreadForExit();
// os.exit's first argument as a process status: a boolean as in Lua, an integer, EXIT_SUCCESS when none.
int exitStatusArgument(lua_State* L);
// Main thread: puts in the main state an os.exit that ends the process as Lua's own does, but takes a job's
// request made before it, and records itself as taken, so that a job's later os.exit finds the process ending.
void installMainStateExit(lua_State* L);
// Main thread: sleeps until `until`, or ends the process as asked as soon as that is asked.
void sleepUnlessExitRequested(lua_State* L, std::chrono::steady_clock::time_point until);
