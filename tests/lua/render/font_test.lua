-- The Font type (renderer.font) inside a running qz (headless): loading, groups taking their members over,
-- release, queries, and the process-wide font settings.
local t = require("qz_test")

local SANS = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
local MONO = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
local SERIF = "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf"
local Font = renderer.font

local EMPTIED = "font already transferred or freed"

t.test("loading and its argument checks", function()
  local f = Font.load(SANS, 14, { embolden = 0.5 })
  t.truthy(f:get_height() > 0)
  t.same(f:get_height(), math.floor(f:get_height()) + 0.0)
  t.raises(function() Font.load(SANS .. ".missing", 14) end, "failed to load font: " .. SANS .. ".missing")
  t.raises(function() Font.load(SANS, 0) end, "expected a positive number")
  t.raises(function() Font.load(SANS, 14, 5) end, "table expected")
  t.raises(function() Font.load(SANS, 14, { embolden = 1 / 0 }) end, "expected a finite number in float range")
end)

t.test("paths that name no regular font file fail at once", function()
  local dir = t.tmpdir()
  os.remove(dir .. "/fifo")
  t.eq(os.execute("mkfifo " .. dir .. "/fifo"), true)
  for _, path in ipairs({ dir .. "/fifo", "/dev/zero", dir, SANS .. "\0.ignored" }) do
    t.raises(function() Font.load(path, 14) end, "failed to load font: ")
  end
  -- The text before the zero byte names a loadable font: the message names the path as given.
  local message = t.raises(function() Font.load(SANS .. "\0.ignored", 14) end, "failed to load font: ")
  t.eq(message:match("failed to load font: .*"), "failed to load font: " .. SANS .. "\\0.ignored (the path holds a zero byte)")
  -- A lazy member that names no regular file is skipped as unloadable, and the primary answers.
  local lazy = Font.group_lazy(Font.load(MONO, 14), { dir .. "/fifo", SANS .. "\0.ignored", "/dev/zero" }, 14)
  t.eq(lazy:has_codepoint(0x05D0), false)
  local stats = lazy:get_fallback_stats()
  t.eq({ stats.loaded, stats.successes }, { 1.0, 0.0 })
end)

t.test("a group takes its members over", function()
  local a, b = Font.load(SANS, 14), Font.load(SERIF, 14)
  local g = Font.group({ a, b })
  t.raises(function() a:get_height() end, EMPTIED)
  t.raises(function() b:get_width("x") end, EMPTIED)
  t.truthy(g:get_width("abc") > 0)
  t.eq(g:get_info().is_group, true)
  t.eq(g:get_fallback_stats().total, 2.0)
  t.raises(function() Font.group({ a }) end, "font at index 1 is invalid, transferred, or freed")
end)

t.test("refused groups leave their fonts usable", function()
  local a = Font.load(SANS, 14)
  t.raises(function() Font.group({ a, a }) end, "font at index 2 is repeated")
  t.raises(function() Font.group({ a, 5 }) end, "font at index 2 is invalid, transferred, or freed")
  t.raises(function() Font.group({}) end, "expected non-empty font table")
  t.raises(function() Font.group(a) end, "table expected")
  t.truthy(a:get_height() > 0)
end)

t.test("lazy groups", function()
  local g = Font.group({ Font.load(SANS, 14) })
  t.raises(function() Font.group_lazy(g, { SERIF }, 14) end, "failed to build lazy font group")
  t.truthy(g:get_height() > 0)

  local a = Font.load(MONO, 14)
  t.raises(function() Font.group_lazy(a, { 1 }, 14) end, "string expected, got number")
  t.truthy(a:get_height() > 0)
  local many = {}
  for i = 1, 65535 do many[i] = SERIF end
  t.raises(function() Font.group_lazy(a, many, 14) end, "too many fallback font paths")
  t.truthy(a:get_height() > 0)

  local lazy = Font.group_lazy(a, { SERIF, SANS, SERIF }, 14)
  t.raises(function() a:get_height() end, EMPTIED)
  t.raises(function() Font.group_lazy(a, {}, 14) end, "primary font already transferred or freed")
  local stats = lazy:get_fallback_stats()
  t.eq({ stats.total, stats.loaded, stats.pending, stats.attempts, stats.is_group }, { 4.0, 1.0, 3.0, 0.0, true })

  local alone = Font.load(MONO, 14)
  local single = Font.group_lazy(alone, {}, 14)
  t.eq(single:get_fallback_stats().total, 1.0)
  t.raises(function() alone:get_height() end, EMPTIED)
end)

t.test("release", function()
  local f = Font.load(SANS, 12)
  f:release()
  f:release()
  Font.release(f)
  t.raises(function() f:get_height() end, EMPTIED)
  t.raises(function() f:set_tab_size(4) end, EMPTIED)
  t.raises(function() Font.release(5) end, "Font expected")
end)

t.test("per-font settings and queries", function()
  local f = Font.load(MONO, 16)
  t.eq(f:get_antialias(), true)
  f:set_antialias(false)
  t.eq(f:get_antialias(), false)
  local with_gap = f:get_height()
  f:set_line_gap(false)
  t.eq(f:get_line_gap(), false)
  t.truthy(f:get_height() <= with_gap)
  f:set_tab_size(40)
  t.eq(f:get_width("\t"), 40.0)
  t.raises(function() f:set_tab_size(0) end, "expected a positive number in integer range")
  t.truthy(f:get_baseline() > 0)

  local info = f:get_info()
  t.eq(info.family_name, "DejaVu Sans Mono")
  t.eq(info.is_group, false)
  t.eq(math.type(info.glyph_count), "integer")
  t.eq(info.scalable, true)
  t.eq(f:get_fallback_stats(), { total = 0.0, loaded = 0.0, pending = 0.0, attempts = 0.0, successes = 0.0,
    is_group = false, resolution_cache_hits = 0.0, resolution_cache_misses = 0.0 })
  t.truthy(f:get_memory_bytes() > 0)
end)

t.test("codepoints, bounds and text positions", function()
  local f = Font.load(MONO, 16)
  t.eq(f:has_codepoint(65), true)
  t.eq(f:has_codepoint(9), true)
  t.eq(f:has_codepoint(0x10FFFF), false)
  t.raises(function() f:has_codepoint(0x110000) end, "codepoint is outside Unicode")
  t.raises(function() f:has_codepoint(-1) end, "expected a finite non-negative number in integer range")

  t.eq(f:get_text_bounds(""), nil)
  local bounds = f:get_text_bounds("Hi")
  t.truthy(bounds.width > 0 and bounds.height > 0)
  t.eq(math.type(bounds.x), "integer")

  local advance = f:get_width("a")
  t.same(f:get_text_x_offset("abc", 2), advance)
  t.same(f:get_text_x_offset("abc", 1), 0.0)
  t.same(f:get_x_offset_col("abc", advance * 2), 3)
  t.eq(f:get_text_clusters("ab"), { { 1, 2, 0, advance }, { 2, 3, advance, advance * 2 } })
  t.raises(function() f:get_text_x_offset("abc", 1.5) end, "number has no integer representation")
end)

t.test("quality settings are checked and set whole", function()
  Font.set_quality({})
  Font.set_quality({ hinting = "light", render_mode = "mono", alpha_gamma = 10, alpha_contrast = -3, embolden = 5 })
  t.raises(function() Font.set_quality({ hinting = "fancy" }) end, "unknown font hinting mode")
  t.raises(function() Font.set_quality({ render_mode = "blurry" }) end, "unknown font render mode")
  t.raises(function() Font.set_quality({ hinting = "light\0x" }) end, "unknown font hinting mode")
  t.raises(function() Font.set_quality({ render_mode = "mono\0x" }) end, "unknown font render mode")
  t.raises(function() Font.set_quality({ hinting = true }) end, "string expected")
  t.raises(function() Font.set_quality({ alpha_gamma = 0 / 0 }) end, "expected a finite number in float range")
  t.raises(function() Font.set_quality() end, "table expected")
  Font.set_quality({})
  Font.allow_font_svg_glyphs(false)
  Font.allow_font_bitmap_glyphs(false)
end)

t.test("load logs and counters", function()
  Font.drain_load_logs()
  Font.set_load_timing(true)
  Font.load(SANS, 11)
  pcall(Font.load, SANS .. ".missing", 11)
  local lines = Font.drain_load_logs()
  t.eq(#lines, 2)
  t.truthy(lines[1]:match("^%[font%-load%] ok [%d.]+ms size=11%.00 file=.*DejaVuSans%.ttf$"), lines[1])
  t.truthy(lines[2]:find("[font-load] fail", 1, true), lines[2])
  t.eq(Font.drain_load_logs(), {})
  t.raises(function() Font.set_load_timing(false, -1) end, "expected a finite non-negative number")
  Font.set_load_timing(false)

  local f = Font.load(MONO, 15)
  Font.get_perf_stats(true)
  f:has_codepoint(66)
  local counts = Font.get_perf_stats(true)
  t.eq(counts.resolve_for_codepoint_calls, 1)
  local keys = {}
  for key in pairs(counts) do keys[#keys + 1] = key end
  t.eq(#keys, 10)
  t.eq(Font.get_perf_stats().resolve_for_codepoint_calls, 0)
end)
