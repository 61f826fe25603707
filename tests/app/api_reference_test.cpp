// docs/api.md against what the scripts really see: a boot.lua run by qz lists every field of every native
// module and every method of every userdata type in the Lua registry, and the reference must have exactly
// one entry for each, and none for anything else.
//
// The reference's entries are list items that open with the name in backquotes: "- `system.read_file(" for
// a function, "- `DB:query(" for a method, "- `utf8.charpattern`" for a value; a type is a heading
// "### `DB`". A module field that is a type's metatable (renderer.font, the Font type's) may list its
// functions under either name.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "qz_sandbox.h"

namespace {

// Lines "entry NAME", "type NAME" and "alias MODULE.FIELD TYPE" for everything the scripts see.
constexpr const char kListing[] = R"lua(
local standard = { _G = true, package = true, coroutine = true, debug = true, io = true, math = true,
                   os = true, string = true, table = true }
local lines = {}
local function emit(...) lines[#lines + 1] = table.concat({ ... }, " ") end
local function methods(type_name, metatable)
  local index = rawget(metatable, "__index")
  if type(index) ~= "table" then return end
  for name, value in pairs(index) do
    if type(value) == "function" and not name:match("^__") then emit("entry", type_name .. ":" .. name) end
  end
end
local function walk(prefix, module)
  for name, value in pairs(module) do
    local full = prefix .. "." .. name
    if type(value) == "table" and rawget(value, "__name") then
      emit("alias", full, rawget(value, "__name"))
    elseif type(value) == "table" then
      walk(full, value)
    elseif not name:match("^__") then
      emit("entry", full)
    end
  end
end
for name, module in pairs(package.loaded) do
  if not standard[name] and rawequal(_G[name], module) then walk(name, module) end
end
for key, value in pairs(debug.getregistry()) do
  if type(key) == "string" and type(value) == "table" and rawget(value, "__name") == key and key ~= "FILE*" then
    emit("type", key)
    methods(key, value)
  end
end
io.write(table.concat(lines, "\n"), "\n")
)lua";

struct Names {
  std::set<std::string> entries;
  std::set<std::string> types;             // every type in the registry, or every documented type
  std::set<std::string> typesWithMethods;  // exposed only
  std::map<std::string, std::string> aliases;
};

Names exposedNames() {
  qztest::Sandbox sandbox;
  sandbox.writeBoot(std::string("return { run = function()\n") + kListing + "end }\n");
  const qztest::RunResult result = sandbox.run(qztest::newInstance());
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  Names names;
  std::istringstream lines(result.standardOutput);
  std::string kind, name, type;
  while (lines >> kind >> name) {
    if (kind == "entry") {
      names.entries.insert(name);
      const size_t colon = name.find(':');
      if (colon != std::string::npos) names.typesWithMethods.insert(name.substr(0, colon));
    } else if (kind == "type") {
      names.types.insert(name);
    } else if (kind == "alias" && lines >> type) {
      names.aliases[name] = type;
    }
  }
  return names;
}

// The reference's entries, with module fields that are a type's metatable written as the type's methods.
Names documentedNames(const std::map<std::string, std::string>& aliases) {
  std::ifstream in(QZ_API_REFERENCE);
  EXPECT_TRUE(in.good()) << QZ_API_REFERENCE;
  Names names;
  const std::regex entry(R"(^- `([A-Za-z_][A-Za-z0-9_.]*(?:[:.][A-Za-z_][A-Za-z0-9_]*))[(`])");
  const std::regex heading(R"(^### `([A-Za-z_][A-Za-z0-9_.]*)`)");
  std::string line;
  std::smatch match;
  while (std::getline(in, line)) {
    if (std::regex_search(line, match, heading)) {
      EXPECT_TRUE(names.types.insert(match[1]).second) << "listed twice: type " << match[1];
      continue;
    }
    if (!std::regex_search(line, match, entry)) continue;
    std::string name = match[1];
    for (const auto& [field, type] : aliases) {
      if (name.rfind(field + ".", 0) == 0) name = type + ":" + name.substr(field.size() + 1);
    }
    EXPECT_TRUE(names.entries.insert(name).second) << "listed twice: " << name;
  }
  return names;
}

std::string missingFrom(const std::set<std::string>& names, const std::set<std::string>& from) {
  std::string missing;
  for (const std::string& name : names) {
    if (from.count(name) == 0) missing += " " + name;
  }
  return missing;
}

TEST(ApiReference, ListsEveryModuleFunctionAndMethodTheScriptsSeeAndNothingElse) {
  const Names exposed = exposedNames();
  ASSERT_GT(exposed.entries.size(), 300u) << "the listing ran";
  ASSERT_EQ(exposed.aliases.count("renderer.font"), 1u);
  const Names documented = documentedNames(exposed.aliases);
  EXPECT_EQ(missingFrom(exposed.entries, documented.entries), "") << "not in docs/api.md";
  EXPECT_EQ(missingFrom(documented.entries, exposed.entries), "") << "in docs/api.md, but not seen by the scripts";
  EXPECT_EQ(missingFrom(exposed.typesWithMethods, documented.types), "") << "types without a heading";
  EXPECT_EQ(missingFrom(documented.types, exposed.types), "") << "headings of types that do not exist";
}

}  // namespace
