-- Colour SVG glyphs through the renderer: drawn as outlines without the permission; with it, drawn as boxes
-- while the worker renders them, then in their documents' colours once they settle, the worker's wake-ups
-- arriving as "expose". The fixture font and its generator are in tests/fonts/fixtures.
local t = require("qz_test")

local here = debug.getinfo(1, "S").source:match("^@(.*)/lua/render/[^/]*$")
local FIXTURE = here .. "/fonts/fixtures/svg_glyphs.ttf"
local Font = renderer.font

local BLACK, WHITE = { 0, 0, 0, 255 }, { 255, 255, 255, 255 }
local RED, GREEN, BLUE, YELLOW, MAGENTA, CYAN = { 255, 0, 0, 255 }, { 0, 255, 0, 255 }, { 0, 0, 255, 255 },
    { 255, 255, 0, 255 }, { 255, 0, 255, 255 }, { 0, 255, 255, 255 }

-- Draws "ABCDEF" (each glyph 14 px wide at 20 px, its box from x + 2 to x + 12 and y 2 to 16) and glyph 12
-- on its own at x = 90, white on black.
local function draw(font)
  return renderer.render_to_canvas(110, 20, function()
    renderer.draw_rect(0, 0, 110, 20, BLACK)
    renderer.draw_text(font, "ABCDEF", 0, 0, WHITE)
    renderer.draw_glyph(font, 12, 90, 0, WHITE)
  end)
end

local function pixel(canvas, x, y) return { canvas:get_pixel(x, y) } end

-- Polls events until no glyph is pending; returns the names of the events seen.
local function settle(font)
  local seen = {}
  for _ = 1, 400 do
    if not renderer.has_pending_glyphs() then break end
    system.wait_event(0.025)
    for name in system.poll_event do seen[#seen + 1] = name end
    draw(font)
  end
  return seen
end

t.test("without the permission the outline is drawn in the text colour", function()
  Font.allow_font_svg_glyphs(false)
  local canvas = draw(Font.load(FIXTURE, 20))
  t.eq(renderer.has_pending_glyphs(), false)
  t.eq({ pixel(canvas, 7, 5), pixel(canvas, 7, 12), pixel(canvas, 7 + 14 * 2, 10) }, { WHITE, WHITE, WHITE })
end)

t.test("with it, boxes until the worker's results settle, then the documents' colours", function()
  Font.allow_font_svg_glyphs(true)
  local font = Font.load(FIXTURE, 20)
  local canvas = draw(font)
  t.eq(renderer.has_pending_glyphs(), true)
  t.eq({ pixel(canvas, 1, 10), pixel(canvas, 7, 10), pixel(canvas, 95, 10) }, { WHITE, BLACK, BLACK },
    "a hollow box for text, nothing for a glyph id")

  local seen = settle(font)
  t.eq(renderer.has_pending_glyphs(), false)
  local exposes = 0
  for _, name in ipairs(seen) do exposes = exposes + (name == "expose" and 1 or 0) end
  t.truthy(exposes >= 1, "wake-ups arrive as expose events")

  canvas = draw(font)
  local x = function(i) return 7 + 14 * i end
  t.eq({ pixel(canvas, x(0), 5), pixel(canvas, x(0), 12), pixel(canvas, x(1), 10), pixel(canvas, x(3), 10),
    pixel(canvas, x(4), 10), pixel(canvas, 97, 10) }, { RED, BLUE, GREEN, YELLOW, MAGENTA, YELLOW })
  -- C's element is a path, drawn as any element is; F has no element: a missing glyph, drawn as a box.
  t.eq({ pixel(canvas, x(2) - 6, 10), pixel(canvas, x(2), 10), pixel(canvas, x(5) - 6, 10) }, { BLACK, CYAN, WHITE })
  Font.allow_font_svg_glyphs(false)
end)
