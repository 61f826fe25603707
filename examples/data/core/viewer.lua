-- A small file viewer over the host's UI modules: a window whose form holds a tab strip (one tab per
-- document), a gutter with each document's own line numbers, the text and a status bar. The text is set in
-- DejaVu Sans Mono with fallback fonts for other scripts and emoji, and scrolls with the wheel and the keys,
-- also sideways; closing the window ends the run. Later starts of qz hand their files over as new tabs.
local document = require("core.document")
local command_line = require("core.command_line")
local tab_strip = require("core.tab_strip")

local M = {}

M.FONT_PATH = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
M.LABEL_FONT_PATH = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
-- Tried in order for characters a font lacks; a missing file is skipped.
local NOTO = "/usr/share/fonts/truetype/noto/"
M.FALLBACK_FONTS = {
  NOTO .. "NotoColorEmoji.ttf",
  "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
  NOTO .. "NotoSans-Regular.ttf",
  NOTO .. "NotoSansSymbols-Regular.ttf",
  NOTO .. "NotoSansSymbols2-Regular.ttf",
  NOTO .. "NotoSansMath-Regular.ttf",
  NOTO .. "NotoSansDevanagari-Regular.ttf",
  NOTO .. "NotoSansBengali-Regular.ttf",
  NOTO .. "NotoSansGurmukhi-Regular.ttf",
  NOTO .. "NotoSansGujarati-Regular.ttf",
  NOTO .. "NotoSansOriya-Regular.ttf",
  NOTO .. "NotoSansTamil-Regular.ttf",
  NOTO .. "NotoSansTelugu-Regular.ttf",
  NOTO .. "NotoSansKannada-Regular.ttf",
  NOTO .. "NotoSansMalayalam-Regular.ttf",
  NOTO .. "NotoSansSinhala-Regular.ttf",
  NOTO .. "NotoSansThai-Regular.ttf",
  NOTO .. "NotoSansLao-Regular.ttf",
  NOTO .. "NotoSansKhmer-Regular.ttf",
  NOTO .. "NotoSansMyanmar-Regular.ttf",
  NOTO .. "NotoSansEthiopic-Regular.ttf",
  NOTO .. "NotoSerifTibetan-Regular.ttf",
  NOTO .. "NotoSansMongolian-Regular.ttf",
  NOTO .. "NotoSansCherokee-Regular.ttf",
  NOTO .. "NotoSansCanadianAboriginal-Regular.ttf",
  "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
}
local TEXT_SIZE, LABEL_SIZE = 14, 13
local TAB_HEIGHT, STATUS_HEIGHT = 30, 24
local WHEEL_LINES = 3
local PADDING = 8
local CUT_MARK = " \u{2192}" -- after a line cut at the document's limit
-- How often the loop looks for command lines that later starts handed over, in seconds.
M.FORWARD_POLL_SECONDS = 0.25

local COLORS = {
  tab = { 34, 36, 41 },
  tab_hovered = { 46, 49, 56 },
  background = { 30, 32, 36 },
  gutter = { 38, 40, 46 },
  number = { 110, 115, 125 },
  text = { 220, 220, 210 },
  label = { 170, 175, 185 },
  selected_label = { 235, 235, 230 },
  accent = { 120, 170, 240 },
  error = { 240, 110, 100 },
  status = { 44, 47, 54 },
}

M.NOTHING_TO_SHOW = "Nothing to show: name files on the command line, or pipe text in with --stdin."

-- The documents of a command line: the piped text first, then each file and each option the viewer does
-- not take, in order. directory is where relative names are found (the working directory when nil).
function M.documents_of(args, stdin_data, directory)
  local docs = {}
  if stdin_data then docs[1] = document.from_bytes("standard input", stdin_data) end
  for _, entry in ipairs(command_line.read(args, directory)) do
    if entry.path then
      docs[#docs + 1] = document.open(entry.path)
    else
      docs[#docs + 1] = document.noted(entry.option, entry.option .. ": " .. command_line.UNKNOWN_OPTION)
    end
  end
  return docs
end

-- The main window's size and the zoom that the scripts' SCALE (from --scale, QZ_SCALE or the display)
-- asks beyond the display's own scale, which the UI host applies already.
local function main_window_metrics()
  for _, info in ipairs(window.list()) do
    if info.is_main then return info.width, info.height, (SCALE or info.display_scale) / info.display_scale end
  end
  return 1024, 640, 1
end

local Viewer = {}
Viewer.__index = Viewer

local function check(value, message)
  if value == nil then error(message, 2) end
  return value
end

-- Creates the window with its form; options.title, .width and .height override the defaults.
function M.open(args, stdin_data, options)
  options = options or {}
  renderer.font.allow_font_bitmap_glyphs(true) -- colour emoji are bitmap glyphs
  local docs, files = M.documents_of(args, stdin_data), {}
  for _, entry in ipairs(command_line.read(args)) do files[#files + 1] = entry.path end
  local viewer = setmetatable({ docs = {}, selected = 1, views = {}, tab_widths = {}, waiting = {} }, Viewer)
  local width, height, zoom = main_window_metrics()
  viewer.zoom = zoom
  viewer.text_font = ui_font.create({ path = M.FONT_PATH, size = TEXT_SIZE * zoom, fallbacks = M.FALLBACK_FONTS })
  viewer.label_font = ui_font.create({ path = M.LABEL_FONT_PATH, size = LABEL_SIZE * zoom,
                                       fallbacks = M.FALLBACK_FONTS })
  local title = #files == 1 and (files[1] .. " - qz") or "qz"
  if #docs == 0 then
    docs[1] = document.noted("qz", M.NOTHING_TO_SHOW)
    docs[1].placeholder = true
  end
  viewer:add_documents(docs)
  viewer.window = check(window.create({
    title = options.title or title,
    width = options.width or width,
    height = options.height or height,
  }))
  viewer:build_form()
  return viewer
end

-- Adds tabs for docs after the others; their labels are measured with a renderer font of the label font's
-- file and size, which is their width in DIPs at any display scale.
function Viewer:add_documents(docs)
  local size = LABEL_SIZE * self.zoom
  local font = renderer.font.group_lazy(renderer.font.load(M.LABEL_FONT_PATH, size), M.FALLBACK_FONTS, size)
  for _, doc in ipairs(docs) do
    local index = #self.docs + 1
    self.docs[index] = doc
    self.views[index] = { top = 1, column = 0, wheel = 0, shown = {} }
    self.tab_widths[index] = math.ceil(font:get_width(tab_strip.label_of(doc))) + 2 * PADDING
  end
  font:release()
end

-- The form: rows of the tab strip, the body (gutter and text) and the status bar.
function Viewer:build_form()
  -- The form's background is the text's, which then needs no fill of its own.
  local f = form.create({ background = COLORS.background })
  self.form = f
  local function add_pane(parent, pane_options)
    local p = check(pane.create(f, pane_options))
    check(layout.append(f, parent, p))
    return p
  end
  local function add_control(parent, pane_options, definition)
    local c = check(control.create(f, definition))
    check(pane.attach(f, add_pane(parent, pane_options), c))
    return c
  end
  local root = form.root_layout(f)
  self.strip = add_control(root, { length = math.floor(TAB_HEIGHT * self.zoom) },
    tab_strip.definition(self, COLORS))
  local body = check(layout.cols(f))
  check(pane.set_layout(f, add_pane(root, { length = "weighted" }), body))
  self.gutter = add_control(body, { length = "content" }, self:gutter_definition())
  self.text = add_control(body, { length = "weighted" }, self:text_definition())
  self.status = add_control(root, { length = math.floor(STATUS_HEIGHT * self.zoom) }, self:status_definition())
  check(form.bind_lifecycle(f, {
    on_complete = function(_, result) self.result = result end,
    -- Keys that reach no control (a press outside the text took its focus) act on the text too, and give
    -- it the focus back.
    event = function(_, event)
      if not self:key_or_wheel(event) then return false end
      self:focus_text()
      return true
    end,
  }))
  check(form.set_initial_focus(f, self.text))
  check(window.attach_form(self.window, f))
end

function Viewer:document() return self.docs[self.selected] end
function Viewer:view() return self.views[self.selected] end
function Viewer:focus_text() check(form.focus(self.form, self.text)) end

-- Paints the window again where it changed. (An event result's redraw would repaint all of it.)
function Viewer:redraw() check(control.redraw(self.form, self.text)) end

-- Shows document index; the gutter's width follows its line count.
function Viewer:select(index)
  if index == self.selected then return end
  self.selected = index
  check(control.relayout(self.form, self.gutter))
  self:redraw()
end

-- Closes tab index. A start that waits for its files is answered once all of its tabs are closed; closing
-- the last tab closes the window, which keeps showing that tab until it is gone (it may paint once more).
function Viewer:close_tab(index)
  if self.closing then return end
  local request = self.docs[index].request_id
  if request then
    self.waiting[request] = self.waiting[request] - 1
    if self.waiting[request] == 0 then
      self.waiting[request] = nil
      system.complete_forwarded_cli(request)
    end
  end
  if #self.docs == 1 then
    self.closing = true
    return self:close("closed")
  end
  table.remove(self.docs, index)
  table.remove(self.views, index)
  table.remove(self.tab_widths, index)
  self.hovered = nil
  local selected = self.selected
  if index < selected or selected > #self.docs then selected = selected - 1 end
  self.selected = 0 -- so that select lays the gutter out for the document now shown
  self:select(selected)
end

-- Opens the files of a command line that a later start handed over, as new tabs, the first of them shown
-- (in place of the note that there was nothing to show). Its relative names are found from its working
-- directory; a start that waits is answered when the last of its tabs is closed, or at once when it named
-- nothing to open.
function Viewer:open_forwarded(request)
  local docs = M.documents_of(request.args, request.stdin_data, request.working_directory)
  local id = request.request_id
  if #docs == 0 then
    if id then system.complete_forwarded_cli(id) end
    return
  end
  for _, doc in ipairs(docs) do doc.request_id = id end
  if id then self.waiting[id] = #docs end
  if #self.docs == 1 and self.docs[1].placeholder then
    self.docs, self.views, self.tab_widths, self.selected = {}, {}, {}, 0
  end
  local first = #self.docs + 1
  self:add_documents(docs)
  self:select(first)
end

-- Takes the command lines handed over since the last call; true when there were any.
function Viewer:take_forwarded()
  local requests = system.poll_forwarded_cli()
  for _, request in ipairs(requests) do self:open_forwarded(request) end
  return #requests > 0
end

-- The lines that fit whole in the text's height (none in a text area lower than a line), and the columns
-- that fit in its width, counted at each paint.
function Viewer:measure_text_area(canvas)
  local width, height = canvas:size()
  local _, line_height = canvas:measure_text(self.text_font, "Ag")
  self.text_width = width
  self.text_height = height
  self.line_height = math.max(1, line_height)
  self.shown_lines = height // self.line_height
  local column_width = canvas:measure_text(self.text_font, "0") -- every character's, in a monospaced font
  self.shown_columns = math.max(1, (width - PADDING) // math.max(1, column_width))
end

-- The lines a page moves, and the least the view holds when it scrolls.
function Viewer:page_lines() return math.max(1, self.shown_lines or 1) end

-- Moves the first shown line by delta lines, within the document; true when it moved.
function Viewer:scroll(delta)
  local view = self:view()
  local last_top = math.max(1, self:document().line_count - self:page_lines() + 1)
  local top = math.max(1, math.min(last_top, view.top + delta))
  if top == view.top then return false end
  view.top = top
  return true
end

-- Whether a line on screen goes on past the text's right edge: it has more characters than fit from the
-- first column shown, or it was drawn wider than the text (tabs and wide characters take more room).
function Viewer:goes_on_past_edge()
  local view, doc, columns = self:view(), self:document(), self.shown_columns or 1
  if doc.note then return false end
  for index = view.top, self:last_shown_line() do
    local line = view.shown[index]
    if line and line.goes_on or doc:goes_on(index, view.column, columns) then return true end
  end
  return false
end

-- Moves the first shown column by half the text's width, left (-1) or right (1); right only while a line on
-- screen goes on past the right edge. True when it moved.
function Viewer:scroll_sideways(direction)
  local view = self:view()
  local step = math.max(1, (self.shown_columns or 2) // 2)
  local column = math.max(0, view.column + direction * step)
  if column == view.column or direction > 0 and not self:goes_on_past_edge() then return false end
  view.column = column
  view.shown = {}
  return true
end

local KEY_SCROLLS = {
  up = function() return -1 end,
  down = function() return 1 end,
  pageup = function(viewer) return 1 - viewer:page_lines() end,
  pagedown = function(viewer) return viewer:page_lines() - 1 end,
  home = function(viewer) return -viewer:document().line_count end,
  ["end"] = function(viewer) return viewer:document().line_count end,
}
local SIDEWAYS = { left = -1, right = 1 }

-- Wheel and keys scroll the text, Ctrl+W closes the tab shown; true when the event was the viewer's.
function Viewer:key_or_wheel(event)
  local view, moved = self:view(), false
  if event.kind == "wheel" then
    view.wheel = view.wheel - event.dy * WHEEL_LINES
    local lines = view.wheel < 0 and math.ceil(view.wheel) or math.floor(view.wheel)
    view.wheel = view.wheel - lines
    moved = self:scroll(lines)
  elseif event.kind ~= "key_down" then
    return false
  elseif event.key == "w" and event.control then
    self:close_tab(self.selected)
    return true
  elseif KEY_SCROLLS[event.key] then
    moved = self:scroll(KEY_SCROLLS[event.key](self))
  elseif SIDEWAYS[event.key] then
    moved = self:scroll_sideways(SIDEWAYS[event.key])
  else
    return false
  end
  if moved then self:redraw() end
  return true
end

-- A line of the document as it is drawn from the view's first column: its text, whether it was cut, and its
-- number. Lines stay while they are on screen, so a frame makes only the lines that scrolled in.
function Viewer:shown_line(index)
  local view = self:view()
  local line = view.shown[index]
  if not line then
    local text, cut = self:document():line(index, view.column)
    line = { text = text, cut = cut, number = tostring(index) }
    view.shown[index] = line
  end
  return line
end

-- The last line on screen: only lines shown whole count, so none is drawn cut by the text's lower edge.
function Viewer:last_shown_line()
  return math.min(self:document().line_count, self:view().top + (self.shown_lines or 1) - 1)
end

-- Calls each(index, y) for the lines on screen, and forgets the shown lines that left it. A taller window
-- may show the end of the document higher up.
function Viewer:each_visible_line(canvas, each)
  self:measure_text_area(canvas)
  self:scroll(0)
  local view, line_height = self:view(), self.line_height
  local last = self:last_shown_line()
  for index in pairs(view.shown) do
    if index < view.top or index > last then view.shown[index] = nil end
  end
  for index = view.top, last do
    each(index, (index - view.top) * line_height)
  end
end

function Viewer:gutter_definition()
  local viewer = self
  return {
    measure = function(_, canvas)
      local count = viewer:document().line_count
      if count == 0 then return 0, 0 end
      return canvas:measure_text(viewer.text_font, tostring(count)) + 2 * PADDING, 0
    end,
    draw = function(_, canvas)
      local width, height = canvas:size()
      canvas:fill_rect(0, 0, width, height, COLORS.gutter)
      viewer:each_visible_line(canvas, function(index, y)
        local line = viewer:shown_line(index)
        line.number_width = line.number_width or canvas:measure_text(viewer.text_font, line.number)
        canvas:draw_text(viewer.text_font, line.number, width - PADDING - line.number_width, y, COLORS.number)
      end)
    end,
    event = function(_, event)
      if event.kind == "wheel" and viewer:key_or_wheel(event) then return { handled = true } end
      return nil
    end,
  }
end

function Viewer:text_definition()
  local viewer = self
  return {
    focusable = true,
    draw = function(_, canvas)
      local doc = viewer:document()
      if doc.note then
        canvas:draw_text(viewer.text_font, doc.note, PADDING, 0, COLORS.error)
        return
      end
      local width = canvas:size()
      viewer:each_visible_line(canvas, function(index, y)
        local line = viewer:shown_line(index)
        local right = canvas:draw_text(viewer.text_font, line.text, PADDING, y, COLORS.text)
        line.goes_on = line.cut or right > width
        -- A line cut at the document's limit says so at the right edge, where it leaves the screen.
        if line.cut then
          local mark_width = canvas:measure_text(viewer.text_font, CUT_MARK) + PADDING
          canvas:fill_rect(width - mark_width, y, mark_width, viewer.line_height, COLORS.background)
          canvas:draw_text(viewer.text_font, CUT_MARK, width - mark_width, y, COLORS.accent)
        end
      end)
    end,
    event = function(_, event) return viewer:key_or_wheel(event) and { handled = true } or nil end,
  }
end

-- The status bar: the document's path on the left; its encoding, size, the lines shown whole and the first
-- column shown on the right (the text, drawn before the status bar, counted them).
function Viewer:status_text()
  local doc, view = self:document(), self:view()
  if doc.note or doc.line_count == 0 then return doc.name, doc:summary() end
  if self.shown_lines == 0 then return doc.name, doc:summary() .. ", no line fits" end
  local summary = string.format("%s, showing %d-%d", doc:summary(), view.top, self:last_shown_line())
  if view.column > 0 then summary = summary .. string.format(" from column %d", view.column + 1) end
  return doc.name, summary
end

function Viewer:status_definition()
  local viewer = self
  return {
    draw = function(_, canvas)
      local width, height = canvas:size()
      canvas:fill_rect(0, 0, width, height, COLORS.status)
      local name, summary = viewer:status_text()
      local font = viewer.label_font
      summary = tab_strip.fitted(canvas, font, summary, width - 2 * PADDING)
      local summary_width, text_height = canvas:measure_text(font, summary)
      local y = (height - text_height) // 2
      canvas:draw_text(font, summary, width - PADDING - summary_width, y,
        viewer:document().note and COLORS.error or COLORS.label)
      name = tab_strip.fitted(canvas, font, name, width - summary_width - 4 * PADDING)
      if name ~= "\u{2026}" then canvas:draw_text(font, name, PADDING, y, COLORS.label) end
    end,
  }
end

-- Closes the window, which completes the form's lifecycle with result.
function Viewer:close(result)
  if not self.result then form.close(self.form, result) end
end

-- Takes every waiting event; when none is left the host lays out and paints its windows.
function Viewer:drain_events()
  while true do
    local kind = system.poll_event()
    if kind == nil then return end
    if kind == "quit" then self:close("quit") end
  end
end

-- Runs until the window is closed (or the application is asked to quit); the form's result. While this qz
-- serves later starts, it looks for their command lines a few times a second.
function Viewer:run()
  local timeout = SINGLE_INSTANCE_MODE == 1 and M.FORWARD_POLL_SECONDS or 3600
  while true do
    self:drain_events()
    if self.result then return self.result end
    if not self:take_forwarded() then system.wait_event(timeout) end
  end
end

function M.main(args, stdin_data)
  M.current = M.open(args, stdin_data)
  M.current:run()
end

return M
