-- The window module inside a running qz: windows and their descriptors, test roots and test events, forms
-- in windows, and drawing into a window through with_render_target.
local t = require("qz_test")

local function settle()
  while system.poll_event() do end
end

local function main_id()
  for _, info in ipairs(window.list()) do
    if info.is_main then return info.id end
  end
end

t.test("created windows and their descriptors", function()
  local first = assert(window.create({ visible = false }))
  local second = assert(window.create({ title = 42, width = 64, height = 32, owner_id = first, visible = false,
    modality = "owner_modal", frame = "dialog", resizable = false, high_pixel_density = false }))
  local list = window.list()
  local by_id = {}
  for i, info in ipairs(list) do
    if i > 1 then t.truthy(info.id > list[i - 1].id, "ascending ids") end
    by_id[info.id] = info
  end
  t.eq(by_id[main_id()].owner_id, nil)
  local a, b = by_id[first], by_id[second]
  t.eq({ a.title, a.width, a.height, a.is_main, a.visible, a.modality, a.frame, a.owner_id },
    { "", 480, 240, false, false, "modeless", "standard", nil })
  t.eq({ b.title, b.width, b.height, b.modality, b.frame, b.owner_id }, { "42", 64, 32, "owner_modal", "dialog", first })
  t.eq({ math.type(b.native_id), math.type(b.pixel_width), type(b.display_scale), type(b.pixel_density) },
    { "integer", "integer", "number", "number" })
  t.eq(window.set_visible(first, true), true)
  t.eq(t.results(window.set_visible(9999, true)), t.results(nil, "window does not exist"))
  t.eq(window.close(first), true)
  t.eq(t.results(window.has_root(second)), t.results(nil, "window does not exist"), "owned windows close too")
  t.eq(t.results(window.close(main_id())), t.results(nil, "the main window cannot be closed through window.close"))
  t.eq(t.results(window.close(9999)), t.results(nil, "window does not exist"))
end)

t.test("a window the platform refuses comes back as nil and a message", function()
  local before = #window.list()
  for _, size in ipairs({ { 2147483647, 2147483647 }, { 2147483647, 10 } }) do
    local id, message = window.create({ width = size[1], height = size[2], visible = false })
    t.eq(id, nil)
    t.eq(type(message) == "string" and message ~= "", true, "a message for " .. size[1] .. " x " .. size[2])
  end
  t.eq(#window.list(), before)
end)

t.test("test roots and test events", function()
  local w = assert(window.create({ visible = false }))
  local main = main_id()
  t.eq(window.has_root(w), false)
  t.eq(t.results(window.invalidate(w)), t.results(nil, "window has no attached UI root"))
  t.eq(window._queue_test_event(w, { shift = true, ["repeat"] = true, text_start = 2.7, text_length = -3 }), true)
  local events = window.poll_events(w)
  t.eq(events, { { type = "test", x = 0.0, y = 0.0, dx = 0.0, dy = 0.0, clicks = 0, width = 0, height = 0,
    control = false, shift = true, alt = false, system = false, ["repeat"] = true, text_start = 2, text_length = -3 } })
  t.eq(window.poll_events(w), {}, "the queue was emptied")
  t.eq(t.results(window._queue_test_event(main, {})), t.results(nil, "test events require a rootless secondary window"))
  t.eq(t.results(window.attach_test_root(main)), t.results(nil, "a test root cannot replace the main workspace"))
  t.eq(window.attach_test_root(w), true)
  t.eq(t.results(window.attach_test_root(w)), t.results(nil, "window already has a UI root"))
  t.eq({ window.has_root(w), window.invalidate(w) }, { true, true })
  t.eq(t.results(window._queue_test_event(w, {})), t.results(nil, "test events require a rootless secondary window"))
  t.eq(t.results(window.get_form(w)), t.results(nil))
  t.eq(t.results(window.poll_events(9999)), t.results(nil, "window does not exist"))
  t.eq(t.results(window.attach_form(main, form.create({}))), t.results(nil, "the main workspace cannot host forms yet"))
  t.eq(t.results(window.detach_form(w)), t.results(nil, "window has no attached form"))
end)

t.test("forms in windows", function()
  local w = assert(window.create({ visible = false }))
  local dialog = assert(window.create({ frame = "dialog", visible = false }))
  local f = form.create({})
  t.eq(t.results(window.attach_form(dialog, f)), t.results(nil, "a native dialog Window requires a dialog Form"))
  t.eq(window.attach_form(w, f), true)
  t.eq(window.get_form(w), f)
  t.eq(form.get_host(f), { kind = "window", window_id = w })
  t.eq(window.has_root(w), true)
  t.eq(form.detach(f), true)
  t.eq(t.results(form.detach(f)), t.results(nil, "form is not attached"))
  local host = form.create({})
  local p = pane.create(host, {})
  assert(layout.append(host, form.root_layout(host), p))
  t.eq(form.attach_to_pane(f, p), true)
  local where = form.get_host(f)
  t.eq({ where.kind, where.pane }, { "pane", p })
  t.eq(t.results(form.attach_to_pane(host, p)), t.results(nil, "forms cannot contain themselves"))
end)

t.test("with_render_target draws into the window and restores the render target", function()
  local w = assert(window.create({ width = 64, height = 32, visible = false }))
  local main_width = renderer.get_size()
  local inside
  t.eq(window.with_render_target(w, function()
    inside = { renderer.get_size() }
    renderer.draw_rect(0, 0, 8, 8, { 255, 0, 0 })
    t.eq(t.results(window.with_render_target(w, function() end)),
      t.results(nil, "window rendering cannot begin inside another frame"))
    t.eq(t.results(window.close(w)), t.results(nil, "windows cannot be closed while a secondary window is rendering"))
    settle()  -- the host's own painting leaves this frame open
    t.raises(renderer.begin_frame, "renderer frame is already active")
    t.eq({ renderer.get_size() }, inside)
    renderer.draw_rect(8, 0, 8, 8, { 0, 255, 0 })
  end), true)
  t.eq(inside[1] ~= main_width and inside[1] > 0, true)
  t.eq(renderer.get_size(), main_width, "the main window is the render target again")
  local err = t.raises(function()
    window.with_render_target(w, function() error({ code = 7 }) end)
  end)
  t.eq(err, { code = 7 }, "the error value is raised unchanged")
  t.eq(renderer.get_size(), main_width)
  renderer.begin_frame()
  t.eq(t.results(window.with_render_target(w, function() end)),
    t.results(nil, "window rendering cannot begin inside another frame"))
  renderer.end_frame()
end)

t.test("a window closed inside with_render_target", function()
  local w = assert(window.create({ visible = false }))
  local f = form.create({})
  assert(window.attach_form(w, f))
  local completed
  assert(form.bind_lifecycle(f, { on_complete = function(_, result) completed = result end }))
  t.eq(window.with_render_target(w, function()
    renderer.draw_rect(0, 0, 4, 4, { 1, 2, 3 })
    assert(form.close(f, "done"))
  end), true)
  t.eq(completed, "done")
  t.eq(t.results(window.has_root(w)), t.results(nil, "window does not exist"))
  renderer.begin_frame()
  renderer.end_frame()
end)
