// Native line scanning against the plain-Lua reference tokenizer on the test corpora (ASCII code, about 10%
// non-ASCII, long lines, Markdown with fences), one very long line through a grammar with text-before
// conditions and nested languages (against the same grammar without the conditions, and at two lengths), one
// line through a condition of each form at two lengths, one match styled by a long capture at two lengths,
// text.probe_file over growing inputs and text.split_lines.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "host/lua_api.h"
#include "ratio_reporter.h"
#include "text/native_tokenizer_lua.h"
#include "text/text_lua.h"
#include "text/text_probe.h"

namespace {

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};
using LuaState = std::unique_ptr<lua_State, LuaStateCloser>;

// Builds a corpus and returns a state whose global `pass` scans it once with the named engine.
constexpr const char* kSetup = R"lua(
local dir, corpus, engine, line_length, line_count = ...
local R = dofile(dir .. "/reference_tokenizer.lua")
local C = dofile(dir .. "/tokenizer_corpus.lua")
math.randomseed(7)
local lines, bytes = {}, 0
local def, language, share = C.c_grammar, "c", 0
if corpus == "unicode" then share = 0.1 end
if corpus == "lua" then def, language, share = C.lua_grammar, "lua", 0.1 end
if corpus == "markdown" then
  lines = C.markdown_lines(math.random, line_count, 0.1)
else
  for i = 1, line_count do lines[i] = C.code_line(language, math.random, line_length, share, line_length > 1000) end
end
for _, line in ipairs(lines) do bytes = bytes + #line end
local symbols, pattern = def.symbols or {}, C.SYMBOL_PATTERN
if corpus == "markdown" then
  local natives = { lua = native_tokenizer.prepare(C.lua_grammar), c = native_tokenizer.prepare(C.c_grammar) }
  local refs = { lua = R.compile(C.lua_grammar), c = R.compile(C.c_grammar) }
  local tok, ref = native_tokenizer.prepare(C.markdown_grammar), R.compile(C.markdown_grammar)
  local function native_resolve(d, i) return natives[d.patterns[i].syntax] or false end
  local function ref_resolve(g, i) return refs[g.def.patterns[i].syntax] or false end
  if engine == "native" then
    pass = function()
      local state = "\0"
      for _, line in ipairs(lines) do
        local tokens, _, _, s = native_tokenizer.scan(tok, line, symbols, pattern, false, state, native_resolve)
        state = tokens and s or "\0"
      end
    end
  else
    pass = function()
      local state = "\0"
      for _, line in ipairs(lines) do
        local tokens, s = R.scan(ref, line, state, pattern, ref_resolve)
        state = tokens and s or "\0"
      end
    end
  end
else
  local tok, ref = native_tokenizer.prepare(def), R.compile(def)
  if engine == "native" then
    pass = function()
      local state
      for _, line in ipairs(lines) do
        local tokens, _, _, s = native_tokenizer.scan(tok, line, symbols, pattern, false, state)
        state = tokens and s or nil
      end
    end
  else
    pass = function()
      local state
      for _, line in ipairs(lines) do
        local tokens, s = R.scan(ref, line, state, pattern)
        state = tokens and s or nil
      end
    end
  end
end
return bytes, #lines
)lua";

LuaState newState() {
  LuaState state(luaL_newstate());
  luaL_openlibs(state.get());
  luaL_requiref(state.get(), "native_tokenizer", luaopen_native_tokenizer, 1);
  luaL_requiref(state.get(), "text", luaopen_text, 1);
  lua_settop(state.get(), 0);
  return state;
}

void scanCorpus(benchmark::State& state, const char* corpus, const char* engine, int lineLength, int lineCount) {
  LuaState lua = newState();
  lua_State* L = lua.get();
  if (luaL_loadstring(L, kSetup) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  lua_pushstring(L, QZ_TOKENIZER_CORPUS_DIR);
  lua_pushstring(L, corpus);
  lua_pushstring(L, engine);
  lua_pushinteger(L, lineLength);
  lua_pushinteger(L, lineCount);
  if (lua_pcall(L, 5, 2, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  const lua_Integer bytes = lua_tointeger(L, 1);
  const lua_Integer lines = lua_tointeger(L, 2);
  for (auto _ : state) {
    lua_getglobal(L, "pass");
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["lines_per_second"] =
      benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsIterationInvariantRate);
}

void registerScans() {
  struct Corpus {
    const char* name;
    int lineLength;
    int lineCount;
    bool reference;
  };
  const Corpus corpora[] = {
      {"ascii", 80, 2000, true},   {"unicode", 80, 2000, true},   {"lua", 80, 2000, true},
      {"markdown", 0, 2000, true}, {"ascii", 10000, 16, true},    {"unicode", 10000, 16, true},
      {"ascii", 100000, 2, false}, {"unicode", 100000, 2, false},
  };
  for (const Corpus& corpus : corpora) {
    for (const char* engine : {"native", "reference"}) {
      if (!corpus.reference && std::string(engine) == "reference") continue;
      const std::string name =
          std::string("Scan/") + corpus.name + "/" + std::to_string(corpus.lineLength) + "/" + engine;
      benchmark::RegisterBenchmark(name.c_str(), scanCorpus, corpus.name, engine, corpus.lineLength, corpus.lineCount)
          ->Unit(benchmark::kMillisecond)
          ->Repetitions(5)
          ->ReportAggregatesOnly(true);
    }
  }
}

// One line of words (`line_length` bytes), followed by the same line, inside an embedded language whose
// bracketed spans embed a third; the word rules carry preceded-by, line-prefix and next-line conditions unless
// `conditions` is false.
constexpr const char* kLongLineSetup = R"lua(
local line_length, conditions = ...
local function words(extra)
  local rules = {
    { pattern = { "%[%[", "%]%]" }, type = "string", syntax = "leaf" },
    { pattern = "%a+", type = "marked", next_line = "%d;" },
    { pattern = "%u%a*", type = "title", line_prefix = "<<.*" },
    { pattern = "%a+", type = "field", preceded_by = "%.%s*" },
    { pattern = "%a+", type = "word", preceded_by = "[%s,]+" },
    { pattern = "%a+", type = "symbol" },
    { pattern = "[%.,]", type = "operator" },
  }
  if not conditions then
    for _, rule in ipairs(rules) do rule.line_prefix, rule.preceded_by, rule.next_line = nil, nil, nil end
  end
  for _, rule in ipairs(extra or {}) do table.insert(rules, 1, rule) end
  return native_tokenizer.prepare({ patterns = rules })
end
local leaf = native_tokenizer.prepare({ patterns = { { pattern = "%a+", type = "leaf" } } })
local inner = words()
local outer = words({ { pattern = { "<<", "%s*>>" }, type = "embed", syntax = "inner" } })
local piece = "alpha beta.gamma, Delta [[x]] epsilon. zeta "
local line = "<<" .. piece:rep(line_length // #piece + 1):sub(1, line_length - 2)
local function resolve(definition, index)
  return definition.patterns[index].syntax == "inner" and inner or leaf
end
pass = function()
  local tokens = native_tokenizer.scan(outer, line, {}, "[%w_]+", false, "\0", resolve, line)
  assert(tokens, "the line scans natively")
end
)lua";

void scanLongLine(benchmark::State& state, bool conditions) {
  LuaState lua = newState();
  lua_State* L = lua.get();
  if (luaL_loadstring(L, kLongLineSetup) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  lua_pushinteger(L, state.range(0));
  lua_pushboolean(L, conditions);
  if (lua_pcall(L, 2, 0, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  for (auto _ : state) {
    lua_getglobal(L, "pass");
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
    lua_gc(L, LUA_GCCOLLECT);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(scanLongLine, conditions, true)
    ->Arg(256 << 10)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5);
BENCHMARK_CAPTURE(scanLongLine, plain, false)
    ->Arg(256 << 10)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5);

// One line through a word rule with one condition of each form that the walk over the line decides: a
// capture, a frontier, a balance, a pattern of 70 items; two conditions on the text after the word that read
// to the line's end; and patterns that repeat a capture, which the matcher decides where the walk says they
// may match: one searched in the text before the cursor from the starts that a walk backwards admits, and
// forms whose ".*" or ".-" let a match reach anywhere, which give up with "context_guard" past a bound of
// work per line. The line is ("ab "):rep(n), or words that never repeat for the back-references (so that
// their matches are far apart). The same rule without a condition gives the scan's own growth.
struct ConditionForm {
  const char* name;
  const char* key;
  const char* pattern;  // a Lua expression
  bool distinctWords;   // the line is made of words that never repeat
};

constexpr ConditionForm kConditionForms[] = {
    {"no_condition", "", "nil", false},
    {"captured_spaces", "preceded_by", R"lua("(%s+)")lua", false},
    {"frontier", "preceded_by", R"lua("%f[%s]%s+")lua", false},
    {"balance_prefix", "line_prefix", R"lua("[%w ]*%b()")lua", false},
    {"long_prefix", "line_prefix", R"lua(("[%w ]"):rep(68) .. "%s?[%w ]*")lua", false},
    {"followed_by", "followed_by", R"lua(".*;")lua", false},
    {"not_followed_by", "not_followed_by", R"lua("[%s%w]*$")lua", false},
    {"back_reference", "preceded_by", R"lua("(%a)%a%s%1")lua", true},
    {"long_back_reference", "preceded_by", R"lua("(%a+)%s%1%s")lua", true},
    {"anchored_back_reference", "preceded_by", R"lua("^(%a+).*%1%s")lua", true},
    {"back_reference_prefix", "line_prefix", R"lua("(%a*).-%1%s")lua", true},
    {"back_reference_after", "followed_by", R"lua("%s(%a+).-%s%1%s")lua", true},
};

constexpr const char* kConditionFormSetup = R"lua(
local key, pattern, line_length, distinct_words = ...
local rule = { pattern = "%a+", type = "hit" }
if key ~= "" then rule[key] = load("return " .. pattern)() end
local tok = native_tokenizer.prepare({ patterns = { rule, { pattern = "%a+", type = "word" } } })
local line = ("ab "):rep(line_length // 3)
if distinct_words then
  local parts, size, n = {}, 0, 0
  while size < line_length do
    local letters, k = {}, n
    repeat letters[#letters + 1], k = string.char(97 + k % 26), k // 26 until k == 0
    parts[#parts + 1] = "w" .. table.concat(letters) .. " "
    size, n = size + #parts[#parts], n + 1
  end
  line = table.concat(parts):sub(1, line_length)
end
pass = function()
  local tokens, _, reason = native_tokenizer.scan(tok, line, {}, "[%w_]+", true)
  assert(tokens or reason == "context_guard", "the line scans natively or gives up at the bound")
end
)lua";

void scanConditionForm(benchmark::State& state, const ConditionForm& form) {
  LuaState lua = newState();
  lua_State* L = lua.get();
  if (luaL_loadstring(L, kConditionFormSetup) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  lua_pushstring(L, form.key);
  lua_pushstring(L, form.pattern);
  lua_pushinteger(L, state.range(0));
  lua_pushboolean(L, form.distinctWords);
  if (lua_pcall(L, 4, 0, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  for (auto _ : state) {
    lua_getglobal(L, "pass");
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
    lua_gc(L, LUA_GCCOLLECT);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void registerConditionForms() {
  for (const ConditionForm& form : kConditionForms) {
    const std::string name = std::string("ConditionForm/") + form.name;
    benchmark::RegisterBenchmark(name.c_str(), scanConditionForm, form)
        ->Arg(30 << 10)
        ->Arg(120 << 10)
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(5);
  }
}

// One match of a rule with a capture style whose captured text, n bytes long, is sought in the match from its
// start: ("a"):rep(n) .. "c" .. ("a"):rep(n) .. "b" through "%a*c(a+b)".
constexpr const char* kCaptureStyleSetup = R"lua(
local length = ...
local tok = native_tokenizer.prepare({ patterns = { { pattern = "%a*c(a+b)", type = { "tail" } } } })
local line = ("a"):rep(length) .. "c" .. ("a"):rep(length) .. "b"
pass = function()
  assert(native_tokenizer.scan(tok, line, {}, "[%w_]+", false), "the line scans natively")
end
)lua";

void scanCaptureStyles(benchmark::State& state) {
  LuaState lua = newState();
  lua_State* L = lua.get();
  if (luaL_loadstring(L, kCaptureStyleSetup) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  lua_pushinteger(L, state.range(0));
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  for (auto _ : state) {
    lua_getglobal(L, "pass");
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  }
  state.SetBytesProcessed(state.iterations() * 2 * state.range(0));
}
BENCHMARK(scanCaptureStyles)->Arg(30 << 10)->Arg(120 << 10)->Unit(benchmark::kMillisecond)->Repetitions(5);

std::string sampleText(size_t size) {
  std::string text;
  text.reserve(size);
  while (text.size() < size) text += "local value = compute(alpha, beta) -- caf\xC3\xA9\n";
  text.resize(size);
  return text;
}

void ProbeFile(benchmark::State& state) {
  const std::string text = sampleText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(probeText(text, kDefaultProbeSample));
}
BENCHMARK(ProbeFile)->Arg(16 << 10)->Arg(1 << 20)->Arg(16 << 20)->Arg(200 << 20)->Unit(benchmark::kMicrosecond);

void SplitLines(benchmark::State& state) {
  LuaState lua = newState();
  lua_State* L = lua.get();
  const std::string text = sampleText(50u << 20);
  for (auto _ : state) {
    lua_getglobal(L, "text");
    lua_getfield(L, -1, "split_lines");
    lua_pushlstring(L, text.data(), text.size());
    lua_call(L, 1, 2);
    lua_settop(L, 0);
    lua_gc(L, LUA_GCCOLLECT);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(SplitLines)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  registerScans();
  registerConditionForms();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.printRatio("C-like 80-byte lines, reference / native", "Scan/ascii/80/reference/median",
                      "Scan/ascii/80/native/median", 25.0, "ms");
  reporter.printRatio("1 MB line, with / without conditions", "scanLongLine/conditions/1048576",
                      "scanLongLine/plain/1048576", 3.0, "ms");
  reporter.printRatio("with conditions, 1 MB / 256 KB line", "scanLongLine/conditions/1048576",
                      "scanLongLine/conditions/262144", 5.0, "ms");
  for (const ConditionForm& form : kConditionForms) {
    const std::string name = std::string("ConditionForm/") + form.name;
    const std::string label = std::string(form.name) + ", 120 KB / 30 KB line";
    reporter.printRatio(label.c_str(), (name + "/122880").c_str(), (name + "/30720").c_str(), 5.0, "ms");
  }
  reporter.printRatio("capture styles, 120 KB / 30 KB capture", "scanCaptureStyles/122880", "scanCaptureStyles/30720",
                      5.0, "ms");
  benchmark::Shutdown();
  return 0;
}
