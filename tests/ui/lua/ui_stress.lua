-- Random UI work for the stress test, as the boot file of a qz run: windows, forms, panes and Lua controls
-- whose callbacks close windows, destroy, detach, re-attach and re-focus forms, open popups and then measure
-- text through their canvas; with EXIT set, os.exit at a random point, also inside a callback. SEED, STEPS
-- and EXIT come from the boot file. Anything a script should never see is written as an "unexpected:"
-- line; the run ends with "exit N" before os.exit(N) or "done" and exit code 0.
local SANS = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
local OUTSIDE = "control canvas can only be used inside its callback"
-- Raised, not returned: a chain of requests that never settles, or one that reaches a frame.
local FATAL = { "UI operation exceeded 64 deferred cleanup rounds", "deferred UI mutation reached an active renderer" }

local random = math.random
local font
local windows, forms, controls, panes, popups = {}, {}, {}, {}, {}
local depth, settling, unexpected = 0, false, 0
local actions

local function report(text)
  unexpected = unexpected + 1
  io.stdout:write("unexpected: ", text, "\n")
end

local function pick(list)
  if #list > 0 then return list[random(#list)] end
end

-- Refusals come back as nil and a message; only a fatal end of UI work may be raised.
local function call(fn, ...)
  local ok, err = pcall(fn, ...)
  if ok then return end
  for _, known in ipairs(FATAL) do
    if tostring(err):find(known, 1, true) then return end
  end
  report(tostring(err))
end

local function act()
  if depth > 2 then return end
  depth = depth + 1
  call(pick(actions))
  depth = depth - 1
end

-- Text measuring works inside a callback, unless the callback closed the control's window.
local function measure(canvas)
  for _, method in ipairs({ "measure_text", "text_x", "text_column", "text_clusters", "size" }) do
    local ok, err = pcall(canvas[method], canvas, font, "ab", 2)
    if not ok and not tostring(err):find(OUTSIDE, 1, true) then report(method .. ": " .. tostring(err)) end
  end
end

local function callback(canvas)
  if random() < 0.4 then act() end
  measure(canvas)
end

local function definition()
  return {
    focusable = true,
    measure = function(_, canvas)
      callback(canvas)
      return random(0, 40), random(0, 20)
    end,
    draw = function(_, canvas)
      canvas:fill_rect(0, 0, 2, 2, { 1, 2, 3 })
      callback(canvas)
    end,
    event = function(_, _, canvas)
      callback(canvas)
      local answer = random(4)
      return { focus = answer == 1 and "acquire" or answer == 2 and "release" or nil, redraw = answer == 3 }
    end,
  }
end

local function new_window()
  local id = window.create({ width = random(40, 200), height = random(30, 150), visible = false })
  if id then windows[#windows + 1] = id end
end

-- A form of two control panes and one empty pane for nested forms, with a popup; refused pieces (during UI
-- work) are left out.
local function new_form()
  local f = form.create({})
  forms[#forms + 1] = f
  local anchor
  for i = 1, 3 do
    local p = pane.create(f, { length = "weighted" })
    if p and layout.append(f, form.root_layout(f), p) then
      local c = i < 3 and control.create(f, definition())
      if c and pane.attach(f, p, c) then
        controls[#controls + 1] = { form = f, control = c }
        anchor = c
      elseif not c then
        panes[#panes + 1] = { form = f, pane = p }
      end
    end
  end
  local popup = control.create(f, definition())
  if popup and anchor and form.attach_overlay(f, popup) then
    popups[#popups + 1] = { form = f, popup = popup, anchor = anchor }
  end
  if random() < 0.5 then
    form.bind_lifecycle(f, {
      on_close_request = function() return random() < 0.5 end,
      on_complete = function() if random() < 0.3 then act() end end,
      event = function() return false end,
    })
  end
end

-- Drops what is gone, so that the picks mostly name live things.
local function prune()
  local function keep(list, alive)
    local kept = {}
    for _, item in ipairs(list) do
      if alive(item) then kept[#kept + 1] = item end
    end
    return kept
  end
  windows = keep(windows, function(id) return window.has_root(id) ~= nil end)
  forms = keep(forms, form.is_valid)
  controls = keep(controls, function(item) return control.is_valid(item.form, item.control) end)
  popups = keep(popups, function(item) return control.is_valid(item.form, item.popup) end)
  panes = keep(panes, function(item) return pane.is_valid(item.form, item.pane) end)
end

local function settle()
  if settling then return end
  settling = true
  while system.poll_event() do end
  settling = false
end

local function attach_to_window() window.attach_form(pick(windows) or 1, pick(forms)) end
local function focus_one()
  local target = pick(controls)
  if target then form.focus(target.form, target.control) end
end
local function open_popup()
  local target = pick(popups)
  if target then form.set_anchored_overlay(target.form, target.popup, target.anchor, {}) end
end

-- Each as often as it appears: showing and focusing forms more often than ending them keeps callbacks coming.
actions = {
  function() window.close(pick(windows) or 1) end,
  function() form.destroy(pick(forms)) end,
  attach_to_window, attach_to_window, attach_to_window,
  function()
    local holder = pick(panes)
    if holder then form.attach_to_pane(pick(forms), holder.pane) end
  end,
  function() form.detach(pick(forms)) end,
  focus_one, focus_one, focus_one,
  open_popup, open_popup,
  function()
    local target = pick(controls)
    if target then control.set_visible(target.form, target.control, random() < 0.7) end
  end,
  function()
    local target = pick(controls)
    if target then control.set_enabled(target.form, target.control, random() < 0.7) end
  end,
  function()
    local target = pick(controls)
    if target then control.relayout(target.form, target.control) end
  end,
  function() form.close(pick(forms), "done") end,
  function() if #windows < 8 then new_window() end end,
  function() if #forms < 10 then new_form() end end,
  function() form.defer(act) end,
  function() if depth == 1 then settle() end end,
  function()
    if EXIT and random() < 0.1 then
      local code = 3 + SEED % 50
      io.stdout:write("exit ", code, "\n")
      io.stdout:flush()
      os.exit(code, random() < 0.7)
    end
  end,
}

return {
  run = function()
    math.randomseed(SEED)
    font = ui_font.create({ path = SANS, size = 12 })
    core = { on_error = function(message) report(message) end }
    for _ = 1, 3 do new_window() end
    for _ = 1, 4 do new_form() end
    for _ = 1, STEPS do
      prune()
      while #windows < 3 do new_window() end
      while #forms < 4 do new_form() end
      act()
      if random() < 0.3 then settle() end
    end
    settle()
    io.stdout:write("done\n")
    if unexpected > 0 then error(unexpected .. " unexpected results") end
  end,
}
