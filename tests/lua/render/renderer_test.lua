-- The renderer module inside a running qz (headless): frames, rendering into canvases, colours and the
-- argument checks of the drawing functions.
local t = require("qz_test")

local MONO = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"

local function pixel(c, x, y) return { c:get_pixel(x, y) } end

t.test("a red rectangle over the left half of a 4x4 canvas", function()
  local c = renderer.render_to_canvas(4, 4, function()
    renderer.draw_rect(0, 0, 2, 4, { 255, 0, 0 })
  end)
  t.eq({ c:get_size() }, { 4, 4 })
  for y = 0, 3 do
    t.eq(pixel(c, 0, y), { 255, 0, 0, 255 })
    t.eq(pixel(c, 1, y), { 255, 0, 0, 255 })
    t.eq(pixel(c, 2, y), { 0, 0, 0, 0 })
    t.eq(pixel(c, 3, y), { 0, 0, 0, 0 })
  end
end)

t.test("get_size answers the canvas while rendering into one, else the window", function()
  local w, h = renderer.get_size()
  t.truthy(w > 0 and h > 0)
  local inside
  renderer.render_to_canvas(3, 5, function() inside = { renderer.get_size() } end)
  t.eq(inside, { 3, 5 })
  t.eq({ renderer.get_size() }, { w, h })
end)

t.test("frame states", function()
  t.raises(renderer.end_frame, "renderer frame is not active")
  renderer.begin_frame()
  t.raises(renderer.begin_frame, "renderer frame is already active")
  t.raises(function() renderer.render_to_canvas(2, 2, function() end) end,
    "canvas rendering cannot begin inside another frame")
  renderer.end_frame()
  t.raises(renderer.end_frame, "renderer frame is not active")
end)

t.test("drawing outside a frame reaches neither the next frame nor a canvas", function()
  renderer.draw_rect(0, 0, 4, 4, { 255, 0, 0 })
  local c = renderer.render_to_canvas(4, 4, function() renderer.draw_rect(3, 3, 1, 1, { 0, 0, 255 }) end)
  t.eq(pixel(c, 0, 0), { 0, 0, 0, 0 })
  t.eq(pixel(c, 3, 3), { 0, 0, 255, 255 })
end)

t.test("canvases drawn outside a frame are dropped with the drawing and kept alive by nothing", function()
  local draws = {
    function(c) renderer.draw_canvas(c, 0, 0) end,
    function(c) renderer.draw_mask(c, 0, 0) end,
    function(c) renderer.draw_canvas_scaled(c, 0, 0, 8, 8, 0, 0, 16, 16) end,
    function(c) renderer.draw_canvas_tiled(c, 0, 0, 8, 8, 0, 0, 16, 16, 0, 0, 16, 16, 4) end,
  }
  local path = t.tmpdir() .. "/image.png"
  assert(canvas.save_png(renderer.render_to_canvas(64, 64, function() end), path))
  for _, draw in ipairs(draws) do
    local live = setmetatable({}, { __mode = "k" })
    for _ = 1, 30 do
      local c = assert(canvas.load_image(path))
      live[c] = true
      draw(c)
    end
    collectgarbage()
    collectgarbage()
    local count = 0
    for _ in pairs(live) do count = count + 1 end
    t.eq(count, 0, "canvases still alive")
  end
end)

t.test("inside render_to_canvas the frame belongs to the canvas", function()
  renderer.render_to_canvas(2, 2, function()
    t.raises(renderer.end_frame, "canvas rendering owns the current frame")
    t.raises(renderer.begin_frame, "renderer frame is already active")
    t.raises(function() renderer.render_to_canvas(1, 1, function() end) end, "inside another frame")
  end)
end)

t.test("an error object raised while rendering comes back unchanged and the renderer is idle", function()
  local thrown = { reason = "test" }
  local ok, err = pcall(renderer.render_to_canvas, 4, 4, function()
    renderer.draw_rect(0, 0, 4, 4)
    error(thrown)
  end)
  t.eq(ok, false)
  t.truthy(rawequal(err, thrown))
  renderer.begin_frame()
  renderer.end_frame()
  t.truthy(renderer.render_to_canvas(1, 1, function() end))
end)

t.test("render_to_canvas checks its arguments", function()
  t.raises(function() renderer.render_to_canvas(0, 4, function() end) end, "expected a positive number in integer range")
  t.raises(function() renderer.render_to_canvas(4, 4, 5) end, "function expected")
  t.raises(function() renderer.render_to_canvas(2147483647, 2147483647, function() end) end,
    "canvas dimensions are too large")
  for _, size in ipairs({ { 20000, 20000 }, { 65537, 1 }, { 1, 65537 }, { 16385, 16384 }, { 536870912, 1 } }) do
    local called = false
    t.raises(function() renderer.render_to_canvas(size[1], size[2], function() called = true end) end,
      "canvas dimensions are too large")
    t.eq(called, false, "nothing is drawn for " .. size[1] .. " x " .. size[2])
  end
  t.eq({ renderer.render_to_canvas(65536, 1, function() end):get_size() }, { 65536, 1 })
end)

local function colour_of(colour)
  local c = renderer.render_to_canvas(1, 1, function() renderer.draw_rect(0, 0, 1, 1, colour) end)
  return pixel(c, 0, 0)
end

t.test("colour tables", function()
  t.eq(colour_of({ 255, 0, 0 }), { 255, 0, 0, 255 })
  t.eq(colour_of({ 0, 0, 255, 128 }), { 0, 0, 255, 128 })
  t.eq(colour_of({ { 1, 2, 3 } }), { 1, 2, 3, 255 })
  t.eq(colour_of({ 12.7, "20", 30 }), { 12, 20, 30, 255 })
  t.eq(colour_of({ 1.0, "0x10", 3, 127.9 }), { 1, 16, 3, 127 })
  t.eq(colour_of(nil), { 255, 255, 255, 255 })
  for _, bad in ipairs({ { 1, 2 }, { 1, 2, 3, true }, { 1, 2, 3, "4" }, { { 1, 2 } }, 5, "red" }) do
    t.raises(function() colour_of(bad) end, "bad color table: expected { r, g, b, [a] }")
  end
  t.raises(function() colour_of({ 256, 0, 0 }) end, "expected a color channel from 0 to 255")
  t.raises(function() colour_of({ 0, 0, 0, -1 }) end, "expected a color channel from 0 to 255")
  t.raises(function() colour_of({ 0 / 0, 0, 0 }) end, "expected a color channel from 0 to 255")
  t.raises(function() colour_of({ 0, math.mininteger, 0 }) end, "expected a color channel from 0 to 255")
end)

t.test("polyline point counts and coordinates", function()
  local function polyline(points, width)
    renderer.render_to_canvas(4, 4, function() renderer.draw_polyline(points, width or 1) end)
  end
  t.raises(function() polyline({ 0, 0, 10 }) end, "expected at least two x, y pairs")
  t.raises(function() polyline({ 0, 0, 1, 1, 2 }) end, "expected at least two x, y pairs")
  local most = {}
  for i = 1, 131072 do most[i] = (i % 4) end
  polyline(most)
  most[131073], most[131074] = 1, 1
  t.raises(function() polyline(most) end, "polyline has too many points")
  t.raises(function() polyline({ 0, 0, 1, "1" }) end, "expected numeric x, y pairs")
  t.raises(function() polyline({ 0, 0, 1, 1 / 0 }) end, "expected finite x, y pairs")
  t.raises(function() polyline({ 0, 0, 1, 1 }, 0) end, "expected a finite positive number")
  t.raises(function() polyline({ 0, 0, 1, 1 }, 200001) end, "line width must not exceed 200000 pixels")
  t.raises(function() polyline({ 0, 0, 2147483647, 1 }) end, "polyline bounds exceed integer coordinates")
  local c = renderer.render_to_canvas(8, 8, function() renderer.draw_polyline({ 0, 4, 8, 4 }, 2, { 0, 255, 0 }) end)
  t.eq(pixel(c, 4, 4), { 0, 255, 0, 255 })
  t.eq(pixel(c, 4, 0)[4], 0)
end)

t.test("lines and antialiased rectangles check their coordinates", function()
  renderer.render_to_canvas(4, 4, function()
    t.raises(function() renderer.draw_line(0, 0 / 0, 1, 1, 1) end, "expected a finite number")
    t.raises(function() renderer.draw_line(0, 0, 1, 1, -1) end, "expected a finite positive number")
    t.raises(function() renderer.draw_line(0, 0, 1, 1, 500000) end, "line width must not exceed 200000 pixels")
    renderer.draw_line(0, 0, 1, 1, 200000)
    t.raises(function() renderer.draw_line(-2147483647, 0, 1, 1, 1) end, "line bounds exceed integer coordinates")
    t.raises(function() renderer.draw_antialiased_rect(1e39, 0, 1, 1) end, "expected a finite float coordinate")
    t.raises(function() renderer.draw_antialiased_rect(0, 0, 0, 1) end, "expected a finite positive float size")
    t.raises(function() renderer.draw_antialiased_rect(3e9, 0, 1, 1) end, "rectangle bounds exceed integer coordinates")
    renderer.draw_antialiased_rect(0.5, 0, 1, 4, { 0, 0, 255 })
  end)
end)

t.test("vertical rules: the active rule must exist", function()
  local c = renderer.render_to_canvas(10, 2, function()
    t.raises(function() renderer.draw_vertical_rules(0, 0, 1, 2, 4, 3, 3) end, "expected -1 or a valid rule index")
    t.raises(function() renderer.draw_vertical_rules(0, 0, 1, 2, 0, 3, -1) end, "expected a finite positive number")
    t.raises(function() renderer.draw_vertical_rules(2147483000, 0, 1, 2, 1000, 3, -1) end,
      "vertical rule range exceeds integer coordinates")
    renderer.draw_vertical_rules(0, 0, 1, 2, 4, 3, -1, { 255, 0, 0 }, { 0, 255, 0 })
  end)
  t.eq(pixel(c, 0, 0), { 255, 0, 0, 255 })
  t.eq(pixel(c, 4, 1), { 255, 0, 0, 255 })
  t.eq(pixel(c, 2, 0)[4], 0)
end)

t.test("canvases draw into canvases, scaled and over a checkerboard", function()
  local red = renderer.render_to_canvas(2, 2, function() renderer.draw_rect(0, 0, 2, 2, { 255, 0, 0 }) end)
  local c = renderer.render_to_canvas(8, 4, function()
    renderer.draw_canvas(red, 0, 0)
    renderer.draw_canvas_scaled(red, 0, 0, 2, 2, 4, 0, 4, 4)
  end)
  t.eq(pixel(c, 1, 1), { 255, 0, 0, 255 })
  t.eq(pixel(c, 1, 3)[4], 0)
  t.eq(pixel(c, 7, 3), { 255, 0, 0, 255 })
  local tiled = renderer.render_to_canvas(4, 4, function()
    renderer.draw_canvas_tiled(red, 0, 0, 2, 2, 0, 0, 4, 4, 0, 0, 4, 4, 2, { 0, 0, 0 }, { 255, 255, 255 })
  end)
  t.eq(pixel(tiled, 3, 3), { 255, 0, 0, 255 })
  t.raises(function() renderer.draw_canvas(5, 0, 0) end, "Canvas expected")
end)

t.test("text measures and drawing", function()
  local font = renderer.font.load(MONO, 14)
  local width = renderer.measure_text(font, "abc")
  t.truthy(width > 0)
  t.eq(renderer.measure_text(font, ""), 0)
  t.eq(renderer.measure_text(font, "abc", 10), 10 + width)
  t.eq(renderer.measure_transient_text(font, "abc", 10), 10 + width)
  t.same(font:get_width("abc"), width + 0.0)
  local after
  local c = renderer.render_to_canvas(64, 20, function()
    after = renderer.draw_text(font, "abc", 2, 0, { 0, 0, 0 })
    t.eq(renderer.draw_text_cells(font, "ab", 0, 0, nil, 9), 18)
    t.truthy(renderer.draw_glyph(font, 36, 0, 0) > 0)
    t.truthy(renderer.draw_transient_text(font, "x", 0, 0) > 0)
  end)
  t.eq(after, 2 + width)
  local inked = 0
  for x = 0, 63 do
    for y = 0, 19 do
      if select(4, c:get_pixel(x, y)) > 0 then inked = inked + 1 end
    end
  end
  t.truthy(inked > 10, "text left ink")
  t.raises(function() renderer.draw_text(c, "x", 0, 0) end, "bad argument #1 to 'draw_text' (Font expected, got Canvas)")
  t.raises(function() renderer.measure_text(5, "x") end, "bad argument #1 to 'measure_text' (Font expected, got number)")
  font:release()
  t.raises(function() renderer.draw_text(font, "x", 0, 0) end, "font already transferred or freed")
end)

t.test("get_perf_stats returns the counts before a reset", function()
  local font = renderer.font.load(MONO, 13)
  renderer.get_perf_stats(true)
  renderer.measure_text(font, "counted")
  renderer.measure_text(font, "counted")
  local before = renderer.get_perf_stats(true)
  t.eq(before.width_cache_hits + before.width_cache_misses >= 2, true)
  local after = renderer.get_perf_stats()
  t.eq(after, { width_cache_hits = 0, width_cache_misses = 0, glyph_run_cache_hits = 0, glyph_run_cache_misses = 0,
    image_tile_bytes = 0, image_tile_budget = 268435456 })
end)

t.test("a canvas drawn in a frame survives its last reference until the frame ends", function()
  local c = renderer.render_to_canvas(16, 16, function() renderer.draw_rect(0, 0, 16, 16, { 9, 9, 9 }) end)
  local watch = setmetatable({ c }, { __mode = "v" })
  renderer.begin_frame()
  renderer.draw_canvas(c, 0, 0)
  c = nil
  collectgarbage()
  collectgarbage()
  t.truthy(watch[1], "kept alive by the frame")
  renderer.end_frame()
  collectgarbage()
  t.eq(watch[1], nil)
end)

t.test("the module's table", function()
  local names = {}
  for name in pairs(renderer) do names[#names + 1] = name end
  table.sort(names)
  t.eq(names, { "begin_frame", "draw_antialiased_rect", "draw_canvas", "draw_canvas_scaled", "draw_canvas_tiled",
    "draw_checkerboard", "draw_glyph", "draw_line", "draw_mask", "draw_polyline", "draw_rect", "draw_text",
    "draw_text_cells", "draw_transient_text", "draw_vertical_rules", "end_frame", "font", "get_perf_stats",
    "get_size", "has_pending_glyphs", "invalidate_rect", "measure_text", "measure_transient_text",
    "render_to_canvas", "set_clip_rect", "set_vsync", "show_debug" })
  renderer.show_debug(false)
  t.raises(function() renderer.show_debug() end, "value expected")
end)
