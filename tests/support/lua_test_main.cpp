// qz_lua_test <file_test.lua> <library dir>: runs one Lua test file inside qz (headless, in a fresh script
// tree) through the qz_test library, echoes qz's output and exits with qz's exit code.
#include <cstdio>
#include <iostream>

#include "qz_sandbox.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qz_lua_test <file_test.lua> <library dir>\n");
    return 2;
  }
  qztest::Sandbox sandbox;
  sandbox.writeBoot("package.path = " + qztest::luaString(std::string(argv[2]) + "/?.lua;") +
                    " .. package.path\n"
                    "return { run = function() require('qz_test').run_file(" +
                    qztest::luaString(argv[1]) + ") end }\n");
  qztest::RunOptions options;
  options.args = {"--new-instance"};
  options.environment["QZ_TEST_TMP"] = sandbox.root().string() + "/tmp";
  std::filesystem::create_directories(sandbox.root() / "tmp");
  const qztest::RunResult result = sandbox.run(options);
  std::cout << result.standardOutput;
  std::cerr << result.standardError;
  if (result.timedOut) std::cerr << "qz_lua_test: timed out\n";
  if (result.signal != 0) std::cerr << "qz_lua_test: qz was killed by signal " << result.signal << "\n";
  return result.exitCode == 0 ? 0 : 1;
}
