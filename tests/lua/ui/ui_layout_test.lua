-- Layouts as Lua controls see them: each probe control records the size its canvas reports while drawing
-- and its origin (a focus event carries the window position 0, so its control-local x and y are minus the
-- control's origin).
local t = require("qz_test")

local function settle()
  while system.poll_event() do end
end

-- Shows the form in a new hidden window of the given size and lets it lay out and paint.
local function show(f, width, height)
  local w = assert(window.create({ width = width, height = height, visible = false }))
  assert(window.attach_form(w, f))
  settle()
  return w
end

-- A focusable control in the pane that records {x, y, width, height} as its canvas sees them.
local function probe(f, p, placement, definition)
  local seen = {}
  definition = definition or {}
  definition.focusable = true
  definition.draw = function(_, canvas) seen.width, seen.height = canvas:size() end
  definition.event = function(_, event)
    if event.kind == "focus_gained" then seen.x, seen.y = -event.x, -event.y end
  end
  local c = assert(control.create(f, definition))
  assert(pane.attach(f, p, c, placement))
  seen.control = c
  return seen
end

local function locate(f, probes)
  local found = {}
  for i, seen in ipairs(probes) do
    assert(form.focus(f, seen.control))
    found[i] = { seen.x, seen.y, seen.width, seen.height }
  end
  return found
end

local function panes(f, layout_handle, list)
  local made = {}
  for i, options in ipairs(list) do
    made[i] = assert(pane.create(f, options))
    assert(layout.append(f, layout_handle, made[i]))
  end
  return made
end

t.test("columns share their width by DIP length, weights and gaps", function()
  local f = form.create({ root_layout = "cols", padding_left = 10, padding_right = 10, gap = 5 })
  local made = panes(f, form.root_layout(f), {
    { length = 100 }, { length = "weighted" }, { length = "weighted", weight = 2 },
  })
  local probes = {}
  for i, p in ipairs(made) do probes[i] = probe(f, p) end
  show(f, 300, 50)
  t.eq(locate(f, probes), { { 10, 0, 100, 50 }, { 115, 0, 57, 50 }, { 177, 0, 113, 50 } })
end)

t.test("percentages of rows round so that they fill the space", function()
  local f = form.create({})
  local probes = {}
  for i, p in ipairs(panes(f, form.root_layout(f), { { length = "33.3%" }, { length = "33.3%" }, { length = "33.3%" } })) do
    probes[i] = probe(f, p)
  end
  show(f, 40, 100)
  t.eq(locate(f, probes), { { 0, 0, 40, 33 }, { 0, 33, 40, 34 }, { 0, 67, 40, 33 } })
end)

t.test("placement, margins, nested layouts and collapsing", function()
  local f = form.create({ padding_top = 4, padding_left = 2 })
  local top, bottom = table.unpack(panes(f, form.root_layout(f), { { length = 30 }, { length = "weighted" } }))
  local inner = assert(layout.cols(f, { gap = 2, name = "inner" }))
  assert(pane.set_layout(f, bottom, inner))
  local left, right = table.unpack(panes(f, inner, { { length = "50%" }, { length = "content", width = 12 } }))
  local probes = {
    probe(f, top, { horizontal = "center", vertical = "bottom", margin_bottom = 3 }, { width = 20, height = 6 }),
    probe(f, left, { margin_left = 1, margin_top = 2, margin_right = 3, margin_bottom = 4 }),
    probe(f, right, { horizontal = "right", vertical = "top" }, { width = 5, height = 5 }),
  }
  local w = show(f, 102, 80)
  t.eq(locate(f, probes), { { 42, 25, 20, 6 }, { 3, 36, 45, 40 }, { 60, 34, 5, 5 } })
  assert(pane.set_collapsed(f, top, true))
  settle()
  t.eq(locate(f, { probes[2] })[1], { 3, 6, 45, 70 }, "the collapsed pane takes no room")
  t.eq(window.get_form(w), f)
end)

t.test("a control's measure answer sizes a content pane, clamped by the pane", function()
  local f = form.create({})
  local answers = { 10.9, 7 }
  local p = panes(f, form.root_layout(f), { { length = "content", maximum_height = 5 } })[1]
  local seen = probe(f, p, { horizontal = "left", vertical = "top" }, {
    measure = function(_, canvas, min_w, min_h, max_w, max_h)
      t.eq({ math.type(min_w), min_h, math.type(max_w), math.type(max_h) }, { "integer", 0, "integer", "integer" })
      return answers[1], answers[2]
    end,
  })
  show(f, 50, 50)
  t.eq({ seen.width, seen.height }, { 10, 5 })
end)
