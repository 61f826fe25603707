-- Outline rules: prepare_outline, scan_outline and outline_error_index.
local t = require("qz_test")
local nt = native_tokenizer

local function outline(rules) return nt.prepare_outline(rules) end

t.test("malformed outline rules give outline_definition", function()
  t.eq(outline(setmetatable({}, {})), "outline_definition")
  t.eq(outline({ 5 }), "outline_definition")
  t.eq(outline({ { pattern = {} , line_prefix = {} } }), "outline_definition")
  t.eq(outline({ { pattern = true } }), "outline_definition")
  t.eq(outline({ { pattern = "x", line_not_prefix = { "a", {} } } }), "outline_definition")
  t.raises(function() outline(5) end, "table expected")
end)

t.test("a rule without pattern never matches", function()
  local o = outline({ { outline_level = 1 }, { pattern = false } })
  t.eq(t.results(nt.scan_outline(o, "anything", nil, nil, "jump")), { n = 3, false })
end)

t.test("headings give their level and title", function()
  local o = outline({ { pattern = "^#+%s*(.*)", line_start = false, outline_level = 2.7 } })
  t.eq(t.results(nt.scan_outline(o, "## Intro", nil, nil, "jump")), { n = 3, true, 2, "Intro" })
  local empty = outline({ { pattern = "^#()", outline_level = 3 }, { pattern = "^=(%s*)", outline_level = 1 } })
  t.eq(t.results(nt.scan_outline(empty, "=", nil, nil, "any")), { n = 3, true, 1, nil })
end)

t.test("levels are clamped by kind", function()
  local o = outline({ { pattern = "%-%-%-", outline_level = 0 } })
  t.same(select(2, nt.scan_outline(o, "---", nil, nil, "divider")), 0)
  t.same(select(2, nt.scan_outline(o, "---", nil, nil, "jump")), 1)
  local float = outline({ { pattern = "x", outline_level = 1e300 } })
  t.same(select(2, nt.scan_outline(float, "x", nil, nil, "jump")), 1e300)
end)

t.test("jumps and dividers select rules by kind", function()
  local o = outline({ { pattern = "a", jumps = false, outline_level = 1 }, { pattern = "a", jumps = "no", dividers = false, outline_level = 2 } })
  t.eq(select(2, nt.scan_outline(o, "a", nil, nil, "jump")), 2)
  t.eq(select(2, nt.scan_outline(o, "a", nil, nil, "divider")), 1)
  t.eq(select(2, nt.scan_outline(o, "a", nil, nil, "all")), 1)
end)

t.test("a block-start-only rule matches only the first line of a block", function()
  local o = outline({ { pattern = "//", line_start = true, block_start_only = true, outline_level = 1 } })
  t.eq(nt.scan_outline(o, "// a", "x", "// b", "jump"), true)
  t.eq(nt.scan_outline(o, "// b", "// a", nil, "jump"), false)
end)

t.test("context conditions of outline rules", function()
  local o = outline({
    { pattern = "(%a+)", next_line = "^===", outline_level = 1 },
    { pattern = "function (%a+)", line_not_prefix = { "local" }, preceded_by = "^%s*$", followed_by = "%(",
      outline_level = 2 },
  })
  t.eq(t.results(nt.scan_outline(o, "Title", nil, "=====", "jump")), { n = 3, true, 1, "Title" })
  t.eq(t.results(nt.scan_outline(o, "  function go()", nil, nil, "jump")), { n = 3, true, 2, "go" })
  t.eq(nt.scan_outline(o, "  local function go()", nil, nil, "jump"), false)
  t.eq(nt.scan_outline(o, "x function go()", nil, nil, "jump"), false)
  t.eq(nt.scan_outline(o, "function go", nil, nil, "jump"), false)
end)

t.test("condition patterns keep their zero bytes", function()
  local o = outline({ { pattern = "b", not_followed_by = "\0x", line_not_prefix = { "\0y" }, outline_level = 1 } })
  t.eq(nt.scan_outline(o, "b\0c", nil, nil, "jump"), true)
  t.eq(nt.scan_outline(o, "b\0x", nil, nil, "jump"), false)
  t.eq(nt.scan_outline(o, "\0yb", nil, nil, "jump"), false)
end)

t.test("outline_error_index names the rule whose pattern failed", function()
  local o = outline({ { pattern = "a" }, { pattern = "b" }, { pattern = "[c" } })
  t.eq(nt.outline_error_index(o), nil)
  t.raises(function() nt.scan_outline(o, "zzz", nil, nil, "jump") end, "malformed pattern (missing ']')")
  t.eq(nt.outline_error_index(o), 3)
  t.eq(nt.outline_error_index(o), 3)
  t.eq(nt.scan_outline(o, "a", nil, nil, "jump"), true)
  t.eq(nt.outline_error_index(o), nil)
end)

t.test("a finalised outline cannot be used again", function()
  local o = outline({ { pattern = "a" } })
  getmetatable(o).__gc(o)
  t.raises(function() nt.scan_outline(o, "a", nil, nil, "jump") end, "Qz.PreparedOutline expected")
  t.raises(function() nt.outline_error_index(o) end, "Qz.PreparedOutline expected")
end)
