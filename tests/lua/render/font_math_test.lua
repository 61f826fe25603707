-- The OpenType MATH methods of Font: constants, per-glyph queries, stretch variants and assemblies, and
-- formula masks with their argument checks, in the order they are made.
local t = require("qz_test")

local MATH = "/usr/share/fonts/truetype/dejavu/DejaVuMathTeXGyre.ttf"
local MONO = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
local Font = renderer.font

local function f32(value) return (string.unpack("f", string.pack("f", value))) end

t.test("constants and per-glyph values at 20 px", function()
  local f = Font.load(MATH, 20)
  local m = f:get_math_metrics()
  local count = 0
  for _ in pairs(m) do count = count + 1 end
  t.eq(count, 20)
  t.eq({ m.script_scale, m.radical_degree_raise, m.axis_height, m.radical_kern_after_degree },
    { f32(0.8), f32(0.55), 5.5, -10.515625 })
  t.eq(Font.load(MONO, 20):get_math_metrics(), nil)
  t.eq({ f:get_math_glyph_italics_correction("f"), f:get_math_glyph_italics_correction("") }, { 1.765625, 0.0 })
  t.eq(f:get_math_glyph_top_accent_attachment("a"), 5.265625)
  t.eq({ f:get_math_glyph_kerning("f", 4, 3), f:get_math_glyph_kerning("f", -1, 3) }, { 0.0, 0.0 })
  t.eq({ f:get_math_glyph_kerning("f", 0, 0 / 0), f:get_math_glyph_kerning("f", 0, 1e300) }, { 0.0, 0.0 })
  t.raises(function() f:get_math_glyph_kerning("f", 2147483648, 0) end, "expected an integer in C++ integer range")
  t.raises(function() f:get_math_glyph_italics_correction() end, "string expected")
  local group = Font.group({ Font.load(MATH, 20) })
  t.eq({ group:get_math_metrics(), group:get_math_glyph_top_accent_attachment("a") }, { nil, 0.0 })
  f:release()
  t.raises(function() f:get_math_metrics() end, "font already transferred or freed")
end)

t.test("stretch variants and assemblies", function()
  local f = Font.load(MATH, 20)
  local v = f:get_math_glyph_shape("(", true)
  t.eq(#v.variants, 7)
  t.eq(v.variants[1].glyph_id, v.base.glyph_id)
  t.eq({ v.parts[1].extender, v.parts[2].extender, v.parts[3].extender }, { false, true, false })
  t.eq(v.minimum_connector_overlap, 0.796875)
  t.eq(v.base.advance, math.max(v.base.bitmap_height, f:get_height()))
  for _, key in ipairs({ "glyph_id", "draw_offset_x", "draw_offset_y", "bitmap_width", "bitmap_height" }) do
    t.eq(math.type(v.parts[2][key]), "integer", key)
  end
  t.truthy(v.parts[1].full_advance > 0 and v.variants[7].advance > v.variants[1].advance)

  local h = f:get_math_glyph_shape("(", false)
  t.eq({ #h.variants, #h.parts, h.base.advance, h.base.width }, { 0, 0, h.base.width, v.base.width })
  t.eq(#f:get_math_glyph_shape("=", nil).parts, 3)
  t.eq(Font.load(MONO, 20):get_math_glyph_shape("(", true),
    { variants = {}, parts = {}, minimum_connector_overlap = 0.0 })
end)

local function alpha_rows(canvas)
  local w, h = canvas:get_size()
  local rows = {}
  for y = 0, h - 1 do
    local row = {}
    for x = 0, w - 1 do row[#row + 1] = select(4, canvas:get_pixel(x, y)) end
    rows[#rows + 1] = row
  end
  return rows
end

t.test("rule masks", function()
  local f = Font.load(MATH, 20)
  local r = t.results(f:compose_math_mask({ { x = 0, y = 0, width = 10, height = 2 } }, 4))
  t.eq({ table.unpack(r, 2, 9) }, { -1, -1, 12, 4, 0, 0, 10, 2 })
  local rows = alpha_rows(r[1])
  t.eq(rows[2], { 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0 })
  t.eq({ r[1]:get_pixel(5, 2) }, { 255, 255, 255, 255 })
  r = t.results(f:compose_math_mask({ { x = 0.5, y = 0, width = 1, height = 1 } }))
  t.eq({ table.unpack(r, 2, 9) }, { -1, -1, 4, 3, 0, 0, 2, 1 })
  t.eq(alpha_rows(r[1])[2], { 0, 128, 128, 0 })
  r = t.results(f:compose_math_mask({ { x = 0.5, y = 0, width = 1, height = 1 } }, 1))
  t.eq(alpha_rows(r[1])[2], { 0, 128, 128, 0 }, "supersample 1 takes FreeType's coverage as it is")
  -- Two overlapping rules merge at full coverage.
  r = t.results(f:compose_math_mask({ { x = 0, y = 0, width = 4, height = 1 }, { x = 2, y = 0, width = 4, height = 1 } }))
  t.eq(alpha_rows(r[1])[2], { 0, 255, 255, 255, 255, 255, 255, 0 })
end)

t.test("mask errors in the order they are tested", function()
  local f = Font.load(MATH, 20)
  local rule = { x = 0, y = 0, width = 1, height = 1 }
  local many = {}
  for i = 1, 4097 do many[i] = rule end
  local cases = {
    { { {} }, 9, "supersample must not exceed 8" },
    { {}, 9, "supersample must not exceed 8" },
    { { rule }, 0, "expected a positive number in integer range" },
    { {}, nil, "expected non-empty mask component table" },
    { many, nil, "too many math mask components" },
    { { rule, 5 }, nil, "table expected, got number" },
    { { { x = 0, y = 0 } }, nil, "(element 1 field 'width': number expected, got nil)" },
    { { { x = 0, y = 1 / 0, glyph_id = 3 } }, nil, "expected a finite number in float range" },
    { { { x = 0, y = 0, glyph_id = 0 } }, nil, "expected a positive number in integer range" },
    { { { x = 0, y = 0, glyph_id = 2 ^ 31 } }, nil, "expected a finite number in integer range" },
    { { { x = 0, y = 0, width = 0, height = 1 }, { x = 0, y = 0 } }, nil, "mask rule must have a positive size" },
    { { rule, { x = 0, y = 0, width = 1, height = -1 } }, nil, "mask rule must have a positive size" },
    { { { x = 0, y = 0, width = 5000, height = 4000 } }, 1, "math mask is too large" },
    { { { x = 0, y = 0, width = 300000, height = 1 } }, 1, "math mask is too large" },
    { { { x = 0, y = 0, width = 70000, height = 1 } }, 1, "math mask is too large" }, -- past the canvas bound
    { { { x = 0, y = 0, width = 1, height = 70000 } }, 1, "math mask is too large" },
  }
  for _, c in ipairs(cases) do t.raises(function() f:compose_math_mask(c[1], c[2]) end, c[3]) end
  t.raises(function() f:compose_math_mask(5) end, "table expected")

  local at = f:get_math_glyph_shape("@").base.glyph_id
  local copies = {}
  for i = 1, 400 do copies[i] = { x = i * 20, y = 0, glyph_id = at } end
  t.raises(function() f:compose_math_mask(copies) end, "math mask is too large")
  -- Within the size limits, but thousands of tall rules in as many columns would take FreeType most of a
  -- minute; the same rules in one column are drawn.
  local spread, stacked = {}, {}
  for i = 1, 3700 do
    spread[i] = { x = i * 0.27, y = 0, width = 10, height = 1200 }
    stacked[i] = { x = 0, y = 0, width = 10, height = 1200 }
  end
  t.raises(function() f:compose_math_mask(spread) end, "math mask is too complex to rasterize")
  t.eq(select(5, f:compose_math_mask(stacked)), 1202)
  local space = f:get_math_glyph_shape(" ").base.glyph_id
  t.eq(t.results(f:compose_math_mask({ { x = 0, y = 0, glyph_id = space } })),
    t.results(nil, "math mask outline cannot be rasterized"))
  t.eq(t.results(f:compose_math_mask({ { x = 0, y = 0, glyph_id = 60000 } })),
    t.results(nil, "math mask outline cannot be rasterized"))
end)
