-- Differential check of the native matcher against the linked Lua's string.find: generated and hand-written
-- patterns and subjects, comparing match bounds, captures and error messages. `native(s, p, init, at)` is the
-- native side (see pattern_matcher_test.cpp); returns a list of mismatch descriptions.
local native = ...

local differential = require("differential")
local pieces, subjectBytes = differential.patternPieces(), differential.subjectBytes()

local function randomPattern()
  local parts = {}
  for _ = 1, math.random(1, 7) do parts[#parts + 1] = pieces[math.random(#pieces)] end
  return table.concat(parts)
end

local function randomSubject()
  local parts = {}
  for _ = 1, math.random(0, 12) do parts[#parts + 1] = subjectBytes[math.random(#subjectBytes)] end
  return table.concat(parts)
end

-- string.find's captures split into position captures and span captures, each in pattern order.
local function splitCaptures(results, from)
  local positions, spans = {}, {}
  for i = from, results.n do
    local v = results[i]
    if math.type(v) == "integer" then positions[#positions + 1] = v - 1 else spans[#spans + 1] = v end
  end
  return positions, spans
end

local describe = differential.describe

local function listsEqual(a, b)
  if #a ~= #b then return false end
  for i = 1, #a do if a[i] ~= b[i] then return false end end
  return true
end

-- Compares one case; `anchored` compares the match-at entry point with string.find(s, "^" .. p, init).
local function compare(s, p, init, anchored, mismatches)
  local luaPattern = anchored and ("^" .. p) or p
  local expected = table.pack(pcall(string.find, s, luaPattern, init))
  local actual = table.pack(pcall(native, s, p, init, anchored))
  local ok
  if expected[1] ~= actual[1] then
    ok = false
  elseif not expected[1] then
    ok = expected[2] == actual[2]
  elseif expected[2] == nil then
    ok = actual[2] == nil
  else
    local positions, spans = splitCaptures(expected, 4)
    ok = expected[2] == actual[2] and expected[3] == actual[3] and listsEqual(positions, actual[4])
      and listsEqual(spans, actual[5])
  end
  if not ok and #mismatches < 20 then
    mismatches[#mismatches + 1] = string.format("%s s=%q p=%q init=%d: lua %s, native %s",
      anchored and "match_at" or "find_from", s, p, init, describe(expected), describe(actual))
  end
  return ok
end

local handWritten = {
  { "hello world", "o w" }, { "hello", "l+" }, { "hello", "l-o" }, { "a(b(c)d)e", "%b()" }, { "THE (quick) fox", "%f[%a]%a+" },
  { "abcabc", "(abc)%1" }, { "abab", "(a)(b)%2" }, { "aaa", "(a)%0" }, { "x", "(()" }, { "x", "x)" },
  { "abc", "[a" }, { "abc", "%" }, { "abc", "%b" }, { "abc", "%ba" }, { "abc", "%fa" }, { "a.b", "a.b" },
  { "a\0b", "\0" }, { "a\0b", "%z" }, { "a\0b", "[\0]" }, { "", "" }, { "", "a*" }, { "", "$" }, { "ab", "b$" },
  { "a$b", "$b" }, { "x^y", "^y" }, { "x^y", "x^" }, { "word1 word2", "%f[%w]%w+$" }, { "end", "%f[%z]" },
  { string.rep("a", 300), string.rep("a?", 250) }, { string.rep("a", 300), string.rep("a?", 190) },
  { string.rep("a", 40), string.rep("(", 33) .. "a" }, { string.rep("a", 40), string.rep("(a)", 32) },
  { string.rep("a", 40), string.rep("(a)", 33) }, { "aaab", "a-b" }, { "aaab", "()a*()" }, { "[]", "[]]" },
  { "]", "[^]]" }, { "-", "[a-]" }, { "%", "[%%]" }, { "a", "[%a-z]" }, { "ab", "(a)(%1)" }, { "a", "()%1" },
  { "xx.ab", "[%.>]$" }, { "a.b.", "%.$" }, { "abc", "(b)c$" }, { "abab", "a?b$" }, { "x(y(", "%($" },
  { "ab", "()b$" }, { "ab%", "%%$" }, { "ab$", "%$" }, { "a]b", "[]]b$" }, { "word end", "%f[%w]%w%w%w$" },
  { "aaa", "(a$" }, { "ab", "a%1$" }, { "abc", "b?c?$" }, { "abc", "[^%s]$" },
  { "((a)(b))", "%b()" }, { "((a)(b)", "%b()" }, { "aXb", "%bab" }, { "abc", "()()()" }, { "abc", ".-$" },
  { "xabab", "(ab)%1$" }, { "xa ba a", "(%a)%a%s%1$" }, { "aba?", "(a)b%1?$" }, { "ab*ab", "(a)b*%1b$" },
  { "aabcab", "(a()b)c%1$" }, { "abab", "(ab)%2$" }, { "aa", "()a%1$" }, { "abab", "((a)b)%2b$" },
  { "aba", "(a)b(%1)$" }, { "abab", "(a(b)%2$" }, { "abab", "(a)%0$" },
}

local mismatches, cases = {}, 0
for _, case in ipairs(handWritten) do
  for init = 1, #case[1] + 2 do
    for _, anchored in ipairs({ false, true }) do
      compare(case[1], case[2], init, anchored, mismatches)
      cases = cases + 1
    end
  end
end

math.randomseed(20240501)
for _ = 1, 40000 do
  local s, p = randomSubject(), randomPattern()
  local init = math.random(1, #s + 2)
  compare(s, p, init, false, mismatches)
  compare(s, p, init, true, mismatches)
  cases = cases + 2
end
return mismatches, cases
