-- Differential check of utf8.find, match, gmatch and gsub against the string library on ASCII subjects and
-- generated patterns: on ASCII, characters are bytes, so results and errors must be equal. Replacements cover
-- strings with every escape, tables and functions; inits and counts cover the edges. A second round mixes in
-- non-ASCII twins of unused ASCII characters (same classes): utf8 on the text with twins must give what the
-- string library gives with each twin replaced by its ASCII character. Returns a list of mismatch descriptions
-- and the number of cases.
local differential = require("differential")
local pieces, subjectBytes = differential.patternPieces(), differential.subjectBytes()
local replacements = {
  "<%0>", "%1", "[%2]", "%%", "x%", "%a", "", "%1%1", 7,
  { a = "A", b = false, ["1"] = "one", x = {} },
  function(...) local n = select("#", ...) if n > 1 then return select(2, ...) end return (...) == "a" and "!" or nil end,
  function() return {} end,
}

local function random(list) return list[math.random(#list)] end

local function randomOf(list, most)
  local parts = {}
  for _ = 1, math.random(0, most) do parts[#parts + 1] = random(list) end
  return table.concat(parts)
end

local function gathered(gmatch, s, p, init)
  return table.pack(pcall(function()
    local out = {}
    for a, b in gmatch(s, p, init) do
      out[#out + 1] = tostring(a) .. "|" .. tostring(b)
      if #out > 40 then break end
    end
    return table.concat(out, " ")
  end))
end

local recorder = differential.recorder(function(text) return (text:gsub("'string%.", "'utf8.")) end)
local compare = recorder.check

-- Twins: non-ASCII code points of one to four bytes with the classes of ASCII characters that the generated
-- texts do not use otherwise and that no generated range reaches (every range ends below "y").
local twins = { ["é"] = "y", ["¡"] = "{", ["，"] = "~", ["𐄀"] = "|", ["\u{80}"] = "\127" }
local twinPattern = "[\xC2-\xF4][\x80-\xBF]*"

local function toAscii(v)
  if type(v) ~= "string" then return v end
  return (v:gsub(twinPattern, twins))
end

local function mapped(r)
  for i = 1, r.n do r[i] = toAscii(r[i]) end
  return r
end

local function compareAll(s, p, init, plain, replacement, n)
  local label = string.format("s=%q p=%q init=%s", s, p, tostring(init))
  local as, ap, ar = toAscii(s), toAscii(p), toAscii(replacement)
  compare(label .. " find", table.pack(pcall(string.find, as, ap, init, plain)),
    mapped(table.pack(pcall(utf8.find, s, p, init, plain))))
  compare(label .. " match", table.pack(pcall(string.match, as, ap, init)),
    mapped(table.pack(pcall(utf8.match, s, p, init))))
  compare(label .. " gmatch", gathered(string.gmatch, as, ap, init), mapped(gathered(utf8.gmatch, s, p, init)))
  compare(label .. " gsub " .. tostring(replacement) .. " " .. tostring(n),
    table.pack(pcall(string.gsub, as, ap, ar, n)), mapped(table.pack(pcall(utf8.gsub, s, p, replacement, n))))
end

local handWritten = {
  { "hello world", "o w" }, { "hello", "l+" }, { "hello", "l-o" }, { "a(b(c)d)e", "%b()" }, { "abc", "(a" },
  { "THE (quick) fox", "%f[%a]%a+" }, { "abcabc", "(abc)%1" }, { "aaa", "(a)%0" }, { "x", "(()" }, { "x", "x)" },
  { "abc", "[a" }, { "abc", "%" }, { "abc", "%ba" }, { "abc", "%fa" }, { "a\0b", "%z" }, { "", "" }, { "", "$" },
  { "x^y", "^y" }, { "x^y", "x^" }, { "word1 word2", "%f[%w]%w+$" }, { string.rep("a", 300), string.rep("a?", 250) },
  { string.rep("a", 300), string.rep("a?", 190) }, { string.rep("a", 40), string.rep("(a)", 33) },
  { "abc", "()()()" }, { "abc", ".-$" }, { "hello", "" }, { "abc", "a*" }, { "abab", "()ab" }, { "abc", "%w+" },
}
for _, case in ipairs(handWritten) do
  for init = -#case[1] - 2, #case[1] + 2 do
    compareAll(case[1], case[2], init, false, random(replacements), nil)
  end
  for _, replacement in ipairs(replacements) do
    for _, n in ipairs({ 0, 1, 2, -1 }) do compareAll(case[1], case[2], nil, nil, replacement, n) end
  end
end

math.randomseed(20250612)
for _ = 1, 12000 do
  local s, p = randomOf(subjectBytes, 12), randomOf(pieces, 6)
  local init = math.random(5) == 1 and nil or math.random(-#s - 2, #s + 2)
  local plain = math.random(8) == 1 or nil
  local n = math.random(4) == 1 and math.random(-1, 3) or nil
  compareAll(s, p, init, plain, random(replacements), n)
end
for _, twin in ipairs({ "é", "¡", "，", "𐄀", "\u{80}" }) do
  subjectBytes[#subjectBytes + 1] = twin
  pieces[#pieces + 1] = twin
  pieces[#pieces + 1] = "[" .. twin .. "a]"
  pieces[#pieces + 1] = "%" .. twin
end
pieces[#pieces + 1] = "%bé，"
pieces[#pieces + 1] = "%f[é]"
for _ = 1, 8000 do
  local s, p = randomOf(subjectBytes, 12), randomOf(pieces, 6)
  local init = math.random(5) == 1 and nil or math.random(-utf8.len(s) - 2, utf8.len(s) + 2)
  compareAll(s, p, init, math.random(8) == 1 or nil, random(replacements), math.random(4) == 1 and 2 or nil)
end
compareAll("abc", "b", nil, nil, nil, nil)
compareAll("abc", "b", "x", nil, "y", "z")
return recorder.results()
