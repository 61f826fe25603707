// The corpus comparison (qz_corpus_compare) refuses what it cannot compare with a message and exit status 2:
// sizes that are not positive whole numbers, a folder that is not there, and an entry it cannot look at (a
// symbolic link that loops), where it used to abort or go on over part of the corpus. A sound folder compares,
// every image file in it by both loads at its own size, and its SVG documents at the sizes asked; so does a
// file named alone.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace {

struct ToolRun {
  bool exited = false;
  int status = -1;
  std::string output;  // standard output and error together
};

class CorpusCompareTest : public ScratchDirTest {
 protected:
  ToolRun compare(const std::vector<std::string>& arguments) const {
    // The tool's threads call into SDL, whose per-thread state the sanitizer build now and then reports at the
    // tool's exit with a stack cut short inside SDL (no frame pointers there), which no suppression of the
    // test tree's can name: the tool, not qz, runs with SDL's own allocations left out of its leak check.
    writeText("tool-leaks.supp",
              "leak:libX11.so\nleak:libfontconfig.so\nleak:libdbus-1.so\nleak:_dl_open\nleak:IMG_LoadSizedSVG_IO\n"
              "leak:SDL_malloc_REAL\nleak:SDL_calloc_REAL\nleak:SDL_realloc_REAL\n");
    std::string command = "LSAN_OPTIONS=print_suppressions=0:suppressions='" + path("tool-leaks.supp") + "' " +
                          std::string(QZ_CORPUS_COMPARE);
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    ToolRun run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    char block[4096];
    for (size_t got; (got = fread(block, 1, sizeof block, pipe)) > 0;) run.output.append(block, got);
    const int status = pclose(pipe);
    run.exited = WIFEXITED(status);
    run.status = run.exited ? WEXITSTATUS(status) : -1;
    return run;
  }
};

TEST_F(CorpusCompareTest, WhatCannotBeComparedEndsWithAMessage) {
  std::filesystem::create_directories(dir / "sound");
  writeText("sound/square.svg",
            R"(<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"><rect width="8" height="8"/></svg>)");
  writeText("sound/dots.pbm", "P1\n2 2\n1 0\n0 1\n");
  std::filesystem::create_directories(dir / "looping");
  std::filesystem::create_symlink("b.svg", dir / "looping/a.svg");
  std::filesystem::create_symlink("a.svg", dir / "looping/b.svg");
  const std::string sound = path("sound");
  const struct {
    const char* what;
    std::vector<std::string> arguments;
    const char* named;  // what the message names
  } cases[] = {
      {"sizes that are not numbers", {"--sizes", "abc", sound}, "abc"},
      {"a size of nothing", {"--sizes", "200,", sound}, "200,"},
      {"a size of zero", {"--sizes", "0", sound}, "0"},
      {"a negative size", {"--sizes", "-5", sound}, "-5"},
      {"no count of jobs", {"--jobs", "none", sound}, "none"},
      {"a folder that is not there", {sound, path("missing")}, "missing"},
      {"a symbolic link that loops", {path("looping")}, "symbolic links"},
  };
  for (const auto& c : cases) {
    const ToolRun run = compare(c.arguments);
    EXPECT_TRUE(run.exited) << c.what << ": " << run.output;
    EXPECT_EQ(run.status, 2) << c.what << ": " << run.output;
    EXPECT_NE(run.output.find(c.named), std::string::npos) << c.what << ": " << run.output;
  }
  const struct {
    std::vector<std::string> arguments;
    std::vector<const char*> rows;
  } sound_runs[] = {
      {{"--clean", "--sizes", "16", sound},
       {"| load_image | 2 | 2 |", "| load_image_data | 2 | 2 |", "| load_svg_image 16 | 1 | 1 |"}},
      {{"--clean", "--sizes", "16", path("sound/dots.pbm")}, {"| load_image | 1 | 1 |", "| load_image_data | 1 | 1 |"}},
  };
  for (const auto& c : sound_runs) {
    const ToolRun run = compare(c.arguments);
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* row : c.rows) EXPECT_NE(run.output.find(row), std::string::npos) << row << ": " << run.output;
  }
}

}  // namespace
