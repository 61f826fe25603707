-- What a wrong argument's error says: the function it went to, also when Lua sees no name for the call (a
-- method or a function of a module's inner table handed to pcall), and the field or element of a table
-- argument that was wrong, never "extra argument #-1".
local t = require("qz_test")

local FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

-- The error text of f(...), raised in a call that Lua cannot name.
local function error_of(f, ...)
  local ok, err = pcall(f, ...)
  t.eq(ok, false, "the call raised")
  return err
end

t.test("methods and inner module functions are named when pcall calls them", function()
  local font = renderer.font.load(FONT, 12)
  local canvas = renderer.render_to_canvas(2, 2, function() end)
  local database = db.open()
  local document = xml.parse("<a/>")
  local reader = pack.zip.open_memory_read(select(1, (function()
    local path = t.tmpdir() .. "/one.zip"
    local writer = pack.zip.open_file_create(path)
    writer:add_memory("a", "x")
    writer:close()
    return system.read_file(path)
  end)()))
  local cases = {
    { font.get_width, { font, {} }, "bad argument #2 to 'renderer.font.get_width' (string expected, got table)" },
    { font.get_text_x_offset, { font, "abc", "x" },
      "bad argument #3 to 'renderer.font.get_text_x_offset' (number expected, got string)" },
    { renderer.font.group_lazy, { 5 }, "bad argument #1 to 'renderer.font.group_lazy' (Font expected, got number)" },
    { canvas.get_pixel, { canvas, "a", 1 }, "bad argument #2 to 'Canvas.get_pixel' (number expected, got string)" },
    { database.exec, { database, {} }, "bad argument #2 to 'DB.exec' (string expected, got table)" },
    { document.serialize, { document, 5 }, "bad argument #2 to 'XmlDocument.serialize' (table expected, got number)" },
    { reader.read, { reader, {} }, "bad argument #2 to 'PackZipReader.read'" },
    { pack.zlib.compress, { {} }, "bad argument #1 to 'pack.zlib.compress' (string expected, got table)" },
    { pack.zip.open_memory_read, { {} }, "bad argument #1 to 'pack.zip.open_memory_read' (string expected, got table)" },
  }
  local wrong = {}
  for _, case in ipairs(cases) do
    local f, args, expected = case[1], case[2], case[3]
    local err = error_of(f, table.unpack(args))
    if err:sub(1, #expected) ~= expected then wrong[#wrong + 1] = err end
  end
  t.eq(wrong, {})
  database:close()
end)

t.test("a module of the scripts named like a type or an inner table loads through require", function()
  local names = { "Canvas", "DB", "DB.AsyncExec", "XmlDocument", "PackZipReader", "pack.zlib", "renderer.font" }
  local loaded = {}
  for _, name in ipairs(names) do
    package.preload[name] = function() return { mine = name } end
    local ok, module = pcall(require, name)
    loaded[#loaded + 1] = ok and type(module) == "table" and module.mine or tostring(module)
    package.loaded[name], package.preload[name] = nil, nil
  end
  t.eq(loaded, names)
  local canvas = renderer.render_to_canvas(2, 2, function() end)
  t.eq(error_of(canvas.get_pixel, canvas, "a", 1), "bad argument #2 to 'Canvas.get_pixel' (number expected, got string)")
end)

t.test("a method called with a colon keeps Lua's own name and numbering", function()
  local font = renderer.font.load(FONT, 12)
  t.raises(function() font:get_width({}) end, "bad argument #1 to 'get_width' (string expected, got table)")
end)

t.test("a wrong field of an options table names the argument, the function and the field", function()
  local font = renderer.font.load(FONT, 12)
  local f = form.create({})
  local p = pane.create(f, {})
  local c = control.create(f, {})
  local cases = {
    { renderer.font.load, { FONT, 12, { embolden = "x" } },
      "bad argument #3 to 'renderer.font.load' (field 'embolden': number expected, got string)" },
    { renderer.font.group_lazy, { renderer.font.load(FONT, 12), { FONT, 5 }, 12 },
      "bad argument #2 to 'renderer.font.group_lazy' (element 2: string expected, got number)" },
    { pane.attach, { f, p, c, { horizontal = {} } },
      "bad argument #4 to 'pane.attach' (field 'horizontal': string expected, got table)" },
    { renderer.font.set_quality, { { alpha_gamma = {} } },
      "bad argument #1 to 'renderer.font.set_quality' (field 'alpha_gamma': number expected, got table)" },
    { renderer.font.set_quality, { { hinting = {} } },
      "bad argument #1 to 'renderer.font.set_quality' (field 'hinting': string expected, got table)" },
    { window.create, { { modality = "bogus" } },
      "bad argument #1 to 'window.create' (field 'modality': invalid option 'bogus')" },
    { window.create, { { frame = {} } }, "bad argument #1 to 'window.create' (field 'frame': string expected, got table)" },
    { window.create, { { title = {} } }, "bad argument #1 to 'window.create' (field 'title': string expected, got table)" },
    { window.create, { { width = "x" } }, "bad argument #1 to 'window.create' (field 'width': number expected, got string)" },
    { window.create, { { owner_id = 1.5 } },
      "bad argument #1 to 'window.create' (field 'owner_id': number has no integer representation)" },
    { window._queue_test_event, { 1, { text_start = {} } },
      "bad argument #2 to 'window._queue_test_event' (field 'text_start': number expected, got table)" },
    { form.create, { { name = {} } }, "bad argument #1 to 'form.create' (field 'name': string expected, got table)" },
    { form.create, { { gap = "x" } }, "bad argument #1 to 'form.create' (field 'gap': number expected, got string)" },
    { form.create, { { background = 5 } },
      "bad argument #1 to 'form.create' (field 'background': table expected, got number)" },
    { form.create, { { background = { "x", 1, 1 } } },
      "bad argument #1 to 'form.create' (field 'background' element 1: number expected, got string)" },
    { form.set_background, { f, { 1, 2 } },
      "bad argument #2 to 'form.set_background' (element 3: number expected, got nil)" },
    { form.set_overlay, { f, c, { x = "x", y = 0, width = 1, height = 1 } },
      "bad argument #3 to 'form.set_overlay' (field 'x': number expected, got string)" },
    { form.set_anchored_overlay, { f, c, c, { width = "x" } },
      "bad argument #4 to 'form.set_anchored_overlay' (field 'width': number expected, got string)" },
    { form.set_anchored_overlay, { f, c, c, { anchor_bounds = 5 } },
      "bad argument #4 to 'form.set_anchored_overlay' (field 'anchor_bounds': table expected, got number)" },
    { layout.rows, { f, { gap = "x" } }, "bad argument #2 to 'layout.rows' (field 'gap': number expected, got string)" },
    { pane.create, { f, { minimum_width = "x" } },
      "bad argument #2 to 'pane.create' (field 'minimum_width': number expected, got string)" },
    { pane.create, { f, { length = "weighted", weight = {} } },
      "bad argument #2 to 'pane.create' (field 'weight': number expected, got table)" },
    { pane.attach, { f, p, c, { margin_left = "x" } },
      "bad argument #4 to 'pane.attach' (field 'margin_left': number expected, got string)" },
    { control.create, { f, { width = "x" } },
      "bad argument #2 to 'control.create' (field 'width': number expected, got string)" },
    { control.create, { f, { tab_order = {} } },
      "bad argument #2 to 'control.create' (field 'tab_order': number expected, got table)" },
    { control.create, { f, { cursor = {} } },
      "bad argument #2 to 'control.create' (field 'cursor': string expected, got table)" },
    { control.create, { f, { focusable = true, text_input = { type = 5 } } },
      "bad argument #2 to 'control.create' (text_input type must be a string)" },
    { control.create, { f, { focusable = true, text_input = { multiline = 5 } } },
      "bad argument #2 to 'control.create' (control state fields must be booleans)" },
    { ui_font.create, { { path = 5, size = 12 } },
      "bad argument #1 to 'ui_font.create' (field 'path': string expected, got number)" },
    { ui_font.create, { { path = FONT, size = "x" } },
      "bad argument #1 to 'ui_font.create' (field 'size': number expected, got string)" },
    { ui_font.create, { { path = FONT, size = 12, fallbacks = { FONT, 5 } } },
      "bad argument #1 to 'ui_font.create' (field 'fallbacks' element 2: string expected, got number)" },
    { ui_font.create, { { path = FONT, size = 12, line_gap = 1 } },
      "bad argument #1 to 'ui_font.create' (field 'line_gap': boolean expected, got number)" },
    { system.show_message_box, { { type = "bogus" } },
      "bad argument #1 to 'system.show_message_box' (field 'type': invalid option 'bogus')" },
    { font.compose_math_mask, { font, { 5 } },
      "bad argument #2 to 'renderer.font.compose_math_mask' (element 1: table expected, got number)" },
    { font.compose_math_mask, { font, { { x = 0, y = 0 } } },
      "bad argument #2 to 'renderer.font.compose_math_mask' (element 1 field 'width': number expected, got nil)" },
    { font.compose_math_mask, { font, { { x = 0, y = 0, width = 1, height = 1 }, { x = "a", y = 0, glyph_id = 3 } } },
      "bad argument #2 to 'renderer.font.compose_math_mask' (element 2 field 'x': number expected, got string)" },
    { font.compose_math_mask, { font, { { x = 0, y = 0, glyph_id = {} } } },
      "bad argument #2 to 'renderer.font.compose_math_mask' (element 1 field 'glyph_id': number expected, got table)" },
    { text.detect_indent, { { "  a", {} } },
      "bad argument #1 to 'text.detect_indent' (element 2: string expected, got table)" },
    { web.download, { "http://127.0.0.1:9/", t.tmpdir() .. "/download", { max_size = "x" } },
      "bad argument #3 to 'web.download' (field 'max_size': number expected, got string)" },
    { web.download, { "http://127.0.0.1:9/", t.tmpdir() .. "/download", { method = "POST", body = {} } },
      "bad argument #3 to 'web.download' (field 'body': string expected, got table)" },
  }
  local wrong = {}
  for _, case in ipairs(cases) do
    local f, args, expected = case[1], case[2], case[3]
    local err = error_of(f, table.unpack(args))
    if err ~= expected then wrong[#wrong + 1] = err .. " (expected: " .. expected .. ")" end
  end
  t.eq(wrong, {})
end)

t.test("a value inside a table that passes its type but not its range names the function and the field too", function()
  local font = renderer.font.load(FONT, 12)
  local f = form.create({})
  local p = pane.create(f, {})
  local c = control.create(f, {})
  local POSITIVE = "expected a positive number in integer range"
  local NON_NEGATIVE = "expected a finite non-negative number in integer range"
  local INTEGER = "expected a finite number in integer range"
  local FLOAT = "expected a finite number in float range"
  local CHANNEL = "expected a color channel from 0 to 255"
  local cases = {
    { window.create, { { width = -5 } }, 1, "window.create", "field 'width'", POSITIVE },
    { window.create, { { height = 1e300 } }, 1, "window.create", "field 'height'", INTEGER },
    { window.create, { { width = 0 / 0 } }, 1, "window.create", "field 'width'", POSITIVE },
    { window._queue_test_event, { 1, { text_start = 1 / 0 } }, 2, "window._queue_test_event", "field 'text_start'",
      INTEGER },
    { layout.rows, { f, { gap = -1 } }, 2, "layout.rows", "field 'gap'", NON_NEGATIVE },
    { layout.cols, { f, { padding_bottom = 2 ^ 31 } }, 2, "layout.cols", "field 'padding_bottom'", INTEGER },
    { form.create, { { gap = -1 } }, 1, "form.create", "field 'gap'", NON_NEGATIVE },
    { form.create, { { background = { 256, 0, 0 } } }, 1, "form.create", "field 'background' element 1", CHANNEL },
    { form.set_background, { f, { 0, 0, 0, -1 } }, 2, "form.set_background", "element 4", CHANNEL },
    { form.set_overlay, { f, c, { x = 1 / 0, y = 0, width = 1, height = 1 } }, 3, "form.set_overlay", "field 'x'",
      INTEGER },
    { form.set_anchored_overlay, { f, c, c, { width = -1 } }, 4, "form.set_anchored_overlay", "field 'width'",
      NON_NEGATIVE },
    { pane.create, { f, { minimum_width = -1 } }, 2, "pane.create", "field 'minimum_width'", NON_NEGATIVE },
    { pane.create, { f, { length = "weighted", weight = -1 } }, 2, "pane.create", "field 'weight'", NON_NEGATIVE },
    { pane.attach, { f, p, c, { margin_left = -1 } }, 4, "pane.attach", "field 'margin_left'", NON_NEGATIVE },
    { control.create, { f, { tab_order = -1 } }, 2, "control.create", "field 'tab_order'", NON_NEGATIVE },
    { control.create, { f, { width = 2 ^ 31 } }, 2, "control.create", "field 'width'", INTEGER },
    { ui_font.create, { { path = FONT, size = 0 } }, 1, "ui_font.create", "field 'size'", "expected a positive number" },
    { ui_font.create, { { path = FONT, size = 1e39 } }, 1, "ui_font.create", "field 'size'", FLOAT },
    { ui_font.create, { { path = FONT, size = 12, embolden = 0 / 0 } }, 1, "ui_font.create", "field 'embolden'", FLOAT },
    { renderer.font.load, { FONT, 12, { embolden = 1 / 0 } }, 3, "renderer.font.load", "field 'embolden'", FLOAT },
    { renderer.font.set_quality, { { alpha_gamma = 0 / 0 } }, 1, "renderer.font.set_quality", "field 'alpha_gamma'",
      FLOAT },
    { font.compose_math_mask, { font, { { x = 0, y = 0, glyph_id = 0 } } }, 2, "renderer.font.compose_math_mask",
      "element 1 field 'glyph_id'", POSITIVE },
    { font.compose_math_mask, { font, { { x = 0, y = 1 / 0, glyph_id = 3 } } }, 2, "renderer.font.compose_math_mask",
      "element 1 field 'y'", FLOAT },
  }
  local wrong = {}
  for _, case in ipairs(cases) do
    local expected = string.format("bad argument #%d to '%s' (%s: %s)", case[3], case[4], case[5], case[6])
    local err = error_of(case[1], table.unpack(case[2]))
    if err ~= expected then wrong[#wrong + 1] = err .. " (expected: " .. expected .. ")" end
  end
  t.eq(wrong, {})
  -- The honest values beside each bound pass.
  t.truthy(window.create({ width = 1, height = 2147483647, visible = false }))
  t.truthy(layout.rows(f, { gap = 0, padding_bottom = 2147483647 }))
  t.truthy(form.create({ gap = 0, background = { 255, 0, 0, 0 } }))
  t.truthy(pane.create(f, { minimum_width = 0, length = "weighted", weight = 1 }))
  t.truthy(control.create(f, { tab_order = 0, width = 2147483647 }))
  t.truthy(ui_font.create({ path = FONT, size = 1e-3, embolden = 0 }))
end)
