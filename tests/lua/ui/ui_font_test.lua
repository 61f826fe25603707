-- The ui_font and ui_glyph modules inside a running qz: descriptions with their field checks, protected
-- userdata, and the glyph registry's names.
local t = require("qz_test")

local SANS = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

local function fallbacks(count)
  local list = {}
  for i = 1, count do list[i] = SANS end
  return list
end

t.test("descriptions and their checks", function()
  t.eq(type(ui_font.create({ path = SANS, size = 14, fallbacks = fallbacks(64) })), "userdata")
  t.truthy(ui_font.create({ path = SANS, size = 1e-3, embolden = -1, line_gap = false, antialias = true }))
  local cases = {
    { { path = SANS, size = 14, fallbacks = fallbacks(65) }, "too many font fallbacks" },
    { { path = "", size = 14 }, "font path must not be empty" },
    { { path = SANS, size = 0 }, "expected a positive number" },
    { { path = SANS, size = 1e39 }, "expected a finite number in float range" },
    { { path = SANS }, "bad argument #1 to 'create' (field 'size': number expected, got nil)" },
    { { size = 14 }, "bad argument #1 to 'create' (field 'path': string expected, got nil)" },
    { { path = SANS, size = 14, fallbacks = { SANS, 5 } },
      "bad argument #1 to 'create' (field 'fallbacks' element 2: string expected, got number)" },
    { { path = SANS, size = 14, embolden = 0 / 0 }, "expected a finite number in float range" },
    { { path = SANS, size = 14, line_gap = 1 }, "bad argument #1 to 'create' (field 'line_gap': boolean expected, got number)" },
  }
  for _, case in ipairs(cases) do t.raises(function() ui_font.create(case[1]) end, case[2]) end
  t.raises(function() ui_font.create(SANS) end, "table expected, got string")
  local ok, message = pcall(ui_font.create, { path = SANS, size = 0 })
  t.eq(ok, false)
  t.eq(message, "bad argument #1 to 'ui_font.create' (field 'size': expected a positive number)",
    "a size out of range names the function and the field")
end)

t.test("protected userdata", function()
  local font = ui_font.create({ path = SANS, size = 14 })
  t.eq(getmetatable(font), "protected UI font description")
  t.eq(debug.getmetatable(font).__index, nil, "no methods")
end)

t.test("glyph names are registered once", function()
  local font = ui_font.create({ path = SANS, size = 14 })
  ui_glyph.register_font("ok", font, "\u{2713}")
  ui_glyph.register_shape("close", "cross")
  t.eq(select("#", ui_glyph.register_shape("up", "triangle_up")), 0)
  t.raises(function() ui_glyph.register_shape("ok", "cross") end, "glyph name is already registered")
  t.raises(function() ui_glyph.register_font("close", font, "x") end, "glyph name is already registered")
  t.raises(function() ui_glyph.register_shape("close", "circle") end, "unknown UI glyph shape")
  t.raises(function() ui_glyph.register_shape("fresh", "cross\0x") end, "unknown UI glyph shape")
  t.raises(function() ui_glyph.register_shape("", "cross") end, "glyph name must not be empty")
  t.raises(function() ui_glyph.register_font("x", font, "") end, "glyph text must not be empty")
  t.raises(function() ui_glyph.register_font("x", {}, "x") end, "UiFont expected, got table")
  t.raises(function() ui_glyph.register_font("x", 5, "x") end, "bad argument #2")
end)

t.test("a collected description is no longer available", function()
  local font = ui_font.create({ path = SANS, size = 14 })
  debug.getmetatable(font).__gc(font)
  t.raises(function() ui_glyph.register_font("late", font, "l") end, "font is no longer available")
  ui_glyph.register_shape("late", "triangle_down")
end)
