-- Tiled canvases in the main window of a running qz (headless, software SDL renderer): the tile bytes that
-- get_perf_stats reports, their release with the canvas, set_vsync and the arguments of draw_canvas_tiled.
local t = require("qz_test")

local function tile_bytes() return renderer.get_perf_stats().image_tile_bytes end

local function tiled_frame(canvas, dw, dh)
  local w, h = renderer.get_size()
  renderer.begin_frame()
  renderer.draw_rect(0, 0, w, h, { 20, 20, 20 })
  renderer.draw_canvas_tiled(canvas, 0, 0, 4096, 4096, 0, 0, dw, dh, 0, 0, w, h, 8, { 0, 0, 0 }, { 9, 9, 9 })
  renderer.end_frame()
end

t.test("tiles of a 4096 x 4096 canvas at two sizes, released with the canvas", function()
  local w, h = renderer.get_size()
  t.truthy(w > 512 and h > 512, "the window shows all four tiles of the first size")
  t.eq(renderer.get_perf_stats().image_tile_budget, 268435456)
  local before = tile_bytes()
  local canvas = renderer.render_to_canvas(4096, 4096, function() renderer.draw_rect(0, 0, 4096, 4096, { 255, 0, 0 }) end)
  tiled_frame(canvas, 1024, 1024) -- level of detail 4: four 512 x 512 tiles
  t.eq(tile_bytes() - before, 4194304)
  tiled_frame(canvas, 10, 10) -- level of detail 64: one 64 x 64 tile more
  t.eq(tile_bytes() - before, 4194304 + 16384)
  canvas = nil
  collectgarbage()
  collectgarbage()
  t.eq(tile_bytes(), before)
end)

t.test("set_vsync takes a boolean", function()
  renderer.set_vsync(true)
  renderer.set_vsync(false)
  t.raises(function() renderer.set_vsync(1) end, "boolean expected")
  t.raises(function() renderer.set_vsync() end, "boolean expected")
end)

t.test("draw_canvas_tiled checks its arguments before drawing", function()
  local canvas = renderer.render_to_canvas(4, 4, function() end)
  local function tiled(...)
    local args = table.pack(...)
    return function() renderer.draw_canvas_tiled(canvas, table.unpack(args, 1, args.n)) end
  end
  t.raises(tiled(0, 0, 0, 4, 0, 0, 4, 4, 0, 0, 4, 4, 2), "expected a positive number in integer range")
  t.raises(tiled(0, 0, 4, 4, 0, 0, 4, 4, 0, 0, -1, 4, 2), "expected a finite non-negative number in integer range")
  t.raises(tiled(0, 0, 4, 4, 0, 0, 4, 4, 0, 0, 4, 4, 0), "expected a positive number in integer range")
  t.raises(tiled(0, 0, 4, 4, 0, 0, 4, 4, 0, 0, 4, 4, 2, { 1, 2 }), "bad color table")
end)
