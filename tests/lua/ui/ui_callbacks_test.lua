-- Lua controls and form lifecycles inside a running qz: the canvas in and out of its callbacks, callback
-- failures reported once through core.on_error, event results, deferred work and lifecycle completion.
local t = require("qz_test")

local SANS = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

local reports = {}
core = { on_error = function(message) reports[#reports + 1] = message end }

local function settle()
  while system.poll_event() do end
end

local function take_reports()
  local taken = reports
  reports = {}
  return taken
end

-- A form in a hidden window with one focusable control filling it.
local function shown(definition, width, height)
  local f = form.create({})
  local p = assert(pane.create(f, { length = "weighted" }))
  assert(layout.append(f, form.root_layout(f), p))
  definition.focusable = true
  local c = assert(control.create(f, definition))
  assert(pane.attach(f, p, c))
  local w = assert(window.create({ width = width or 60, height = height or 40, visible = false }))
  assert(window.attach_form(w, f))
  settle()
  return f, c, w
end

t.test("the canvas works only inside its control's callbacks", function()
  local font = ui_font.create({ path = SANS, size = 12 })
  ui_glyph.register_shape("callbacks.cross", "cross")
  local kept, results = nil, {}
  shown({
    draw = function(_, canvas)
      kept = canvas
      results.size = { canvas:size() }
      results.measured = { canvas:measure_text(font, "Hi") }
      canvas:fill_rect(0, 0, 5, 5, { 255, 0, 0 })
      canvas:draw_rect(0, 0, 5, 5, 4096, { 0, 0, 0, 0 })
      canvas:fill_frame(1, 1, 3, 3, { 1, 2, 3 })
      canvas:draw_frame(0, 0, 9, 9, 1, { 1, 2, 3 })
      canvas:fill_circle(0, 0, 4, { 1, 2, 3 })
      canvas:draw_circle(0, 0, 4, 1, { 1, 2, 3 })
      canvas:draw_horizontal_line(0, 3, 10, 1, { 1, 2, 3 })
      canvas:draw_glyph("callbacks.cross", 0, 0, 10, 10, { 1, 2, 3 })
      results.after = canvas:draw_text(font, "Hi", 5, 0, { 255, 255, 255 })
      results.x = canvas:text_x(font, "Hi", 3)
      results.column = canvas:text_column(font, "Hi", 1000)
      results.clusters = canvas:text_clusters(font, "Hi")
      results.errors = {
        select(2, pcall(function() canvas:draw_rect(0, 0, 5, 5, 4097, { 0, 0, 0 }) end)),
        select(2, pcall(canvas.draw_rect, canvas, 0, 0, 5, 5, 0, { 0, 0, 0 })),
        select(2, pcall(canvas.fill_rect, canvas, 2147483640, 0, 8, 5, { 0, 0, 0 })),
        select(2, pcall(canvas.fill_rect, canvas, 2147483640, 0, 7, 5, { 0, 0, 0 })) or "passed",
        select(2, pcall(canvas.fill_rect, canvas, 0, 0, 1, 1, { 0, 0, 256 })),
        select(2, pcall(canvas.fill_rect, canvas, 0, 0, 1, 1, { 0, 0 })),
        select(2, pcall(canvas.draw_glyph, canvas, "no such glyph", 0, 0, 1, 1, { 0, 0, 0 })),
        select(2, pcall(canvas.measure_text, canvas, {}, "x")),
      }
    end,
  })
  t.eq(results.size, { 60, 40 })
  t.eq(#results.measured, 2)
  t.truthy(results.after > 5, "x after the text, relative to the control")
  t.eq({ results.x, results.column, #results.clusters, #results.clusters[1] },
    { results.after - 5, 3, 2, 4 })
  local here = "^.-ui_callbacks_test%.lua:%d+: "
  t.eq((results.errors[1]:gsub(here, "")),
    "calling 'draw_rect' on bad self (rectangle size must be non-negative and frame width must be between 1 and 4096)")
  t.eq({ table.unpack(results.errors, 2) }, {
    "bad argument #6 to 'ControlCanvas.draw_rect' (expected a positive number in integer range)",
    "bad argument #1 to 'ControlCanvas.fill_rect' (rectangle position is outside the supported coordinate range)",
    "passed",
    "bad argument #6 to 'ControlCanvas.fill_rect' (element 3: expected a color channel from 0 to 255)",
    "bad argument #6 to 'ControlCanvas.fill_rect' (element 3: number expected, got nil)",
    "bad argument #2 to 'ControlCanvas.draw_glyph' (unknown UI glyph name)",
    "bad argument #2 to 'ControlCanvas.measure_text' (UiFont expected, got table)",
  })
  t.eq(getmetatable(kept), "protected control canvas")
  t.raises(function() kept:size() end, "control canvas can only be used inside its callback")
  t.raises(function() kept:fill_rect(0, 0, 1, 1, { 0, 0, 0 }) end,
    "drawing is available only inside the control's draw callback")
  t.raises(function() kept.size(form.create({})) end, "bad argument #1 to 'size' (expected a control canvas)")
  t.eq(take_reports(), {})
end)

t.test("canvas coordinates are relative to the control's origin", function()
  local font = ui_font.create({ path = SANS, size = 12 })
  local results = {}
  local f = form.create({ padding_left = 100 })
  local p = assert(pane.create(f, { length = "weighted" }))
  assert(layout.append(f, form.root_layout(f), p))
  local c = assert(control.create(f, { draw = function(_, canvas)
    results.far = select(2, pcall(canvas.fill_rect, canvas, 2147483548, 0, 0, 0, { 0, 0, 0 }))
    results.near = pcall(canvas.fill_rect, canvas, 2147483547, 0, 0, 0, { 0, 0, 0 })
    results.after = canvas:draw_text(font, "Hi", 5, 0, { 255, 255, 255 })
    results.width = canvas:measure_text(font, "Hi")
  end }))
  assert(pane.attach(f, p, c))
  local w = assert(window.create({ width = 200, height = 40, visible = false }))
  assert(window.attach_form(w, f))
  settle()
  t.eq(results.far,
    "bad argument #1 to 'ControlCanvas.fill_rect' (rectangle position is outside the supported coordinate range)")
  t.eq(results.near, true)
  t.eq(results.after, 5 + results.width)
end)

t.test("measure and event phases measure text but do not draw", function()
  local font = ui_font.create({ path = SANS, size = 12 })
  local seen = {}
  local f, c = shown({
    measure = function(_, canvas)
      seen.measure = { canvas:size() }
      seen.measure_draw = select(2, pcall(canvas.fill_rect, canvas, 0, 0, 1, 1, { 0, 0, 0 }))
      return 1, 1
    end,
    event = function(_, event, canvas)
      seen[#seen + 1] = event.kind
      seen.width = canvas:measure_text(font, "x")
      seen.event_draw = select(2, pcall(canvas.fill_rect, canvas, 0, 0, 1, 1, { 0, 0, 0 }))
      return { focus = "unchanged", cursor = "ibeam" }
    end,
  })
  assert(form.focus(f, c))
  t.eq(seen.measure, { 0, 0 }, "the first measure sees the bounds before layout")
  t.eq(seen.measure_draw,
    "bad argument #1 to 'ControlCanvas.fill_rect' (drawing is available only inside the control's draw callback)")
  t.eq(seen.event_draw, seen.measure_draw)
  t.eq({ seen[1], seen.width > 0 }, { "focus_gained", true })
end)

t.test("failing callbacks are reported once and switched off", function()
  local calls = { measure = 0, draw = 0, event = 0 }
  local definition = {
    width = 7,
    measure = function() calls.measure = calls.measure + 1; return -1, 5 end,
    draw = function() calls.draw = calls.draw + 1; error("draw broke") end,
    event = function() calls.event = calls.event + 1; return { capture = "ACQUIRE" } end,
  }
  local f, c, w = shown(definition)
  local other = assert(control.create(f, { focusable = true }))
  local p = assert(pane.create(f, {}))
  assert(layout.append(f, form.root_layout(f), p))
  assert(pane.attach(f, p, other))
  definition.draw = function() calls.draw = calls.draw + 100 end
  for _ = 1, 3 do
    assert(form.focus(f, c))
    assert(form.focus(f, other))
    window.invalidate(w)
    assert(control.relayout(f, c))
    settle()
  end
  t.eq(calls, { measure = 1, draw = 1, event = 1 })
  local messages = take_reports()
  table.sort(messages)
  t.eq(#messages, 3)
  t.eq(messages[1]:match("^Lua UI 'draw' callback failed: .-draw broke\nstack traceback:") ~= nil, true, messages[1])
  t.eq(messages[2], "Lua UI 'measure' must return two finite, non-negative sizes")
  t.eq(messages[3], "Lua UI event result field 'capture' must be 'unchanged', 'acquire', or 'release'")
end)

-- A form's paint is a frame the renderer module never ends: what it keeps alive must go once it is over.
t.test("canvases a control draws through the renderer are let go once the paint is over", function()
  local source = renderer.render_to_canvas(64, 64, function() end)
  local live, draws = setmetatable({}, { __mode = "k" }), 0
  local f, c, w = shown({ draw = function()
    local copy = assert(canvas.resize(source, 64, 64))
    live[copy] = true
    renderer.draw_canvas(copy, 0, 0)
    draws = draws + 1
  end })
  for _ = 1, 30 do
    assert(control.redraw(f, c))
    settle()
  end
  collectgarbage()
  collectgarbage()
  local count = 0
  for _ in pairs(live) do count = count + 1 end
  t.eq({ draws > 30, count }, { true, 0 }, "paints, canvases still alive")
  -- One drawn in a frame still open outlives a paint and collections, until that frame ends.
  local held = setmetatable({}, { __mode = "k" })
  renderer.begin_frame()
  held[assert(canvas.resize(source, 8, 8))] = true
  renderer.draw_canvas(next(held), 0, 0)
  assert(control.redraw(f, c))
  settle()
  collectgarbage()
  collectgarbage()
  local kept = next(held) ~= nil
  renderer.end_frame()
  collectgarbage()
  collectgarbage()
  t.eq({ kept, next(held), next(live) }, { true, nil, nil }, "kept while its frame is open, then let go")
  assert(window.close(w))
end)

t.test("deferred work runs now outside UI work and after it inside", function()
  local order = {}
  t.eq(form.is_ui_work_active(), false)
  assert(form.defer(function() order[#order + 1] = "now" end))
  t.eq(order, { "now" })
  shown({
    draw = function()
      order[#order + 1] = "draw"
      assert(form.defer(function() order[#order + 1] = tostring(form.is_ui_work_active()) end))
      order[#order + 1] = tostring(form.is_ui_work_active())
    end,
  })
  t.eq(order, { "now", "draw", "true", "false" })
  assert(form.defer(function() error("late") end))
  t.eq(take_reports()[1]:match("^Lua UI 'deferred' callback failed: .-late") ~= nil, true)
end)

t.test("lifecycles complete once with the first stored result", function()
  local completions = {}
  local function lifecycle(name, extra)
    local table_ = extra or {}
    table_.on_complete = function(self, result) completions[#completions + 1] = name .. ":" .. result end
    return table_
  end
  local f, _, w = shown({})
  assert(form.bind_lifecycle(f, lifecycle("f")))
  t.eq(t.results(form.bind_lifecycle(f, {})), t.results(nil, "Form already has a Lua lifecycle"))
  t.eq(form.close(f, "ok"), true)
  t.eq(completions, { "f:ok" })
  t.eq(t.results(window.has_root(w)), t.results(nil, "window does not exist"))
  t.eq(form.is_valid(f), false, "a completed form is destroyed")

  completions = {}
  local ids, forms = {}, {}
  for i = 1, 3 do
    ids[i] = assert(window.create({ owner_id = ids[i - 1], visible = false }))
    forms[i] = form.create({})
    assert(window.attach_form(ids[i], forms[i]))
    assert(form.bind_lifecycle(forms[i], lifecycle("W" .. i)))
  end
  assert(window.close(ids[1]))
  t.eq(completions, { "W3:owner_closed", "W2:owner_closed", "W1:window_closed" })
  t.eq(take_reports(), {})
end)

t.test("only the state that opened the modules may keep Lua values: coroutines are refused", function()
  local f = form.create({})
  local results = coroutine.wrap(function()
    return {
      t.results(control.create(f, {})),
      t.results(form.defer(function() end)),
      t.results(form.bind_lifecycle(f, {})),
      t.results(form.create({}) ~= nil),
    }
  end)()
  t.eq(results, {
    t.results(nil, "Lua UI runtime is not active"),
    t.results(nil, "Lua UI runtime belongs to a different Lua state"),
    t.results(nil, "Lua UI runtime belongs to a different Lua state"),
    t.results(true),
  })
end)

t.test("callbacks run on the main state while the scripts' loop is a coroutine", function()
  local draws = 0
  local f, _, w = shown({ draw = function(_, canvas)
    draws = draws + 1
    canvas:fill_rect(0, 0, 4, 4, { 1, 2, 3 })
    if draws == 2 then error("second") end
  end })
  coroutine.wrap(function()
    window.invalidate(w)
    settle()
    window.invalidate(w)
    settle()
  end)()
  t.eq(draws, 2)
  t.eq(#take_reports(), 1)
  t.eq(form.is_valid(f), true)
end)

t.test("a failed end of an attachment's UI work is raised with its message", function()
  -- Two controls that hand the focus to each other from focus_gained: the requests never settle.
  local function ping_pong(f)
    local controls = {}
    for i = 1, 2 do
      local p = assert(pane.create(f, { length = "weighted" }))
      assert(layout.append(f, form.root_layout(f), p))
      controls[i] = assert(control.create(f, { focusable = true, event = function(_, event)
        if event.kind == "focus_gained" then form.focus(f, controls[3 - i]) end
      end }))
      assert(pane.attach(f, p, controls[i]))
    end
    assert(form.set_initial_focus(f, controls[1]))
    return f
  end
  local rounds = "UI operation exceeded 64 deferred cleanup rounds; remaining callback requests were discarded"
  local w = assert(window.create({ visible = false }))
  t.eq({ pcall(window.attach_form, w, ping_pong(form.create({}))) }, { false, rounds })

  local host = form.create({})
  local p = assert(pane.create(host, { length = "weighted" }))
  assert(layout.append(host, form.root_layout(host), p))
  assert(window.attach_form(w, host))
  t.eq({ pcall(form.attach_to_pane, ping_pong(form.create({})), p) }, { false, rounds })

  -- A handler that opens a frame before its overlay request replays.
  local f = form.create({})
  local overlay = assert(control.create(f, {}))
  assert(form.attach_overlay(f, overlay))
  local q = assert(pane.create(f, { length = "weighted" }))
  assert(layout.append(f, form.root_layout(f), q))
  local c = assert(control.create(f, { focusable = true, event = function(_, event)
    if event.kind ~= "focus_gained" then return end
    renderer.begin_frame()
    assert(form.set_overlay(f, overlay, { x = 0, y = 0, width = 4, height = 4 }))
  end }))
  assert(pane.attach(f, q, c))
  assert(form.set_initial_focus(f, c))
  local other = assert(window.create({ visible = false }))
  t.eq({ pcall(window.attach_form, other, f) }, { false,
    "deferred UI mutation reached an active renderer: overlay cannot change while a frame is rendering" })
  renderer.end_frame()
  settle()
  t.eq(take_reports(), {})
end)

t.test("a callback that closes its own window has no canvas left to measure with", function()
  local font = ui_font.create({ path = SANS, size = 12 })
  local outside = "control canvas can only be used inside its callback"
  local function measure_all(canvas)
    local results = {}
    for _, call in ipairs({
      function() return canvas:measure_text(font, "x") end,
      function() return canvas:text_x(font, "x", 2) end,
      function() return canvas:text_column(font, "x", 3) end,
      function() return canvas:text_clusters(font, "x") end,
      function() return canvas:size() end,
    }) do
      local ok, err = pcall(call)
      results[#results + 1] = ok and "measured" or err:match("%((.*)%)$")
    end
    return results
  end
  local expected = { outside, outside, outside, outside, outside }

  -- focus_gained from form.focus, outside UI work
  local seen
  local f, c, w
  f, c, w = shown({ event = function(_, event, canvas)
    if event.kind ~= "focus_gained" then return end
    assert(window.close(w))
    seen = measure_all(canvas)
  end })
  form.focus(f, c)
  t.eq(seen, expected, "focus_gained")

  -- a popup measured by form.set_anchored_overlay
  seen = nil
  local g = form.create({})
  local p = assert(pane.create(g, { length = "weighted" }))
  assert(layout.append(g, form.root_layout(g), p))
  local anchor = assert(control.create(g, {}))
  assert(pane.attach(g, p, anchor))
  local gw = assert(window.create({ visible = false }))
  local popup = assert(control.create(g, { measure = function(_, canvas)
    assert(window.close(gw))
    seen = measure_all(canvas)
    return 10, 10
  end }))
  assert(form.attach_overlay(g, popup))
  assert(window.attach_form(gw, g))
  settle()
  t.eq(t.results(form.set_anchored_overlay(g, popup, anchor, {})),
    t.results(nil, "form must be visible in a window before showing an overlay"))
  t.eq(seen, expected, "popup measure")

  -- focus_lost from a top-level window.close
  seen = nil
  f, c, w = shown({ event = function(_, event, canvas)
    if event.kind ~= "focus_lost" then return end
    assert(window.close(w))
    seen = measure_all(canvas)
  end })
  assert(form.focus(f, c))
  assert(window.close(w))
  t.eq(seen, expected, "focus_lost")
  t.eq(take_reports(), {})
end)
