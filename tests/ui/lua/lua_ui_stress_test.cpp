// Random UI work driven from the scripts (tests/ui/lua/ui_stress.lua), one qz run per seed: callbacks that
// close their windows, destroy, detach, re-attach and re-focus forms and open popups, canvas text calls
// after a close, and os.exit at random points. A run must end with the code it announced and without
// anything a script should never see. QZ_UI_STRESS_SEEDS runs more seeds than the few of an ordinary test
// run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qz_sandbox.h"

namespace {

constexpr int kDefaultSeeds = 12;
constexpr int kSteps = 120;

int seedCount() {
  const char* text = std::getenv("QZ_UI_STRESS_SEEDS");
  const int count = text != nullptr ? std::atoi(text) : 0;
  return count > 0 ? count : kDefaultSeeds;
}

// The code a run announced on its last line ("exit N"), or 0 after "done".
int announcedCode(const std::string& output) {
  const size_t last = output.rfind("exit ");
  return last == std::string::npos ? 0 : std::atoi(output.c_str() + last + 5);
}

TEST(LuaUiStress, RandomCallbacksThatCloseDestroyReattachAndRefocusEndCleanly) {
  const qztest::Sandbox sandbox;
  qztest::RunOptions options;
  options.args = {"--new-instance"};
  for (int seed = 1; seed <= seedCount(); ++seed) {
    sandbox.writeBoot("SEED = " + std::to_string(seed) + " STEPS = " + std::to_string(kSteps) +
                      " EXIT = " + (seed % 2 == 0 ? "true" : "false") + "\nreturn dofile(" +
                      qztest::luaString(QZ_UI_STRESS_SCRIPT) + ")\n");
    const qztest::RunResult result = sandbox.run(options);
    const std::string context = "seed " + std::to_string(seed) + "\n" + result.standardOutput + result.standardError;
    EXPECT_EQ(result.signal, 0) << context;
    EXPECT_EQ(result.standardOutput.find("unexpected:"), std::string::npos) << context;
    EXPECT_TRUE(result.standardOutput.ends_with("done\n") || result.standardOutput.find("exit ") != std::string::npos)
        << context;
    EXPECT_EQ(result.exitCode, announcedCode(result.standardOutput)) << context;
  }
}

}  // namespace
