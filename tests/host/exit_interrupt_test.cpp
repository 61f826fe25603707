// The signal that makes a main thread which never pauses take a worker job's os.exit: it sets the main state's
// hook only on the main thread and only while an end is asked for and not yet taken. A signal sent to the
// process by another program, or one that reaches another thread, leaves the state alone (a hook set from
// another thread would race with the main thread's own running of the state).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <thread>

#include "host/exit_request.h"
#include "host/lua_api.h"
#include "host/process_state.h"

namespace {

void interruptFrom(bool mainThread) {
  if (mainThread) {
    pthread_kill(pthread_self(), SIGURG);  // handled before it returns
  } else {
    std::thread([] { pthread_kill(pthread_self(), SIGURG); }).join();
  }
}

TEST(ExitInterrupt, OnlyTheMainThreadWithAnEndAskedForSetsTheStatesHook) {
  lua_State* L = luaL_newstate();
  ASSERT_NE(L, nullptr);
  setMainLuaState(L);
  watchForExitInterrupts();
  struct Case {
    bool asked;
    bool mainThread;
    bool hooked;
  };
  // The request stays made for the rest of this process, so the cases without one come first.
  const Case cases[] = {{false, true, false}, {false, false, false}, {true, false, false}, {true, true, true}};
  for (const Case& each : cases) {
    if (each.asked) requestProcessExit(7, false);
    interruptFrom(each.mainThread);
    EXPECT_EQ(lua_gethook(L) != nullptr, each.hooked)
        << (each.asked ? "an end asked for, " : "no end asked for, ") << (each.mainThread ? "main thread" : "other thread");
    lua_sethook(L, nullptr, 0, 0);
  }
  setMainLuaState(nullptr);
  lua_close(L);
}

}  // namespace
