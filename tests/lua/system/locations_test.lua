-- File locations and file references as Lua tables.
local t = require("qz_test")

t.test("parse_file_locations builds one table per location", function()
  t.eq(system.parse_file_locations("12"), { { type = "text", line = 12 } })
  t.eq(system.parse_file_locations("3:4-5:6"), { { type = "text", line = 3, column = 4, end_line = 5, end_column = 6 } })
  t.eq(system.parse_file_locations("@10-20,7"), {
    { type = "offset", offset = 10, end_offset = 20 },
    { type = "text", line = 7 },
  })
  t.same(system.parse_file_locations("9223372036854775807")[1].line, math.maxinteger)
  t.eq(system.parse_file_locations("5-5"), { { type = "text", line = 5, end_line = 5 } })
end)

t.test("parse_file_locations returns its messages", function()
  local cases = {
    ["5:9-5:2"] = "text range is reversed",
    ["@9-3"] = "offset range is reversed",
    ["1,,2"] = "expected line",
    ["1,"] = "expected location after ','",
    ["1:2:3"] = "expected ',' between locations",
    [""] = "location list must not be empty",
    ["9223372036854775808"] = "line exceeds signed 64-bit maximum",
  }
  for text, message in pairs(cases) do
    local r = t.results(system.parse_file_locations(text))
    t.eq(r, { n = 2, nil, message }, text)
  end
end)

t.test("parse_file_reference splits archive paths and locations", function()
  t.eq(system.parse_file_reference("X:/a.zip:/doc/b.txt:3", true),
    { filename = "X:/a.zip", virtual_path = "doc/b.txt", locations = { { type = "text", line = 3 } } })
  t.eq(system.parse_file_reference("/home/u/a.txt:7", true),
    { filename = "/home/u/a.txt", locations = { { type = "text", line = 7 } } })
  t.eq(system.parse_file_reference("file:///home/u/a.txt:10:2", true),
    { filename = "/home/u/a.txt", locations = { { type = "text", line = 10, column = 2 } } })
  t.eq(system.parse_file_reference("a.txt:12", false), { filename = "a.txt:12", locations = {} })
  t.eq(t.results(system.parse_file_reference("name:", true)), { n = 2, nil, "location list must not be empty" })
end)

t.test("parse_file_reference needs a boolean second argument", function()
  t.raises(function() system.parse_file_reference("a") end, "bad argument #2 to 'parse_file_reference' (boolean expected")
  t.raises(function() system.parse_file_reference("a", 1) end, "boolean expected")
end)

t.test("format_filename joins an archive path", function()
  t.eq(system.format_filename("a.zip", "//x\\y"), "a.zip:/x/y")
  t.eq(system.format_filename("a.zip", ""), "a.zip:/")
  t.eq(system.format_filename("a.zip"), "a.zip")
  t.eq(system.format_filename("a.zip", nil), "a.zip")
  t.raises(function() system.format_filename("a.zip", {}) end, "bad argument #2")
end)
