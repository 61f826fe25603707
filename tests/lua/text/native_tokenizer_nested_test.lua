-- The nested form of native_tokenizer.scan: language states, the resolver and its cache.
local t = require("qz_test")
local nt = native_tokenizer

local SYMBOL = "[%w_]+"

local code = nt.prepare({
  patterns = {
    { pattern = "%d+", type = "number" },
    { pattern = { '"', '"', "\\" }, type = "string" },
    { pattern = "%a+", type = "ident" },
    { pattern = "%$%S*", type = "var" },
  },
  symbols = { ["if"] = "keyword" },
})

local markdown_def = {
  patterns = {
    { pattern = { "```%a*", "```" }, type = "fence", syntax = "code" },
    { pattern = { "<!%-%-", "%-%->" }, type = "comment" },
    { pattern = "#+", type = "heading" },
  },
}
-- A fresh tokenizer per test: resolver answers are cached in the tokenizer.
local function markdown() return nt.prepare(markdown_def) end

local function resolver_counting(calls, answer)
  return function(def, index)
    calls[#calls + 1] = index
    t.eq(def, markdown_def)
    return answer
  end
end

local function scan(tok, line, state, resolver)
  return t.results(nt.scan(tok, line, {}, SYMBOL, true, state, resolver))
end

t.test("a state of one zero byte scans the outermost language", function()
  local md = markdown()
  local r = scan(md, "# hi", "\0", resolver_counting({}, code))
  t.eq(r[1], { "heading", "#", "normal", " hi" })
  t.eq(r[4], "\0")
end)

t.test("a fence opens the embedded language until its closing delimiter", function()
  local md = markdown()
  local calls = {}
  local resolve = resolver_counting(calls, code)
  local r = scan(md, "```lua", "\0", resolve)
  t.eq(r[1], { "fence", "```lua" })
  t.eq(r[4], "\1")
  r = scan(md, 'if "a', r[4], resolve)
  t.eq(r[1], { "keyword", "if", "normal", " ", "string", '"a' })
  t.eq(r[4], "\1\2")
  r = scan(md, 'b" 12', r[4], resolve)
  t.eq(r[1], { "string", 'b"', "normal", " ", "number", "12" })
  t.eq(r[4], "\1\0")
  r = scan(md, "```", r[4], resolve)
  t.eq(r[1], { "fence", "```" })
  t.eq(r[4], "\0")
  t.eq(calls, { 1 })
end)

t.test("a closing fence also closes a region left open inside the embedded language", function()
  local md = markdown()
  local r = scan(md, '```', "\1\2", resolver_counting({}, code))
  t.eq(r[1], { "fence", "```" })
  t.eq(r[4], "\0")
end)

t.test("a resolver answering false makes the fence a plain region", function()
  local md = markdown()
  local calls = {}
  local resolve = resolver_counting(calls, false)
  local r = scan(md, "```x", "\0", resolve)
  t.eq(r[4], "\1")
  r = scan(md, "if 1", r[4], resolve)
  t.eq(r[1], { "fence", "if 1" })
  r = scan(md, "``` # x", r[4], resolve)
  t.eq(r[1], { "fence", "```", "normal", " ", "heading", "#", "normal", " x" })
  t.eq(calls, { 1 })
end)

t.test("a reason from the resolver is the fallback reason and is not cached", function()
  local md = markdown()
  local calls = {}
  local resolve = resolver_counting(calls, "no_language")
  t.eq(scan(md, "```x", "\0", resolve)[3], "no_language")
  t.eq(scan(md, "```x", "\0", resolve)[3], "no_language")
  t.eq(#calls, 2)
end)

t.test("a resolver answer of the wrong type raises", function()
  local fresh = nt.prepare(markdown_def)
  t.raises(function() scan(fresh, "```x", "\0", function() return nil end) end, "Qz.PreparedTokenizer expected")
  t.raises(function() scan(fresh, "```x", "\0", function() return 3 end) end, "Qz.PreparedTokenizer expected")
end)

t.test("the nested form checks its state and resolver", function()
  local md = markdown()
  t.raises(function() nt.scan(md, "x", {}, SYMBOL, true, "", function() end) end,
    "expected nonempty language state")
  t.raises(function() nt.scan(md, "x", {}, SYMBOL, true, 1, function() end) end, "string expected")
  t.raises(function() nt.scan(md, "x", {}, SYMBOL, true, "\0", 5) end, "function expected")
  t.eq(scan(md, "x", "\9", function() return false end)[3], "continuation")
end)

t.test("a token match running over the closing fence hides it, a region body does not", function()
  local md = markdown()
  local r = scan(md, "x $a``` y", "\1", resolver_counting({}, code))
  t.eq(r[1], { "ident", "x", "normal", " ", "var", "$a```", "normal", " ", "ident", "y" })
  t.eq(r[4], "\1")
  r = scan(md, 'x "a', "\1", resolver_counting({}, code))
  t.eq(r[4], "\1\2")
  r = scan(md, 'b```', r[4], resolver_counting({}, code))
  t.eq(r[1], { "string", "b", "fence", "```" })
  t.eq(r[4], "\0")
end)

t.test("an empty line keeps the state", function()
  local md = markdown()
  local r = scan(md, "", "\1\2", resolver_counting({}, code))
  t.eq(r[1], {})
  t.eq(r[4], "\1\2")
end)

t.test("a delimited best rule above 255 cannot be carried", function()
  local rules = {}
  for i = 1, 255 do rules[i] = { pattern = "z" .. i .. "z", type = "x" } end
  rules[256] = { pattern = { "<", ">" }, type = "tag" }
  local big = nt.prepare({ patterns = rules })
  t.eq(scan(big, "<a>", "\0", function() return false end)[3], "continuation")
end)

t.test("a resolver that finalises the running tokenizer does not break the scan", function()
  local outer = nt.prepare(markdown_def)
  local r = scan(outer, "```x", "\0", function()
    getmetatable(outer).__gc(outer)
    collectgarbage()
    return code
  end)
  t.eq(r[1], { "fence", "```x" })
  t.raises(function() scan(outer, "x", "\0", function() return code end) end, "Qz.PreparedTokenizer expected")
end)

t.test("a line that opens and closes an embedded language many times scans in full", function()
  local inner = nt.prepare({ patterns = { { pattern = "%a+", type = "w" } } })
  local outer = nt.prepare({ patterns = { { pattern = { "<", ">" }, type = "f", syntax = "x" } } })
  -- more levels in turn than the Lua stack has slots for, had each one kept its slot
  local line = string.rep("<>", 550000)
  local r = scan(outer, line, "\0", function() return inner end)
  t.eq(r[1], { "f", line })
  t.eq(r[4], "\0")
end)

t.test("a level's symbols table with a metatable gives symbol_callbacks", function()
  local inner = nt.prepare({ patterns = { { pattern = "%a+", type = "w" } }, symbols = setmetatable({}, {}) })
  t.eq(scan(nt.prepare(markdown_def), "```x", "\0", function() return inner end)[3], "symbol_callbacks")
end)

t.test("tokenizers that only the scan holds survive collections made by the resolver", function()
  local outer = nt.prepare(markdown_def)
  debug.setuservalue(outer, nil, 2)  -- no cache: each answer is referenced by the scan alone
  local r = scan(outer, "```x a``` ```x b``` ```x c```", "\0", function()
    collectgarbage()
    collectgarbage()
    return nt.prepare({ patterns = { { pattern = "%a+", type = "ident" } } })
  end)
  local tokens = {}
  for _, word in ipairs({ "a", "b", "c" }) do
    for _, token in ipairs({ "fence", "```x", "normal", " ", "ident", word, "fence", "```", "normal", " " }) do
      tokens[#tokens + 1] = token
    end
  end
  tokens[#tokens], tokens[#tokens - 1] = nil, nil
  t.eq(r[1], tokens)
end)

t.test("a scan run by the resolver with another symbol pattern leaves the running scan's pattern alone", function()
  local outer = nt.prepare({ patterns = { { pattern = { "```x", "```" }, type = "fence", syntax = "code" } } })
  local inner_tokens
  local r = t.results(nt.scan(outer, "ab ```x cd", {}, "%a", true, "\0", function()
    inner_tokens = nt.scan(outer, "ef", {}, "%a+", false)
    return code
  end))
  t.eq(inner_tokens, { "normal", "ef" })
  t.eq(r[1], { "normal", "ab ", "fence", "```x", "normal", " ", "ident", "cd" })
end)

t.test("an outer end searched once stays known while inner levels open and close along 200 KB", function()
  local leaf = nt.prepare({ patterns = { { pattern = "%a+", type = "leaf" } } })
  local inner = nt.prepare({ patterns = { { pattern = { "%[%[", "%]%]" }, type = "bracket", syntax = "leaf" } } })
  local outer = nt.prepare({ patterns = { { pattern = { "<<", "%s*>>" }, type = "embed", syntax = "inner" } } })
  local function resolve(def, index) return def.patterns[index].syntax == "inner" and inner or leaf end
  local n = 40000
  for _, ending in ipairs({ "", " >>" }) do
    local tokens, _, _, state = nt.scan(outer, "<<" .. ("[[x]]"):rep(n) .. ending, {}, SYMBOL, false, "\0", resolve)
    t.eq({ tokens[1], tokens[2], tokens[3], tokens[4], tokens[5], tokens[6] },
      { "embed", "<<", "bracket", "[[", "leaf", "x" })
    t.eq(#tokens, 2 + 2 * (2 * n + 1) + (ending == "" and 0 or 2))
    t.eq(state, ending == "" and "\1\0" or "\0")
  end
end)

t.test("an inner region whose end lies at the line's end is searched once while its level comes and goes", function()
  local inner = nt.prepare({ patterns = { { pattern = { "/%*", "%*/" }, type = "comment" } } })
  local outer = nt.prepare({ patterns = { { pattern = { "<<", ">>" }, type = "embed", syntax = "inner" } } })
  local n = 40000
  local tokens = nt.scan(outer, ("<</*>> "):rep(n) .. "*/", {}, SYMBOL, false, "\0", function() return inner end)
  t.eq(#tokens, 2 * (4 * n))
  t.eq({ table.unpack(tokens, 1, 8) }, { "embed", "<<", "comment", "/*", "embed", ">>", "normal", " " })
  t.eq({ table.unpack(tokens, #tokens - 1) }, { "normal", " */" })
end)

t.test("an outer end is found where an inner rule stops the cursor inside an escaped one it passed over", function()
  local inner = nt.prepare({ patterns = { { pattern = "\\>", type = "escaped" } } })
  local outer = nt.prepare({ patterns = { { pattern = { "<<", ">>", "\\" }, type = "embed", syntax = "inner" } } })
  local r = scan(outer, "<<a\\>>> b", "\0", function() return inner end)
  t.eq(r[1], { "embed", "<<", "normal", "a", "escaped", "\\>", "embed", ">>", "normal", " b" })
  t.eq(r[4], "\0")
end)

local function self_embedding()
  local tokenizer = nt.prepare({ patterns = { { pattern = { "<a ", ">" }, type = "tag", syntax = "self" } } })
  return tokenizer, function() return tokenizer end
end

t.test("a line nested more than 500,000 languages deep falls back with continuation, one level less scans", function()
  local tokenizer, resolve = self_embedding()
  local most = 500000
  local r = scan(tokenizer, ("<a "):rep(most - 1), "\0", resolve)
  t.eq(r[1], { "tag", ("<a "):rep(most - 1) })
  t.eq(r[4], ("\1"):rep(most - 1))
  r = scan(tokenizer, ("<a "):rep(most), "\0", resolve)
  t.eq({ r[1], r[3], r[2].discarded_bytes }, { nil, "continuation", 3 * (most - 1) })
  -- the same depths carried in from the line before
  r = scan(tokenizer, "x>", ("\1"):rep(most - 1), resolve)
  t.eq(r[1], { "normal", "x", "tag", ">" })
  t.eq(r[4], ("\1"):rep(most - 2) .. "\0")
  r = scan(tokenizer, "x", ("\1"):rep(most), resolve)
  t.eq({ r[1], r[3], r[2].discarded_bytes }, { nil, "continuation", 0 })
end)

t.test("a scan called with most of the stack in use falls back where its levels find no room", function()
  local tokenizer, resolve = self_embedding()
  local r
  local function scan_above(...) r = scan(tokenizer, ("<a "):rep(400000), "\0", resolve) end
  scan_above(table.unpack({}, 1, 700000))  -- 700,000 slots of the stack taken below the scan
  t.eq({ r[1], r[3] }, { nil, "continuation" })
  t.truthy(r[2].discarded_bytes > 0 and r[2].discarded_bytes < 3 * 400000, r[2].discarded_bytes)
end)
