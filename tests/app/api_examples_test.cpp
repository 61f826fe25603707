// docs/api.md's examples, run as a newcomer would run them: every module section ends with at least one Lua
// block, and each block, run in qz, prints exactly what its "-->" comments say, in order (the values of one
// print apart by white space, a line break inside a value written as \n). All blocks run in one qz, one
// after the other, each in a protected call; an error that escapes a block is printed as "error: ...".
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "qz_sandbox.h"

namespace {

struct Example {
  std::string module;
  int line = 0;  // of the opening fence
  std::string code;
  std::vector<std::string> expected;
};

// White space runs as one space, none at the ends.
std::string normalized(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool space = c == ' ' || c == '\t';
    if (space && (out.empty() || out.back() == ' ')) continue;
    out += space ? ' ' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// The text after a "-->" that opens a comment on the line (at its start or after white space), if any.
bool annotation(const std::string& line, std::string& text) {
  for (size_t at = line.find("-->"); at != std::string::npos; at = line.find("-->", at + 1)) {
    if (at == 0 || line[at - 1] == ' ') {
      text = normalized(line.substr(at + 3));
      return true;
    }
  }
  return false;
}

std::vector<Example> examplesOf(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << path;
  std::vector<Example> examples;
  std::string module, line;
  Example* open = nullptr;
  for (int number = 1; std::getline(in, line); ++number) {
    if (open != nullptr) {
      if (line == "```") {
        open = nullptr;
        continue;
      }
      open->code += line + "\n";
      std::string expected;
      if (annotation(line, expected)) open->expected.push_back(expected);
    } else if (line.rfind("## ", 0) == 0) {
      module = line.substr(3, line.find(' ', 3) - 3);
    } else if (line == "```lua") {
      examples.push_back({module, number, "", {}});
      open = &examples.back();
    }
  }
  return examples;
}

// Runs each block with a print that writes its values apart by a tab, line breaks inside them as \n; each
// block's output follows a line "\1" and its position.
constexpr const char kRunner[] = R"lua(
local real_print = print
for index, code in ipairs(dofile(EXE_DIR .. "/data/core/examples.lua")) do
  io.write("\1", index, "\n")
  print = function(...)
    local parts = {}
    for k = 1, select("#", ...) do
      parts[k] = (tostring((select(k, ...))):gsub("\r", "\\r"):gsub("\n", "\\n"))
    end
    io.write(table.concat(parts, "\t"), "\n")
  end
  local chunk, failure = load(code, "=example " .. index, "t")
  local ok, err = chunk ~= nil, failure
  if chunk then ok, err = pcall(chunk) end
  print = real_print
  if not ok then io.write("error: ", (tostring(err):gsub("\n", "\\n")), "\n") end
end
)lua";

// The lines each block printed, normalized.
std::vector<std::vector<std::string>> runExamples(const std::vector<Example>& examples) {
  qztest::Sandbox sandbox;
  std::string list = "return {\n";
  for (const Example& example : examples) list += qztest::luaString(example.code) + ",\n";
  sandbox.writeFile("data/core/examples.lua", list + "}\n");
  sandbox.writeBoot(std::string("return { run = function()\n") + kRunner + "end }\n");
  const qztest::RunResult result = sandbox.run(qztest::newInstance());
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  std::vector<std::vector<std::string>> printed;
  std::istringstream lines(result.standardOutput);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] == '\1') {
      printed.emplace_back();
    } else if (!printed.empty()) {
      printed.back().push_back(normalized(line));
    }
  }
  return printed;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(ApiExamples, EveryModuleHasAnExampleThatPrintsWhatTheReferenceSays) {
  const std::vector<Example> examples = examplesOf(QZ_API_REFERENCE);
  std::set<std::string> modules;
  for (const Example& example : examples) {
    modules.insert(example.module);
    EXPECT_GE(example.expected.size(), 2u) << "line " << example.line << ": a result and a failure at least";
  }
  for (const char* module :
       {"system", "renderer", "canvas", "db", "utf8", "window", "form", "control", "layout", "pane", "ui_font",
        "ui_glyph", "pack", "text", "native_tokenizer", "xml", "web", "worker"}) {
    EXPECT_EQ(modules.count(module), 1u) << "no example in the section of " << module;
  }
  const std::vector<std::vector<std::string>> printed = runExamples(examples);
  ASSERT_EQ(printed.size(), examples.size()) << "every example ran";
  for (size_t i = 0; i < examples.size(); ++i) {
    EXPECT_EQ(joined(printed[i]), joined(examples[i].expected))
        << "the example of " << examples[i].module << " at docs/api.md:" << examples[i].line;
  }
}

}  // namespace
