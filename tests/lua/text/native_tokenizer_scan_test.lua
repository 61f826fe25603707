-- native_tokenizer.prepare and scan: compilation reasons, tokens, carried regions, fallbacks.
local t = require("qz_test")
local nt = native_tokenizer

local SYMBOL = "[%w_]+"

local function scan(tok, line, symbols, state, next_line)
  return nt.scan(tok, line, symbols or {}, SYMBOL, true, state, nil, next_line)
end

local function prepare(rules, extra)
  local def = extra or {}
  def.patterns = rules
  return nt.prepare(def)
end

t.test("the module table holds the five functions", function()
  local names = {}
  for k in pairs(nt) do names[#names + 1] = k end
  table.sort(names)
  t.eq(names, { "outline_error_index", "prepare", "prepare_outline", "scan", "scan_outline" })
end)

t.test("prepare answers reasons for grammars it cannot run", function()
  t.eq(nt.prepare({ patterns = {} }), "no_rules")
  t.eq(type(nt.prepare({ patterns = {} }, true)), "userdata")
  t.eq(nt.prepare(setmetatable({ patterns = {} }, {})), "syntax_callbacks")
  t.eq(nt.prepare({ patterns = setmetatable({}, {}) }), "rule_definition")
  t.eq(prepare({ { pattern = "", type = "x" } }), "rule_definition")
  t.eq(prepare({ "x" }), "rule_definition")
  t.eq(prepare({ { pattern = "a", type = "x" } }, { match = setmetatable({}, {}) }), "match_order")
  t.eq(prepare({ { pattern = "a", type = "x" } }, { line_patterns = { { pattern = "a", type = "x", consume_to = 0 } } }),
    "line_prepass")
  t.eq(type(prepare({ { pattern = "a", type = "x" } },
    { line_patterns = { { pattern = "a", type = "x", consume_to = 0, consume_line = true } } })), "userdata")
  t.raises(function() nt.prepare(5) end, "table expected")
  t.raises(function() nt.prepare({}) end, "table expected")
  local malformed = prepare({ { pattern = "[a", type = "x" } })
  t.raises(function() scan(malformed, "a") end, "malformed pattern (missing ']')")
end)

t.test("a rule without type compiles but makes the scan give up where it matches", function()
  local tok = prepare({ { pattern = "%d+" }, { pattern = "%a+", type = "word" } })
  t.eq(t.results(scan(tok, "abc")), { n = 4, { "word", "abc" }, t.results(scan(tok, "abc"))[2], nil, nil })
  local r = t.results(scan(tok, "ab 12"))
  t.eq(r[1], nil)
  t.eq(r[3], "complex_rule")
  t.eq(r[2].discarded_bytes, 3)
end)

t.test("unknown keys make a rule complex, accepted ones do not", function()
  local tok = prepare({ { pattern = "a", type = "x", whatever = 1 }, { pattern = "b", type = "y", caseless = true } })
  t.eq(scan(tok, "b"), { "y", "b" })
  t.eq(t.results(scan(tok, "ab"))[3], "context_guard")
end)

t.test("symbols restyle matched text and adjacent normal words merge", function()
  local tok = prepare({ { pattern = "%a+", type = "ident" }, { pattern = "%s+", type = "normal" } })
  t.eq(scan(tok, "if x", { ["if"] = "keyword" }), { "keyword", "if", "normal", " ", "ident", "x" })
  local plain = prepare({ { pattern = "%d+", type = "number" } })
  t.eq(scan(plain, "foo bar"), { "normal", "foo bar" })
  t.eq(t.results(scan(plain, "foo", { foo = 3 }))[3], "symbol_style")
end)

t.test("an empty line keeps even an invalid state", function()
  local tok = prepare({ { pattern = "a", type = "x" } })
  local r = t.results(scan(tok, "", {}, 99))
  t.eq(r[1], {})
  t.eq(r[4], 99)
  t.eq(r[2].cursor_steps, 0)
end)

t.test("without statistics a fallback is a single nil", function()
  local tok = prepare({ { pattern = "a*", type = "x" } })
  t.eq(t.results(nt.scan(tok, "b", {}, SYMBOL, false)), { n = 1 })
end)

t.test("a start pattern that can match empty gives empty_match at the cursor", function()
  local tok = prepare({ { pattern = "b", type = "b" }, { pattern = "%d*", type = "n" } })
  local r = t.results(scan(tok, "bbx"))
  t.eq(r[3], "empty_match")
  t.eq(r[2].discarded_bytes, 2)
end)

local strings = prepare({
  { pattern = { '"', '"', "\\" }, type = "string" },
  { pattern = { "/%*", "%*/" }, type = "comment", delim_type = "delim" },
  { pattern = "%a+", type = "ident" },
})

t.test("a region left open carries its rule index to the next line", function()
  local r = t.results(scan(strings, 'x "abc'))
  t.eq(r[1], { "ident", "x", "normal", " ", "string", '"abc' })
  t.eq(r[4], 1)
  r = t.results(scan(strings, "still inside", {}, 1))
  t.eq(r[1], { "string", "still inside" })
  t.eq(r[4], 1)
  t.eq(r[2].cursor_steps, 1)
  r = t.results(scan(strings, 'end" y', {}, 1))
  t.eq(r[1], { "string", 'end"', "normal", " ", "ident", "y" })
  t.eq(r[4], nil)
end)

t.test("escapes: an odd run hides the closing delimiter, an even one does not", function()
  t.eq(scan(strings, '"a\\"b" c'), { "string", '"a\\"b"', "normal", " ", "ident", "c" })
  t.eq(scan(strings, '"a\\\\" c'), { "string", '"a\\\\"', "normal", " ", "ident", "c" })
end)

t.test("a delimiter style styles both delimiters", function()
  t.eq(scan(strings, "/* c */x"), { "delim", "/*", "comment", " c ", "delim", "*/", "ident", "x" })
  local r = t.results(scan(strings, "a */b", {}, 2))
  t.eq(r[1], { "comment", "a ", "delim", "*/", "ident", "b" })
end)

t.test("an invalid carried state gives continuation", function()
  for _, state in ipairs({ 3, 99, 0, "1", 1.5 }) do
    local r = t.results(scan(strings, "x", {}, state))
    t.eq(r[3], "continuation", tostring(state))
    t.eq(r[2].discarded_bytes, 0)
  end
end)

t.test("capture styles style the captures and the rest", function()
  local tok = prepare({ { pattern = "(%a+)(%s*)(=)", type = { "name", "space", "op" } } })
  t.eq(scan(tok, "x = 1"), { "name", "x", "space", " ", "op", "=", "normal", " 1" })
  local one = prepare({ { pattern = "fn%s+(%a+)", type = { "fname" } } })
  t.eq(scan(one, "fn go"), { "normal", "fn ", "fname", "go" })
end)

t.test("strategies choose among the candidates", function()
  local rules = { { pattern = "%a", type = "short", priority = 1 }, { pattern = "%a+", type = "long", priority = "3" } }
  t.eq(scan(prepare(rules), "ab"), { "short", "ab" })
  t.eq(scan(prepare(rules, { match = { strategy = "longest" } }), "ab"), { "long", "ab" })
  t.eq(scan(prepare(rules, { match = { strategy = "priority_first" } }), "ab"), { "long", "ab" })
  local nan = { { pattern = "%a", type = "short", priority = 0 / 0 }, { pattern = "%a+", type = "long", priority = 0 } }
  t.eq(scan(prepare(nan, { match = { strategy = "priority_longest" } }), "ab"), { "long", "ab" })
end)

t.test("context conditions filter rules", function()
  local tok = prepare({
    { pattern = "%a+", type = "call", followed_by = "%(" },
    { pattern = "%a+", type = "field", preceded_by = "%." },
    { pattern = "%a+", type = "first", line_start = true },
    { pattern = "%a+", type = "word", not_preceded_by = "@" },
    { pattern = "%a+", type = "tag" },
  })
  t.eq(scan(tok, "f( a.b c @d"), { "call", "f", "normal", "( ", "word", "a", "normal", ".", "field", "b",
    "normal", " ", "word", "c", "normal", " @", "tag", "d" })
  t.eq(scan(tok, "x"), { "first", "x" })
end)

t.test("line_prefix and next_line conditions", function()
  local tok = prepare({
    { pattern = "%a+", type = "heading", next_line = "^===" },
    { pattern = "%a+", type = "item", line_prefix = "%s*%-%s*" },
    { pattern = "%a+", type = "word" },
  })
  t.eq(scan(tok, "Title", {}, nil, "====="), { "heading", "Title" })
  t.eq(scan(tok, "Title", {}, nil, "text"), { "word", "Title" })
  t.eq(scan(tok, "  - x y"), { "normal", "  - ", "item", "x", "normal", " ", "word", "y" })
  t.eq(t.results(scan(tok, "a", {}, nil, 5))[3], "context_guard")
end)

t.test("stop patterns cut the match", function()
  local tok = prepare({ { pattern = "[%w%.]+", type = "path", stop_on = "%.%." }, { pattern = "%.+", type = "dots" } })
  t.eq(scan(tok, "ab..c"), { "path", "ab", "dots", "..", "path", "c" })
end)

t.test("an empty stop_on falls back to terminators", function()
  local tok = prepare({ { pattern = "[%w%.]+", type = "path", stop_on = "", terminators = "%.%." } })
  t.eq(scan(tok, "ab..c"), { "path", "ab", "normal", ".", "path", ".c" })
end)

t.test("a table pattern with an empty end is not a delimited rule", function()
  local tok = prepare({ { pattern = { "<", "" }, type = "tag" }, { pattern = "%a+", type = "word" } })
  t.eq(t.results(scan(tok, "a<b"))[3], "complex_rule")
  t.eq(scan(tok, "ab"), { "word", "ab" })
end)

t.test("a consume_line line pattern styles the match and leaves the rest normal", function()
  local tok = prepare({ { pattern = "%a+", type = "word" } },
    { line_patterns = { { pattern = "#+", type = "heading", consume_line = true } } })
  t.eq(scan(tok, "## Title"), { "heading", "##", "normal", " Title" })
  local pieces = prepare({ { pattern = "%a+", type = "word" } },
    { line_patterns = { { pattern = "(%s*)()>()", type = { "indent", "quote" }, consume_to = 2 } } })
  t.eq(scan(pieces, "  > hi"), { "indent", "  ", "quote", ">", "normal", " ", "word", "hi" })
end)

t.test("post-symbols tables split matched text into words", function()
  local tok = prepare({ { pattern = "@%S+", type = "decorator", post_symbols = "decorators" } },
    { decorators = { override = "builtin" } })
  t.eq(scan(tok, "@x.override"), { "decorator", "@x.", "builtin", "override" })
  local bad = prepare({ { pattern = "@%S+", type = "decorator", post_symbols = true } },
    { post_symbols = setmetatable({ a = "b" }, {}) })
  t.eq(t.results(scan(bad, "@x"))[3], "symbol_callbacks")
  t.eq(t.results(scan(tok, "x", setmetatable({}, {})))[3], "symbol_callbacks")
end)

t.test("combining marks, regional indicators and joiners stay with the token before them", function()
  local words = "[%w_\128-\255]+"
  local function scanWords(tok, line) return nt.scan(tok, line, {}, words, false, nil) end
  local tok = prepare({ { pattern = "%a+", type = "word" } })
  t.eq(scanWords(tok, "cafe\u{301} x"), { "word", "cafe\u{301}", "normal", " ", "word", "x" })
  t.eq(scanWords(tok, "e\u{301}\u{302}!"), { "word", "e\u{301}\u{302}", "normal", "!" })
  local flags = prepare({ { pattern = "\u{1F1FA}", type = "flag" } })
  t.eq(scanWords(flags, "\u{1F1FA}\u{1F1F8}"), { "flag", "\u{1F1FA}\u{1F1F8}" })
  local joined = prepare({ { pattern = "x", type = "x" } })
  t.eq(scanWords(joined, "x\u{200D}y"), { "x", "x\u{200D}", "normal", "y" })
  t.eq(scanWords(tok, "\u{301} a"), { "normal", "\u{301} ", "word", "a" })
end)

t.test("statistics count the steps", function()
  local tok = prepare({ { pattern = "%a+", type = "w" }, { pattern = "%d+", type = "n" } })
  local r = t.results(scan(tok, "ab 12"))
  t.eq(r[2], { cursor_steps = 3, pattern_attempts = 2, pattern_searches = 2, pattern_matches = 2, fallbacks = 1,
    symbol_fallbacks = 0 })
end)

t.test("a finalised tokenizer cannot be used again", function()
  local tok = prepare({ { pattern = "a", type = "x" } })
  local gc = getmetatable(tok).__gc
  gc(tok)
  t.eq(getmetatable(tok), nil)
  t.raises(function() scan(tok, "a") end, "Qz.PreparedTokenizer expected")
  t.raises(function() gc(tok) end, "Qz.PreparedTokenizer expected")
end)

t.test("one-byte tokens keep zero and high bytes", function()
  local tok = prepare({ { pattern = "%z", type = "zero" }, { pattern = "\255", type = "high" } })
  t.eq(scan(tok, "\0a\255"), { "zero", "\0", "normal", "a", "high", "\255" })
end)

t.test("conditions on the text before the cursor give the same tokens on a line of 300 KB", function()
  local tok = prepare({ { pattern = "%u", type = "first", line_prefix = "[%a ]*" },
    { pattern = "%a+", type = "word", preceded_by = "%s+" } })
  local n = 100000
  local tokens = assert(scan(tok, ("ab "):rep(n)))
  t.eq(#tokens, 2 * (2 * n - 1))
  t.eq({ tokens[1], tokens[2], tokens[3], tokens[4], tokens[#tokens - 1], tokens[#tokens] },
    { "normal", "ab ", "word", "ab", "normal", " " })
  local capitals = assert(scan(tok, ("ab "):rep(n) .. "X.Y"))
  t.eq({ table.unpack(capitals, #capitals - 3) }, { "first", "X", "normal", ".Y" })
end)

t.test("a next-line condition gets one answer all along a line of 300 KB followed by another", function()
  local tok = prepare({ { pattern = "%a+", type = "marked", next_line = "%d;" }, { pattern = "%a+", type = "word" } })
  local n = 100000
  local line = ("ab "):rep(n)
  for _, case in ipairs({ { line, "word" }, { line .. "1;", "marked" } }) do
    local tokens = assert(scan(tok, line, {}, nil, case[1]))
    t.eq(#tokens, 4 * n)
    t.eq({ tokens[1], tokens[2], tokens[#tokens - 3], tokens[#tokens - 1] }, { case[2], "ab", case[2], "normal" })
  end
end)

t.test("a region end found far ahead is searched once while its rule is tried at every position", function()
  local tok = prepare({ { pattern = { "/%*", "%*/" }, type = "comment", followed_by = "x" } })
  local line = ("/* "):rep(100000) .. "*/"
  t.eq(scan(tok, line), { "normal", line })
  t.eq(scan(tok, line .. "x"), { "comment", line, "normal", "x" })
end)
