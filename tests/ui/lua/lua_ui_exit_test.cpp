// The Lua UI at the end of the process, run as a real qz: os.exit closing the Lua state under live controls,
// lifecycles and deferred callbacks, and finalizers that try to keep Lua values while the state closes.
#include <gtest/gtest.h>

#include <string>

#include "qz_sandbox.h"

namespace {

// A form in a window with a focused control, a lifecycle and a popup, so every kind of UI holder of Lua
// values is alive.
constexpr const char* kLiveUi = R"(
  local f = form.create({})
  local p = assert(pane.create(f, {length = "weighted"}))
  assert(layout.append(f, form.root_layout(f), p))
  local c = assert(control.create(f, {focusable = true, draw = function() end, event = function() end}))
  assert(pane.attach(f, p, c))
  local popup = assert(control.create(f, {measure = function() return 5, 5 end}))
  assert(form.attach_overlay(f, popup))
  local w = assert(window.create({visible = false}))
  assert(window.attach_form(w, f))
  assert(form.bind_lifecycle(f, {on_complete = function() end}))
  assert(form.focus(f, c))
  assert(form.set_anchored_overlay(f, popup, c, {}))
  while system.poll_event() do end
)";

// The finalizer of a value made after the UI modules, run when the state closes.
constexpr const char* kClosingFinalizer = R"(
  keep = setmetatable({}, {__gc = function()
    local made, message = control.create(form.create({}), {})
    local bound, refused = form.bind_lifecycle(form.create({}), {})
    io.stdout:write(tostring(made), " ", tostring(message), " / ", tostring(bound), " ", tostring(refused), "\n")
    io.stdout:flush()
  end})
)";

qztest::RunResult runBoot(const std::string& body) {
  qztest::Sandbox sandbox;
  sandbox.writeBoot("return { run = function()\n" + body + "\nend }\n");
  qztest::RunOptions options;
  options.args = {"--new-instance"};
  return sandbox.run(options);
}

TEST(LuaUiExit, OsExitEndsWithItsCodeWhetherOrNotItClosesTheStateUnderLiveUi) {
  for (const char* exit : {"os.exit(7, true)", "os.exit(7)"}) {
    const qztest::RunResult result = runBoot(std::string(kLiveUi) + exit);
    EXPECT_EQ(result.signal, 0) << exit;
    EXPECT_EQ(result.exitCode, 7) << exit << "\n" << result.standardError;
  }
}

TEST(LuaUiExit, AFinalizerRunWhileTheStateClosesCannotStartANewRuntime) {
  const qztest::RunResult result = runBoot(std::string(kLiveUi) + kClosingFinalizer);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput,
            "nil Lua UI runtime is not active / nil Lua UI runtime belongs to a different Lua state\n");
}

}  // namespace
