-- Style strings of scans: tokenizers and symbol tables may bring more distinct styles than the palette that
-- numbers them can hold; the styles past its room must come out as given and still merge when equal.
local t = require("qz_test")
local nt = native_tokenizer

t.test("thousands of distinct styles come out as given", function()
  local tok = nt.prepare({ patterns = { { pattern = "#", type = "hash" } } })
  local symbols, words, expected = {}, {}, {}
  for i = 1, 5000 do
    words[i] = "w" .. i
    symbols[words[i]] = "style" .. i
    expected[#expected + 1] = "style" .. i
    expected[#expected + 1] = words[i]
    if i < 5000 then
      expected[#expected + 1] = "normal"
      expected[#expected + 1] = " "
    end
  end
  local line = table.concat(words, " ")
  t.eq(nt.scan(tok, line, symbols, "[%w_]+", false), expected)
  t.eq(nt.scan(tok, line, symbols, "[%w_]+", false), expected)
end)

t.test("equal styles past the palette's room merge", function()
  local tok = nt.prepare({ patterns = { { pattern = "%d+", type = "number" } } })
  local fill = {}
  for i = 1, 5000 do fill["f" .. i] = "filler" .. i end
  local words = {}
  for i = 1, 5000 do words[i] = "f" .. i end
  nt.scan(tok, table.concat(words, " "), fill, "%a+%d*", false)
  local symbols = { ab = "late style", ["12"] = "late style" }
  t.eq(nt.scan(tok, "ab12 x", symbols, "%a+", false), { "late style", "ab12", "normal", " x" })
end)
