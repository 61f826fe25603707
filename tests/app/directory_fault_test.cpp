// Directory walks meeting a read error midway, in a real qz: one directory's listing is made to fail after a
// number of names by a library loaded with LD_PRELOAD. system.list_dir gives the names it read and the error
// beside them; system.remove_tree fails instead of reporting a removal it did not finish.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "qz_sandbox.h"

namespace {

using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;

// Makes user/<name> with count files (and a nested tree for removal), then prints one line per call:
// the names read and every further result.
constexpr const char* kBoot = R"lua(
local user = EXE_DIR .. "/user/"
local function fill(directory, count)
  assert(system.mkdir(directory))
  for i = 1, count do assert(io.open(directory .. "/f" .. i, "w")):close() end
end
local function show(label, ...)
  local results = table.pack(...)
  local parts = { label, type(results[1]) == "table" and #results[1] or tostring(results[1]) }
  for i = 2, results.n do parts[#parts + 1] = tostring(results[i]) end
  print(table.concat(parts, "|"))
end
return { run = function()
  fill(user .. "faulty", 20)
  fill(user .. "whole", 20)
  fill(user .. "empty", 0)
  show("faulty", system.list_dir(user .. "faulty"))
  show("whole", system.list_dir(user .. "whole"))
  show("empty", system.list_dir(user .. "empty"))
  assert(system.mkdir(user .. "tree"))
  fill(user .. "tree/faulty", 20)
  show("remove faulty", system.remove_tree(user .. "tree"))
  show("left", system.is_dir(user .. "tree/faulty"))
  show("remove whole", system.remove_tree(user .. "whole"))
  show("gone", system.is_dir(user .. "whole"))
end }
)lua";

// What the script prints when reading "faulty" fails after `after` of its 20 entries, or never (cut false).
std::string expectedOutput(int after, bool cut) {
  const std::string listed = "faulty|" + std::to_string(std::min(after, 20)) +
                             (cut ? "|directory read failed: Input/output error\n" : "\n");
  const std::string removed = cut ? "remove faulty|nil|directory removal failed: Input/output error (5)\nleft|true\n"
                                  : "remove faulty|true\nleft|false\n";
  return listed + "whole|20\nempty|0\n" + removed + "remove whole|true\ngone|false\n";
}

TEST(DirectoryFault, AListingCutShortSaysSoAndARemovalFails) {
  struct Case {
    const char* after;
    std::string expected;
  };
  const Case cases[] = {
      {"5", expectedOutput(5, true)},
      {"0", expectedOutput(0, true)},
      {"20", expectedOutput(20, true)},
      {"21", expectedOutput(21, false)},
  };
  for (const Case& test : cases) {
    Sandbox sandbox;
    sandbox.writeBoot(kBoot);
    RunOptions options = qztest::newInstance();
    options.environment = {{"LD_PRELOAD", QZ_READDIR_FAULT_LIBRARY},
                           {"QZ_READDIR_FAULT_NAME", "faulty"},
                           {"QZ_READDIR_FAULT_AFTER", test.after}};
    const RunResult result = sandbox.run(options);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, test.expected) << "failing after " << test.after;
  }
}

}  // namespace
