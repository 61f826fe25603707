-- Every definition and option error of the window, form, control, layout and pane modules, with its message
-- and argument position, and the handles that name forms and their nodes.
local t = require("qz_test")

local function arg(position, name, message)
  return string.format("bad argument #%d to '%s' (%s)", position, name, message)
end

-- A wrong value inside a table argument: the argument, and the field or element that holds the value.
local function entry(position, name, where, message)
  return string.format("bad argument #%d to '%s' (%s: %s)", position, name, where, message)
end

-- Each case: {function, {arguments...}, exact error text}.
local function check_errors(cases)
  for i, case in ipairs(cases) do
    local ok, err = pcall(case[1], table.unpack(case[2], 1, case[2].n or #case[2]))
    t.eq(ok, false, "case " .. i .. " raised nothing")
    t.eq(err, case[3], "case " .. i)
  end
end

local RANGE = "expected a finite number in integer range"
local NON_NEGATIVE = "expected a finite non-negative number in integer range"
local CHANNEL = "expected a color channel from 0 to 255"

t.test("handles print their words; the first form of a process is Form(1:1)", function()
  local f = form.create({})
  t.eq(tostring(f), "Form(1:1)")
  local root = form.root_layout(f)
  t.eq(tostring(root):match("^Layout%(%d+:1:1%)$") ~= nil, true, tostring(root))
  t.eq(root, form.root_layout(f), "separate userdata of one node are equal")
  t.eq(tostring(root), tostring(form.root_layout(f)))
  local p1, p2 = pane.create(f, {}), pane.create(f, {})
  t.eq(p1 == p2, false)
  t.eq(getmetatable(f).__index, nil, "handles have no methods")
  for _, pair in ipairs({ { f, root }, { root, p1 }, { p1, f } }) do
    t.raises(function() return pair[1] == pair[2] end, "bad argument #2 to 'eq'")
  end
  t.eq(f == 5, false, "no metamethod for a non-userdata")
end)

t.test("stale handles keep printing and comparing; operations fail with the host's messages", function()
  local f = form.create({})
  local p = pane.create(f, {})
  local c = control.create(f, {})
  local text = tostring(f)
  t.eq(form.destroy(f), true)
  t.eq(tostring(f), text)
  t.eq(form.is_valid(f), false)
  t.eq(form.is_valid("f"), false)
  t.eq(t.results(form.get_type(f)), t.results(nil, "form does not exist"))
  t.eq(t.results(form.root_layout(f)), t.results(nil, "form does not exist"))
  t.eq(t.results(control.set_enabled(f, c, false)), t.results(nil, "form does not exist"))
  t.eq(pane.is_valid(f, p), false)
  t.eq(control.is_valid(f, c), false)
  local again = form.create({})
  t.eq(tostring(again):match("^Form%(%d+:(%d+)%)$"), "2", "the freed slot comes back with the next generation")
  t.eq(again == f, false)
  t.eq(t.results(pane.set_collapsed(again, p, true)), t.results(nil, "pane does not belong to this form"))
end)

t.test("control definitions", function()
  local f = form.create({})
  local name = "control.create"
  check_errors({
    { control.create, { 42, {} }, arg(1, name, "Form expected, got number") },
    { control.create, { f, 5 }, arg(2, name, "table expected, got number") },
    { control.create, { f, { draw = 5 } }, arg(2, name, "control callbacks must be functions when supplied") },
    { control.create, { f, { tab_stop = 1 } }, arg(2, name, "control state fields must be booleans") },
    { control.create, { f, { cursor = "IBEAM" } }, arg(2, name, "cursor must be 'arrow', 'ibeam', or 'size_we'") },
    { control.create, { f, { cursor = 5 } }, arg(2, name, "cursor must be 'arrow', 'ibeam', or 'size_we'") },
    { control.create, { f, { cursor = {} } }, entry(2, name, "field 'cursor'", "string expected, got table") },
    { control.create, { f, { text_input = 5 } }, arg(2, name, "text_input must be a table") },
    { control.create, { f, { text_input = { "x" } } }, arg(2, name, "text_input fields must use string names") },
    { control.create, { f, { text_input = { Type = "text" } } }, arg(2, name, "unknown text_input field") },
    { control.create, { f, { text_input = { type = 5 } } }, arg(2, name, "text_input type must be a string") },
    { control.create, { f, { text_input = { type = "TEXT" } } }, arg(2, name, "unsupported text_input type") },
    { control.create, { f, { text_input = { capitalization = true } } },
      arg(2, name, "text_input capitalization must be a string") },
    { control.create, { f, { text_input = { capitalization = "upper" } } },
      arg(2, name, "unsupported text_input capitalization") },
    { control.create, { f, { focusable = true, text_input = { multiline = 1 } } },
      arg(2, name, "control state fields must be booleans") },
    { control.create, { f, { text_input = { type = "password_hidden" } } },
      arg(2, name, "text_input requires focusable = true") },
    { control.create, { f, { tab_order = -1 } }, entry(2, "control.create", "field 'tab_order'", NON_NEGATIVE) },
    { control.create, { f, { width = 2 ^ 31 } }, entry(2, "control.create", "field 'width'", RANGE) },
    { control.create, { f, { height = 0 / 0 } }, entry(2, "control.create", "field 'height'", NON_NEGATIVE) },
    { control.create, { f, { name = 5 } }, arg(2, name, "control name must be a string") },
  })
  local c = control.create(f, {})
  check_errors({
    { control.is_valid, { 42, c }, arg(1, "control.is_valid", "Form expected, got number") },
    { control.set_enabled, { f, c, 1 }, arg(3, "control.set_enabled", "boolean expected, got number") },
    { control.set_visible, { f, f, true }, arg(2, "control.set_visible", "Control expected, got Form") },
    { control.redraw, { f, 5 }, arg(2, "control.redraw", "Control expected, got number") },
    { control.set_text_input_area, { f, c, 0, 0, 0, 0, -1 }, arg(7, "control.set_text_input_area", NON_NEGATIVE) },
  })
  t.eq(control.is_valid(f, 42), false)
  t.eq(control.is_valid(f, c), true)
end)

t.test("control definitions that pass", function()
  local f = form.create({})
  t.truthy(control.create(f, { tab_order = 2.9, width = 10.5, cursor = "size_we", name = "" }))
  t.truthy(control.create(f, { focusable = true, text_input = { type = "number_password_visible",
    capitalization = "letters", autocorrect = true, multiline = false } }))
  t.truthy(control.create(f, { name = "one" }))
  t.eq(t.results(control.create(f, { name = "one" })),
    t.results(nil, "a layout, pane, or control already uses this name"))
  t.eq(t.results(pane.create(f, { name = "one" })), t.results(nil, "a layout, pane, or control already uses this name"))
end)

t.test("form options", function()
  local f = form.create({})
  local c = control.create(f, {})
  local name = "form.create"
  check_errors({
    { form.create, { 5 }, arg(1, name, "table expected, got number") },
    { form.create, { {} , n = 0 }, arg(1, name, "table expected, got no value") },
    { form.create, { { type = "standard" } }, arg(1, name, "type must be 'dialog' when supplied") },
    { form.create, { { type = 1 } }, arg(1, name, "type must be 'dialog' when supplied") },
    { form.create, { { name = {} } }, entry(1, name, "field 'name'", "string expected, got table") },
    { form.create, { { background = 5 } }, entry(1, name, "field 'background'", "table expected, got number") },
    { form.create, { { background = { 256, 0, 0 } } }, entry(1, "form.create", "field 'background' element 1", CHANNEL) },
    { form.create, { { background = { 0, 0, 0, -1 } } }, entry(1, "form.create", "field 'background' element 4", CHANNEL) },
    { form.create, { { background = { 0, 0 } } },
      entry(1, name, "field 'background' element 3", "number expected, got nil") },
    { form.create, { { root_layout = "columns" } }, arg(1, name, "root_layout must be 'rows' or 'cols'") },
    { form.create, { { gap = -1 } }, entry(1, "form.create", "field 'gap'", NON_NEGATIVE) },
    { form.create, { { padding_bottom = 1 / 0 } }, entry(1, "form.create", "field 'padding_bottom'", NON_NEGATIVE) },
    { form.set_background, { f, 5 }, arg(2, "form.set_background", "table expected, got number") },
    { form.bind_lifecycle, { f, 5 }, arg(2, "form.bind_lifecycle", "table expected, got number") },
    { form.close, { f, {} }, arg(2, "form.close", "string expected, got table") },
    { form.defer, { 5 }, arg(1, "form.defer", "function expected, got number") },
    { form.set_overlay, { f, c, 5 }, arg(3, "form.set_overlay", "table expected, got number") },
    { form.set_overlay, { f, c, { x = 1 } }, entry(3, "form.set_overlay", "field 'y'", "number expected, got nil") },
    { form.set_overlay, { f, c, { x = 1, y = 1, width = -1, height = 1 } },
      entry(3, "form.set_overlay", "field 'width'", NON_NEGATIVE) },
    { form.set_anchored_overlay, { f, c, c }, arg(4, "form.set_anchored_overlay", "table expected, got no value") },
    { form.set_anchored_overlay, { f, c, c, { position = "left" } },
      arg(4, "form.set_anchored_overlay", "position must be below or right") },
    { form.set_anchored_overlay, { f, c, c, { gap = -1 } }, entry(4, "form.set_anchored_overlay", "field 'gap'", NON_NEGATIVE) },
    { form.set_anchored_overlay, { f, c, c, { anchor_bounds = 5 } },
      entry(4, "form.set_anchored_overlay", "field 'anchor_bounds'", "table expected, got number") },
    { form.set_anchored_overlay, { 5, c, c, {} }, arg(1, "form.set_anchored_overlay", "Form expected, got number") },
    { form.attach_to_pane, { f, c }, arg(2, "form.attach_to_pane", "Pane expected, got Control") },
  })
  t.eq(form.get_type(form.create({ type = "dialog", name = 7, background = { 1, 2, 3, 4 } })), "dialog")
  t.eq(t.results(form.close(f)), t.results(nil, "Form has no Lua lifecycle"))
  t.eq(t.results(form.get_host(f)), t.results(nil))
end)

t.test("layout and pane options", function()
  local f = form.create({})
  local p = pane.create(f, {})
  local c = control.create(f, {})
  local PERCENT = "percentage length must contain a non-negative finite number followed by '%'"
  local cases = {
    { layout.rows, { f, 5 }, arg(2, "layout.rows", "table expected, got number") },
    { layout.cols, { f, { name = 5 } }, arg(2, "layout.cols", "layout name must be a string") },
    { layout.rows, { f, { padding_top = -1 } }, entry(2, "layout.rows", "field 'padding_top'", NON_NEGATIVE) },
    { layout.append, { f, p, p }, arg(2, "layout.append", "Layout expected, got Pane") },
    { pane.create, { f }, arg(2, "pane.create", "table expected, got no value") },
    { pane.set_collapsed, { f, p }, arg(3, "pane.set_collapsed", "boolean expected, got no value") },
    { pane.attach, { f, p, c, 5 }, arg(4, "pane.attach", "table expected, got number") },
    { pane.attach, { f, p, c, { horizontal = "middle" } },
      arg(4, "pane.attach", "horizontal must be 'left', 'center', 'right', or 'stretch'") },
    { pane.attach, { f, p, c, { vertical = 5 } },
      arg(4, "pane.attach", "vertical must be 'top', 'center', 'bottom', or 'stretch'") },
    { pane.attach, { f, p, c, { horizontal = {} } },
      entry(4, "pane.attach", "field 'horizontal'", "string expected, got table") },
    { pane.attach, { f, p, c, { margin_left = -1 } }, entry(4, "pane.attach", "field 'margin_left'", NON_NEGATIVE) },
    { pane.attach, { f, c, p }, arg(3, "pane.attach", "Control expected, got Pane") },
    { pane.is_valid, { p, p }, arg(1, "pane.is_valid", "Form expected, got Pane") },
  }
  local pane_errors = {
    { { width = "10" }, "pane dimensions must be DIP numbers" },
    { { height = -1 }, "pane dimensions must be non-negative finite DIP numbers in range" },
    { { width = 2 ^ 31 }, "pane dimensions must be non-negative finite DIP numbers in range" },
    { { width = 0 / 0 }, "pane dimensions must be non-negative finite DIP numbers in range" },
    { { length = -5 }, "DIP length must be non-negative and finite" },
    { { length = 1 / 0 }, "DIP length must be non-negative and finite" },
    { { length = true }, "length must be a DIP number, percentage, 'content', or 'weighted'" },
    { { length = "weighted", weight = 0 }, "weighted length requires a positive 'weight' in range" },
    { { minimum_width = 10, maximum_width = 5 }, "pane maximum size cannot be smaller than its minimum" },
    { { collapsed = 1 }, "pane boolean fields must be booleans" },
    { { name = 5 }, "pane name must be a string" },
  }
  for _, text in ipairs({ "%", "5 %", " 5%", "+5%", "abc%", "-5%", "0x10%", "inf%", "nan%", "5%%", "50" }) do
    pane_errors[#pane_errors + 1] = { { length = text }, PERCENT }
  end
  for _, case in ipairs(pane_errors) do
    cases[#cases + 1] = { pane.create, { f, case[1] }, arg(2, "pane.create", case[2]) }
  end
  check_errors(cases)
  t.raises(function() pane.create(f, { length = "weighted", weight = -1 }) end, NON_NEGATIVE)
  t.raises(function() pane.create(f, { maximum_height = 2 ^ 31 }) end, RANGE)
  for _, options in ipairs({ { length = "50%", width = 10.5 }, { length = "0.5e1%" }, { length = "weighted" },
    { minimum_width = 10 }, { length = 0 }, { width = 2147483646.6 } }) do
    t.truthy(pane.create(f, options))
  end
  t.eq(pane.is_valid(f, form.root_layout(f)), false)
  t.eq(pane.is_valid(f, p), true)
end)

t.test("window options", function()
  local w = assert(window.create({ visible = false }))
  local name = "window.create"
  check_errors({
    { window.create, { 5 }, arg(1, name, "table expected, got number") },
    { window.create, { { title = {} } }, entry(1, name, "field 'title'", "string expected, got table") },
    { window.create, { { width = 0 } }, entry(1, name, "field 'width'", "expected a positive number in integer range") },
    { window.create, { { height = 2 ^ 31 } }, entry(1, name, "field 'height'", RANGE) },
    { window.create, { { owner_id = 0 } }, arg(1, name, "owner_id must be a positive window id") },
    { window.create, { { owner_id = 1.5 } }, entry(1, name, "field 'owner_id'", "number has no integer representation") },
    { window.create, { { modality = "modal" } }, entry(1, name, "field 'modality'", "invalid option 'modal'") },
    { window.create, { { frame = 1 } }, entry(1, name, "field 'frame'", "invalid option '1'") },
    { window.create, { { visible = 1 } }, arg(1, name, "window boolean field expected") },
    { window.close, { 0 }, arg(1, "window.close", "window id must be positive") },
    { window.close, { "x" }, arg(1, "window.close", "number expected, got string") },
    { window.set_visible, { w }, arg(2, "window.set_visible", "boolean expected, got no value") },
    { window.with_render_target, { w, 5 }, arg(2, "window.with_render_target", "function expected, got number") },
    { window._queue_test_event, { w }, arg(2, "window._queue_test_event", "table expected, got no value") },
    { window._queue_test_event, { w, { shift = 1 } }, arg(2, "window._queue_test_event", "window boolean field expected") },
    { window._queue_test_event, { w, { text_start = 1 / 0 } },
      entry(2, "window._queue_test_event", "field 'text_start'", RANGE) },
    { window.attach_form, { w, 5 }, arg(2, "window.attach_form", "Form expected, got number") },
    { window.get_form, { -3 }, arg(1, "window.get_form", "window id must be positive") },
  })
  t.eq(t.results(window.create({ modality = "owner_modal", visible = false })),
    t.results(nil, "owner-modal windows require an owner"))
  t.eq(t.results(window.create({ owner_id = 9999, visible = false })), t.results(nil, "window owner does not exist"))
end)
