-- text.split_lines and text.detect_indent: lines, ending statistics and the indentation verdict.
local t = require("qz_test")

local function split(s, options)
  local lines, stats = text.split_lines(s, options)
  return lines, stats
end

t.test("an empty text is one empty line", function()
  local lines, stats = split("")
  t.eq(lines, { "\n" })
  t.eq(split("", { keep_eol = false }), { "" })
  t.eq(stats, {
    input_size = 0, line_count = 1, longest_line_length = 0, longest_line_index = 1, has_cr = false,
    has_lf = false, crlf = false, cr_only = false, eol_sequence = "\n", eof_eol_sequence = "", eof_eol_count = 0,
  })
end)

t.test("CRLF endings become newline-terminated lines", function()
  local lines, stats = split("a\r\nb")
  t.eq(lines, { "a\n", "b\n" })
  t.eq(split("a\r\nb", { keep_eol = false }), { "a", "b" })
  t.eq({ stats.has_cr, stats.has_lf, stats.crlf, stats.eol_sequence, stats.eof_eol_sequence },
    { true, true, true, "\r\n", "" })
end)

t.test("trailing endings are counted over empty lines", function()
  local lines, stats = split("a\n\n")
  t.eq(lines, { "a\n", "\n", "\n" })
  t.eq({ stats.eof_eol_sequence, stats.eof_eol_count }, { "\n", 2 })
  lines, stats = split("\n", { keep_eol = false })
  t.eq(lines, { "", "" })
  t.eq(stats.eof_eol_count, 1)
  lines, stats = split("a\r\n\n")
  t.eq(#lines, 3)
  t.eq({ stats.eof_eol_sequence, stats.eof_eol_count, stats.crlf }, { "\n", 1, true })
end)

t.test("a final CR is a CR ending", function()
  local lines, stats = split("x\r")
  t.eq(lines, { "x\n", "\n" })
  t.eq({ stats.cr_only, stats.eol_sequence, stats.eof_eol_sequence }, { true, "\r", "\r" })
end)

t.test("only the first 64 endings vote", function()
  local _, stats = split(string.rep("x\r\n", 64) .. string.rep("y\n", 100))
  t.eq({ stats.crlf, stats.eol_sequence, stats.line_count }, { true, "\r\n", 165 })
end)

t.test("the first longest line is reported", function()
  local _, stats = split("ab\nabcd\nwxyz\n")
  t.eq({ stats.longest_line_length, stats.longest_line_index }, { 4, 2 })
end)

t.test("options must be booleans in a table", function()
  t.raises(function() split("a", { keep_eol = 1 }) end, "'keep_eol' must be a boolean")
  t.raises(function() split("a", { detect_indent = "yes" }) end, "'detect_indent' must be a boolean")
  t.raises(function() split("a", 5) end, "table expected")
  t.raises(function() split(nil) end, "string expected")
end)

t.test("split_lines detects indentation on request", function()
  local _, stats = split("if x\n  a\n    b\n  c\n", { detect_indent = true })
  t.eq({ stats.indent_type, stats.indent_size }, { "spaces", 2 })
  _, stats = split("if x\n  a\n")
  t.eq(stats.indent_type, nil)
end)

t.test("detect_indent decides tabs, spaces or nothing", function()
  t.eq(text.detect_indent({ "  a", "    b", "  c" }), { indent_type = "spaces", indent_size = 2 })
  t.eq(text.detect_indent({ "\ta", "\tb" }), { indent_type = "tabs" })
  t.eq(text.detect_indent({ "\ta", "  b", "\tc", "  d" }), {})
  t.eq(text.detect_indent({ "a", "b" }), {})
  t.eq(text.detect_indent({ "   ", "\t\n", "" }), {})
end)

t.test("detect_indent samples windows of long documents", function()
  local lines = {}
  for i = 1, 1000 do lines[i] = "x" end
  for _, start in ipairs({ 1, 67, 133 }) do
    for k = 0, 7 do lines[start + k] = (k % 2 == 0) and "    a" or "b" end
  end
  lines[500] = "\tnot sampled"
  t.eq(text.detect_indent(lines), { indent_type = "spaces", indent_size = 4 })
end)

t.test("detect_indent refuses entries that are not strings", function()
  t.raises(function() text.detect_indent({ "a", {} }) end, "string expected")
  t.raises(function() text.detect_indent(5) end, "table expected")
  t.eq(text.detect_indent({ 12, 34 }), {})
end)
