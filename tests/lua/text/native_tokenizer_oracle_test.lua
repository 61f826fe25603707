-- The native scanner against the plain-Lua reference tokenizer on seeded corpora: tokens and states must be
-- equal on every line the native scan does not give up on. The fallback rate per reason is printed. Each
-- form of condition pattern has a test of its own (native_tokenizer_text_before_test.lua,
-- native_tokenizer_prefix_and_after_test.lua).
local t = require("qz_test")
local here = debug.getinfo(1, "S").source:match("^@(.*/)")
local O = dofile(here .. "tokenizer_oracle.lua")
local R, C, compare, report = O.R, O.C, O.compare, O.report
local nt = native_tokenizer

local function plain_corpus(name, def, language, seed, share)
  local random = math.random
  math.randomseed(seed)
  local lines = {}
  for i = 1, 1500 do lines[i] = C.code_line(language, random, random(0, 120), share) end
  local tok, ref = nt.prepare(def), R.compile(def)
  local symbols = def.symbols or {}
  local count, fallbacks = compare(lines,
    function(line, state, stats) return nt.scan(tok, line, symbols, C.SYMBOL_PATTERN, stats or false, state) end,
    function(line, state) return R.scan(ref, line, state, C.SYMBOL_PATTERN) end, nil)
  report(name, count, fallbacks)
end

t.test("C-like corpus, ASCII", function() plain_corpus("c ascii", C.c_grammar, "c", 11, 0) end)
t.test("C-like corpus, 10% non-ASCII", function() plain_corpus("c unicode", C.c_grammar, "c", 12, 0.1) end)
t.test("Lua-like corpus, longest match", function() plain_corpus("lua", C.lua_grammar, "lua", 13, 0.1) end)

t.test("conditions on the text before the cursor, short and long lines", function()
  math.randomseed(15)
  local tok, ref = nt.prepare(C.condition_grammar), R.compile(C.condition_grammar)
  local lines = {}
  for i = 1, 300 do lines[i] = C.condition_line(math.random, math.random(0, 80)) end
  for _ = 1, 4 do lines[#lines + 1] = C.condition_line(math.random, 6000) end
  local count, fallbacks = compare(lines,
    function(line, state, stats) return nt.scan(tok, line, {}, C.SYMBOL_PATTERN, stats or false, state) end,
    function(line, state) return R.scan(ref, line, state, C.SYMBOL_PATTERN) end, nil)
  report("conditions", count, fallbacks)
end)

t.test("capture styles of long matches whose captured text also occurs before the capture", function()
  math.randomseed(18)
  local def = { patterns = {
    { pattern = "%a*c(a+b)", type = { "tail" } },
    { pattern = "(a)a(a)", type = { "outer", "first", "second" } },
    { pattern = "(%a)(%a)", type = { "one", "two" } },
  } }
  local tok, ref = nt.prepare(def), R.compile(def)
  local lines = {}
  for _, length in ipairs({ 2000, 8000 }) do
    lines[#lines + 1] = ("a"):rep(length) .. "c" .. ("a"):rep(length) .. "b"
    lines[#lines + 1] = ("ac"):rep(length // 2) .. ("a"):rep(length) .. "b"
  end
  local pieces = { "a", "aa", "c", "ab", "b", " ", "aac", "ca" }
  for i = 1, 200 do
    local parts = {}
    for k = 1, math.random(0, 20) do parts[k] = pieces[math.random(#pieces)] end
    lines[#lines + 1] = table.concat(parts)
  end
  local count, fallbacks = compare(lines,
    function(line, state, stats) return nt.scan(tok, line, {}, C.SYMBOL_PATTERN, stats or false, state) end,
    function(line, state) return R.scan(ref, line, state, C.SYMBOL_PATTERN) end, nil)
  t.eq(next(fallbacks), nil, "every line scans natively")
  report("capture styles", count, fallbacks)
end)

t.test("long lines inside an embedded language whose own regions embed a third", function()
  math.randomseed(16)
  local leaf_def = { patterns = { { pattern = "%a+", type = "leaf" } } }
  local inner_def = { patterns = { { pattern = { "%[%[", "%]%]" }, type = "bracket", syntax = "leaf" },
    { pattern = { "/%*", "%*/" }, type = "comment" } } }
  for _, rule in ipairs(C.condition_grammar.patterns) do inner_def.patterns[#inner_def.patterns + 1] = rule end
  local outer_def = { patterns = { { pattern = { "<<", ">>", "\\" }, type = "embed", syntax = "inner" } } }
  local natives = { leaf = nt.prepare(leaf_def), inner = nt.prepare(inner_def) }
  local refs = { leaf = R.compile(leaf_def), inner = R.compile(inner_def) }
  local outer, ref_outer = nt.prepare(outer_def), R.compile(outer_def)
  local lines = {}
  for i = 1, 6 do
    local parts = { "<<" }
    while #parts < 900 do
      local r = math.random(10)
      parts[#parts + 1] = r <= 3 and "[[x]]" or r == 4 and "\\>>" or r == 5 and "\\\\" or r == 6 and "/*"
        or C.condition_line(math.random, 4)
    end
    if i % 2 == 0 then parts[#parts + 1] = " >> tail */" end
    lines[i] = table.concat(parts)
  end
  local count, fallbacks = compare(lines,
    function(line, state, stats)
      return nt.scan(outer, line, {}, C.SYMBOL_PATTERN, stats or false, state,
        function(def, index) return natives[def.patterns[index].syntax] end)
    end,
    function(line, state)
      return R.scan(ref_outer, line, state, C.SYMBOL_PATTERN,
        function(grammar, index) return refs[grammar.def.patterns[index].syntax] end)
    end, "\0")
  report("nested long lines", count, fallbacks)
end)

t.test("Markdown with fenced code in other languages", function()
  math.randomseed(14)
  local lines = C.markdown_lines(math.random, 3000, 0.1)
  local natives = { markdown = nt.prepare(C.markdown_grammar), lua = nt.prepare(C.lua_grammar), c = nt.prepare(C.c_grammar) }
  local refs = { lua = R.compile(C.lua_grammar), c = R.compile(C.c_grammar) }
  local ref_markdown = R.compile(C.markdown_grammar)
  local calls = 0
  local function native_resolver(def, index)
    local language = def.patterns[index].syntax
    if language == "python" then return "no_native_grammar" end
    calls = calls + 1
    return natives[language] or false
  end
  local function reference_resolver(grammar, index)
    local language = grammar.def.patterns[index].syntax
    if language == "python" then return "no_native_grammar" end
    return refs[language] or false
  end
  local function fallback_resolver(grammar, index)
    return refs[grammar.def.patterns[index].syntax] or false
  end
  local count, fallbacks = compare(lines,
    function(line, state, stats)
      return nt.scan(natives.markdown, line, {}, C.SYMBOL_PATTERN, stats or false, state, native_resolver)
    end,
    function(line, state)
      local tokens, new_state = R.scan(ref_markdown, line, state, C.SYMBOL_PATTERN, reference_resolver)
      if tokens then return tokens, new_state end
      local _, carried = R.scan(ref_markdown, line, state, C.SYMBOL_PATTERN, fallback_resolver)
      return nil, carried
    end, "\0")
  report("markdown", count, fallbacks)
  t.truthy((fallbacks.no_native_grammar or 0) > 0, "some fences name a language without a native grammar")
  t.eq(calls, 2, "resolved tokenizers are cached")
end)
