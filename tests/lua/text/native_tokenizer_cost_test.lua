-- Conditions whose pattern repeats a capture cost a constant times the line at most: each form scanned on a
-- line of words that never repeat (so that matches are far apart) at two lengths, the longer four times the
-- shorter and costing under eight times as much (median of several runs). A short line of the same words
-- gives the tokens of the plain-Lua reference tokenizer.
local t = require("qz_test")
local here = debug.getinfo(1, "S").source:match("^@(.*/)")
local R = dofile(here .. "reference_tokenizer.lua")
local C = dofile(here .. "tokenizer_corpus.lua")
local nt = native_tokenizer

local SHORT, LONG, RUNS = 4000, 16000, 5

local forms = {
  { name = "preceded_by", preceded_by = "(%a+)%s%1%s" },
  { name = "anchored preceded_by", preceded_by = "^(%a+).*%1%s" },
  { name = "line_prefix", line_prefix = "(%a*).-%1%s" },
  { name = "followed_by", followed_by = "%s(%a+).-%s%1%s" },
  { name = "not_followed_by", not_followed_by = "%s(%a+).-%s%1%s" },
}

-- The n-th word: n written in the letters a to z, after a leading letter, so no two words are alike.
local function word(n)
  local letters = {}
  repeat
    letters[#letters + 1] = string.char(97 + n % 26)
    n = n // 26
  until n == 0
  return "w" .. table.concat(letters)
end

local function words_line(length)
  local parts, size, n = {}, 0, 0
  while size < length do
    local piece = word(n) .. " "
    parts[#parts + 1] = piece
    size, n = size + #piece, n + 1
  end
  return table.concat(parts):sub(1, length)
end

local function median_seconds(fn)
  local times = {}
  for i = 1, RUNS do
    local start = os.clock()
    fn()
    times[i] = os.clock() - start
  end
  table.sort(times)
  return times[(RUNS + 1) // 2]
end

for _, form in ipairs(forms) do
  t.test(form.name .. " costs a constant times the line", function()
    local tok = nt.prepare(C.condition_form_grammar(form))
    local function cost(line)
      return median_seconds(function() nt.scan(tok, line, {}, C.SYMBOL_PATTERN, false) end)
    end
    local short, long = cost(words_line(SHORT)), cost(words_line(LONG))
    print(string.format("%s: %d bytes %.2f ms, %d bytes %.2f ms", form.name, SHORT, short * 1000, LONG, long * 1000))
    t.truthy(long < 8 * math.max(short, 1e-4), string.format("%s: %.2f ms against %.2f ms", form.name, long * 1000,
      short * 1000))
  end)

  t.test(form.name .. " on a short line of the same words gives the reference tokens", function()
    local def = C.condition_form_grammar(form)
    local tok, ref = nt.prepare(def), R.compile(def)
    for _, length in ipairs({ 0, 40, 200, 600 }) do
      local line = words_line(length)
      t.eq(nt.scan(tok, line, {}, C.SYMBOL_PATTERN, false), (R.scan(ref, line, nil, C.SYMBOL_PATTERN)), line)
    end
  end)
end

-- Preceded-by patterns whose first item is a byte or a set that the line lacks, twenty in one grammar: on lines
-- up to 1 KB the matcher decides them while its work lasts, and the skip to where a match could begin is work.
-- Lines of 256 and 1,024 bytes, the longest decided so, then the shortest decided by the walks.
local absent_first = {}
for i = 1, 20 do
  local first = i % 4 == 0 and "@" or "[#@]"
  absent_first[i] = { pattern = "%a+", type = "absent" .. i, preceded_by = first .. ("%a"):rep(i) .. ".*" }
end
absent_first[#absent_first + 1] = { pattern = "%a+", type = "word" }
absent_first[#absent_first + 1] = { pattern = "%p", type = "operator" }

t.test("preceded_by patterns that begin with what the line lacks cost a constant times a line of up to 1 KB",
  function()
    local tok = nt.prepare({ patterns = absent_first })
    local function cost(line)
      return median_seconds(function()
        for _ = 1, 20 do nt.scan(tok, line, {}, C.SYMBOL_PATTERN, false) end
      end)
    end
    local short, long, walked = cost(words_line(256)), cost(words_line(1024)), cost(words_line(1025))
    print(string.format("absent first item: 256 bytes %.2f ms, 1024 bytes %.2f ms, 1025 bytes %.2f ms", short * 1000,
      long * 1000, walked * 1000))
    t.truthy(long < 6 * math.max(short, 1e-4), string.format("%.2f ms against %.2f ms", long * 1000, short * 1000))
    t.truthy(long < 3 * math.max(walked, 1e-4), string.format("%.2f ms against %.2f ms", long * 1000, walked * 1000))
  end)

t.test("preceded_by patterns that begin with what the line lacks give the reference tokens at the 1 KB switch",
  function()
    local def = { patterns = absent_first }
    local tok, ref = nt.prepare(def), R.compile(def)
    for _, length in ipairs({ 256, 1023, 1024, 1025, 1100 }) do
      for _, line in ipairs({ words_line(length), "@" .. words_line(length - 1), "#" .. words_line(length - 1) }) do
        t.eq(nt.scan(tok, line, {}, C.SYMBOL_PATTERN, false), (R.scan(ref, line, nil, C.SYMBOL_PATTERN)), line)
      end
    end
  end)

-- A preceded_by with a back-reference whose match begins at the line's start: the start found once is tried
-- first from the words after it, so the scan is never slower than the reference tokenizer (which finds that
-- start first), and where the pattern ends in a run of any bytes it costs a constant times the line; one that
-- matches only before the first word costs no more at the words after it. Lines of 1.1 KB and 4.4 KB: the
-- opening text and words.
local far_starts = {
  { opening = "'q' ", preceded_by = [[(['"])[^'"]*%1.-]], linear = true },
  { opening = "'q' ", preceded_by = [[(['"])[^'"]*%1[^;]*]], linear = false },
  { opening = "xx; ", preceded_by = [[(x)%1.-;%s]], linear = true },
}

for _, case in ipairs(far_starts) do
  t.test("preceded_by " .. case.preceded_by .. " matching from the line's start is never slower than the reference",
    function()
      local def = C.condition_form_grammar({ preceded_by = case.preceded_by })
      local tok, ref = nt.prepare(def), R.compile(def)
      local function line(length) return (case.opening .. words_line(length)):sub(1, length) end
      for _, length in ipairs({ 60, 1023, 1024, 1025 }) do
        local text = line(length)
        t.eq(nt.scan(tok, text, {}, C.SYMBOL_PATTERN, false), (R.scan(ref, text, nil, C.SYMBOL_PATTERN)), text)
      end
      local times = {}
      for _, length in ipairs({ 1100, 4400 }) do
        local text = line(length)
        local tokens = nt.scan(tok, text, {}, C.SYMBOL_PATTERN, false)
        t.eq(tokens, (R.scan(ref, text, nil, C.SYMBOL_PATTERN)), "scanned natively at " .. length)
        times[length] = median_seconds(function() nt.scan(tok, text, {}, C.SYMBOL_PATTERN, false) end)
        local reference = median_seconds(function() R.scan(ref, text, nil, C.SYMBOL_PATTERN) end)
        print(string.format("%s: %d bytes %.2f ms, the reference %.2f ms", case.preceded_by, length,
          times[length] * 1000, reference * 1000))
        t.truthy(times[length] < reference, string.format("%.2f ms against %.2f ms", times[length] * 1000,
          reference * 1000))
      end
      if case.linear then
        t.truthy(times[4400] < 8 * math.max(times[1100], 1e-4), string.format("%.2f ms against %.2f ms",
          times[4400] * 1000, times[1100] * 1000))
      end
    end)
end
