-- Seeded corpora for comparing the native scanner with the reference tokenizer: a C-like grammar, a Lua-like
-- grammar, and Markdown whose fences embed them. Shared by the oracle test and the benchmark.
local C = {}

C.SYMBOL_PATTERN = "[%w_\128-\255]+"

C.c_grammar = {
  patterns = {
    { pattern = "//.*", type = "comment" },
    { pattern = { "/%*", "%*/" }, type = "comment" },
    { pattern = { '"', '"', "\\" }, type = "string" },
    { pattern = { "'", "'", "\\" }, type = "string", delim_type = "delimiter" },
    { pattern = "#%s*%a+", type = "keyword2", line_start = true },
    { pattern = "0x%x+", type = "number" },
    { pattern = "%d+%.?%d*", type = "number", not_followed_by = "[%a_]" },
    { pattern = "[%a_][%w_]*", type = "function", followed_by = "%s*%(" },
    { pattern = "[%a_][%w_]*", type = "field", preceded_by = "[%.>]" },
    { pattern = "[%a_][%w_]*", type = "symbol" },
    { pattern = "[%+%-=/%*%%<>!~|&%^]+", type = "operator" },
  },
  symbols = { ["if"] = "keyword", ["else"] = "keyword", ["for"] = "keyword", ["while"] = "keyword",
    ["return"] = "keyword", int = "keyword2", char = "keyword2", void = "keyword2", struct = "keyword" },
}

C.lua_grammar = {
  match = { strategy = "longest" },
  patterns = {
    { pattern = { "%-%-%[%[", "%]%]" }, type = "comment" },
    { pattern = "%-%-.*", type = "comment" },
    { pattern = { "%[%[", "%]%]" }, type = "string" },
    { pattern = { '"', '"', "\\" }, type = "string" },
    { pattern = "(function)%s+([%a_][%w_%.:]*)", type = { "keyword", "function" } },
    { pattern = "local%s+([%a_][%w_]*)", type = { "local" } },
    { pattern = "%d+%.?%d*", type = "number" },
    { pattern = "[%a_][%w_]*", type = "symbol" },
    { pattern = "[%a_][%w_]*%.[%a_][%w_]*", type = "field", priority = 2 },
    { pattern = "[%+%-=/%*<>~#%.]+", type = "operator" },
  },
  symbols = { ["local"] = "keyword", ["end"] = "keyword", ["then"] = "keyword", ["if"] = "keyword",
    ["return"] = "keyword", ["nil"] = "literal", ["true"] = "literal" },
}

C.markdown_grammar = {
  patterns = {
    { pattern = { "```lua", "```" }, type = "fence", syntax = "lua" },
    { pattern = { "```c", "```" }, type = "fence", syntax = "c" },
    { pattern = { "```py", "```" }, type = "fence", syntax = "python" },
    { pattern = { "```", "```" }, type = "fence" },
    { pattern = "#+%s.*", type = "heading", line_start = true },
    { pattern = { "`", "`" }, type = "code" },
    { pattern = "%*%*[^%*]+%*%*", type = "bold" },
    { pattern = "%[[^%]]*%]%([^%)]*%)", type = "link" },
  },
}

-- Rules whose conditions read the text before the cursor: patterns of single-byte items searched or
-- anchored, and ones with captures or balances; and a region that the text after its end can refuse.
C.condition_grammar = {
  patterns = {
    { pattern = { "%[", "%]" }, type = "bracket", not_followed_by = "!" },
    { pattern = "%a+", type = "field", preceded_by = "[%.:]%s*" },
    { pattern = "%a+", type = "value", preceded_by = "^[^=]*=%s*" },
    { pattern = "%u%a*", type = "title", line_prefix = "%s*[%a ]*" },
    { pattern = "%a+", type = "call", line_prefix = ".-%(%s*" },
    { pattern = "%d+", type = "count", preceded_by = "(%a+)%s+" },
    { pattern = "%d+", type = "size", line_prefix = "%b()%s*" },
    { pattern = "%a+", type = "after_word", preceded_by = "%a%s?%s" },
    { pattern = "%a+", type = "word" },
    { pattern = "%p", type = "operator" },
  },
}

-- One line of about `length` bytes of the pieces the condition grammar reads.
function C.condition_line(random, length)
  local pieces = { "alpha", "Beta", "x", " ", "  ", ".", ": ", "=", " = ", "(", ")", "42", "7 ", "a.b", "(c) 3", "[",
    "]", "]!" }
  local parts, size = {}, 0
  while size < length do
    local piece = pieces[random(#pieces)]
    parts[#parts + 1] = piece
    size = size + #piece
  end
  return table.concat(parts)
end

-- Conditions of every form on one word rule, each in a grammar of its own so that every word tries it:
-- captures, frontiers, balances, a pattern of many items, a back-reference, anchored and not, on the text
-- before the word and on the text after it.
C.condition_forms = {
  { name = "captured spaces", preceded_by = "(%s+)" },
  { name = "frontier", preceded_by = "%f[%s]%s+" },
  { name = "frontier at the end", preceded_by = "%a%f[%W]" },
  { name = "balance searched", preceded_by = "%b()%s*" },
  { name = "anchored capture", preceded_by = "^%s*(%a+)[%s%(]+()" },
  { name = "back-reference", preceded_by = "(%a)%s%1%s" },
  { name = "long back-reference", preceded_by = "(%a+)%s%1%s" },
  { name = "back-reference then anything", preceded_by = "(%()[^()]*%1.-" },
  { name = "back-reference then a run", preceded_by = "(%()[^()]*%1[^.]*" },
  { name = "frontier, back-reference then anything", preceded_by = "%f[%(](%()[^()]*%1.+" },
  { name = "back-reference prefix", line_prefix = "(%a*).-%1%s" },
  { name = "balance prefix", line_prefix = "[%w ]*%b()" },
  { name = "frontier prefix", line_prefix = "(.-)%f[%w]%w+%s+" },
  { name = "long prefix", line_prefix = ("[%w ]"):rep(68) .. "%s?[%w %(%)]*" },
  { name = "followed by", followed_by = "[%w ]*%)" },
  { name = "not followed by a balance", not_followed_by = "%s*%b()" },
  { name = "followed by the end", followed_by = "%f[%W][%s%w]*$" },
  { name = "followed by a back-reference", followed_by = "(%s)%a*%1" },
  { name = "anchored back-reference", preceded_by = "^(%a+).*%1%s" },
  { name = "back-reference further on", followed_by = "%s(%a+).-%s%1%s" },
  { name = "no back-reference further on", not_followed_by = "%s(%a+).-%s%1%s" },
}

function C.condition_form_grammar(form)
  local rule = { pattern = "%a+", type = "hit" }
  for key, value in pairs(form) do
    if key ~= "name" then rule[key] = value end
  end
  return { patterns = { rule, { pattern = "%a+", type = "word" }, { pattern = "%p", type = "operator" } } }
end

-- One line of about `length` bytes of words, spaces and parentheses for the condition forms.
function C.parenthesis_line(random, length)
  local pieces = { "ab", "ab ", "ab ", " ", "  ", "(c)", "(a b)", "x(", ")", "((d) e)", "a a ", "b", "." }
  local parts, size = {}, 0
  while size < length do
    local piece = pieces[random(#pieces)]
    parts[#parts + 1] = piece
    size = size + #piece
  end
  return table.concat(parts)
end

local words = { "alpha", "beta", "count", "value", "node", "next", "x", "i", "if", "else", "return", "end", "local",
  "then", "nil", "int", "struct", "while" }
local unicode = { "caf\u{E9}", "e\u{301}", "na\u{EF}ve", "\u{65E5}\u{672C}", "\u{1F1FA}\u{1F1F8}",
  "\u{1F468}\u{200D}\u{1F469}", "o\u{308}\u{304}", "\u{1F44D}\u{1F3FD}" }

local function pick(list, random) return list[random(#list)] end

-- One line of roughly `length` bytes in the style of `language` ("c" or "lua"); `unicode_share` of the words
-- are non-ASCII. A `closed` line opens no comment or string that would run to its end.
function C.code_line(language, random, length, unicode_share, closed)
  local parts = {}
  local size = 0
  while size < length do
    local r = random(100)
    if closed and r > 52 and r <= 62 then r = 1 end
    local piece
    if random() < unicode_share then piece = pick(unicode, random)
    elseif r <= 30 then piece = pick(words, random)
    elseif r <= 40 then piece = tostring(random(0, 99999))
    elseif r <= 47 then piece = language == "c" and "f(" or "function g.h("
    elseif r <= 52 then piece = language == "c" and '"s\\"q"' or '"a\\\\"'
    elseif r <= 55 then piece = language == "c" and "/*" or "--[["
    elseif r <= 58 then piece = language == "c" and "*/" or "]]"
    elseif r <= 60 then piece = language == "c" and "'" or '"'
    elseif r <= 62 then piece = language == "c" and "// note" or "-- note"
    elseif r <= 66 then piece = language == "c" and "a.b->c" or "t.k"
    elseif r <= 75 then piece = pick({ "+", "==", "-", "*", "<=", "(", ")", "{", "}", ";", "," }, random)
    else piece = " " end
    parts[#parts + 1] = piece
    size = size + #piece
  end
  return table.concat(parts)
end

-- A Markdown document of `count` lines with fenced blocks of the other languages.
function C.markdown_lines(random, count, unicode_share)
  local lines = {}
  while #lines < count do
    local r = random(10)
    if r <= 2 then
      local fence = pick({ "lua", "c", "py", "" }, random)
      lines[#lines + 1] = "```" .. fence
      for _ = 1, random(1, 6) do
        lines[#lines + 1] = C.code_line(fence == "c" and "c" or "lua", random, random(0, 60), unicode_share)
      end
      lines[#lines + 1] = "```" .. (random(4) == 1 and " trailing" or "")
    elseif r <= 3 then
      lines[#lines + 1] = "## " .. C.code_line("lua", random, 20, unicode_share)
    else
      lines[#lines + 1] = "Some **bold** and `code` with [a](b) " .. C.code_line("lua", random, random(0, 50), unicode_share)
    end
  end
  return lines
end

return C
