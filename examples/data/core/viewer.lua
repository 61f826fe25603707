-- A small file viewer over the host's UI modules: a window whose form holds a tab strip (one tab per
-- document), a gutter with each document's own line numbers, the text and a status bar. The text is set in
-- DejaVu Sans Mono with fallback fonts for other scripts and emoji, and scrolls with the wheel and the keys;
-- closing the window ends the run.
local document = require("core.document")

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
local MIN_TAB_WIDTH = 16
local WHEEL_LINES = 3
local PADDING = 8
local ELLIPSIS = "\u{2026}"
local CUT_MARK = " \u{2192}" -- after a line cut at the document's limit

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

-- The files named by the command line: every argument after the program that is not an option, and the
-- one after each "--file".
function M.files_from(args)
  local files, i = {}, 2
  while i <= #args do
    local arg = args[i]
    if arg == "--file" then
      i = i + 1
      if args[i] then files[#files + 1] = args[i] end
    elseif arg ~= "-" and arg:sub(1, 1) ~= "-" then
      files[#files + 1] = arg
    end
    i = i + 1
  end
  return files
end

-- The documents to show: the piped text first, then each file; a note when there is nothing.
function M.open_documents(files, stdin_data)
  local docs = {}
  if stdin_data then docs[1] = document.from_bytes("standard input", stdin_data) end
  for _, path in ipairs(files) do
    docs[#docs + 1] = document.open(path)
  end
  if #docs == 0 then
    docs[1] = document.noted("qz", "Nothing to show: name files on the command line, or pipe text in with --stdin.")
  end
  return docs
end

-- text, cut to fit room DIPs with an ellipsis when it does not.
local function fitted(canvas, font, text, room)
  if canvas:measure_text(font, text) <= room then return text end
  local cut = canvas:text_column(font, text, math.max(room - canvas:measure_text(font, ELLIPSIS), 0))
  return text:sub(1, cut - 1) .. ELLIPSIS
end

local function label_of(doc) return doc.name:match("[^/]+/*$") or doc.name end

-- The main window's size and the zoom that the scripts' SCALE (from --scale, QZ_SCALE or the display)
-- asks beyond the display's own scale, which the UI host applies already.
local function main_window_metrics()
  for _, info in ipairs(window.list()) do
    if info.is_main then return info.width, info.height, (SCALE or info.display_scale) / info.display_scale end
  end
  return 1024, 640, 1
end

-- The width in DIPs of each document's tab, its label in full: measured with a renderer font of the label
-- font's file and size, which is that width at any display scale.
local function tab_widths(docs, size)
  local font = renderer.font.group_lazy(renderer.font.load(M.LABEL_FONT_PATH, size), M.FALLBACK_FONTS, size)
  local widths = {}
  for i, doc in ipairs(docs) do
    widths[i] = math.ceil(font:get_width(label_of(doc))) + 2 * PADDING
  end
  font:release()
  return widths
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
  local files = M.files_from(args)
  local docs = M.open_documents(files, stdin_data)
  local viewer = setmetatable({ docs = docs, selected = 1, views = {}, tabs = {} }, Viewer)
  for i = 1, #docs do
    viewer.views[i] = { top = 1, wheel = 0, shown = {} }
  end
  local width, height, zoom = main_window_metrics()
  viewer.zoom = zoom
  viewer.text_font = ui_font.create({ path = M.FONT_PATH, size = TEXT_SIZE * zoom, fallbacks = M.FALLBACK_FONTS })
  viewer.label_font = ui_font.create({ path = M.LABEL_FONT_PATH, size = LABEL_SIZE * zoom,
                                       fallbacks = M.FALLBACK_FONTS })
  viewer.window = check(window.create({
    title = options.title or (#files == 1 and (files[1] .. " - qz") or "qz"),
    width = options.width or width,
    height = options.height or height,
  }))
  viewer.tab_widths = tab_widths(docs, LABEL_SIZE * zoom)
  viewer:build_form(viewer.tab_widths, options.width or width)
  return viewer
end

-- The form: rows of the tab strip, the body (gutter and text) and the status bar.
function Viewer:build_form(widths, window_width)
  -- The form's background is the text's, which then needs no fill of its own.
  local f = form.create({ background = COLORS.background })
  self.form = f
  local function add_pane(parent, pane_options)
    local p = check(pane.create(f, pane_options))
    check(layout.append(f, parent, p))
    return p
  end
  local function add_layout(parent, pane_options, layout_options)
    local l = check(layout.cols(f, layout_options))
    check(pane.set_layout(f, add_pane(parent, pane_options), l))
    return l
  end
  local function add_control(parent, pane_options, definition)
    local c = check(control.create(f, definition))
    check(pane.attach(f, add_pane(parent, pane_options), c))
    return c
  end
  local root = form.root_layout(f)
  local strip = add_layout(root, { length = math.floor(TAB_HEIGHT * self.zoom) },
    { padding_left = 4, padding_top = 4, gap = 2 })
  -- Tabs grow from an equal share of the window's width to their label's, so that all of them fit.
  local share = math.max(MIN_TAB_WIDTH, (window_width - 4) // #widths - 2)
  for i, width in ipairs(widths) do
    self.tabs[i] = add_control(strip, { length = "weighted", minimum_width = math.min(share, width),
                                        maximum_width = width }, self:tab_definition(i))
  end
  local body = add_layout(root, { length = "weighted" })
  self.gutter = add_control(body, { length = "content" }, self:gutter_definition())
  self.text = add_control(body, { length = "weighted" }, self:text_definition())
  self.status = add_control(root, { length = math.floor(STATUS_HEIGHT * self.zoom) }, self:status_definition())
  check(form.bind_lifecycle(f, {
    on_complete = function(_, result) self.result = result end,
    -- Keys that reach no control (a press outside the text took its focus) scroll it too, and give it the
    -- focus back.
    event = function(_, event)
      if not self:scroll_event(event) then return false end
      check(form.focus(f, self.text))
      return true
    end,
  }))
  check(form.set_initial_focus(f, self.text))
  check(window.attach_form(self.window, f))
end

function Viewer:document() return self.docs[self.selected] end
function Viewer:view() return self.views[self.selected] end

-- Shows document index; the gutter's width follows its line count.
function Viewer:select(index)
  if index == self.selected then return end
  self.selected = index
  check(control.relayout(self.form, self.gutter))
end

-- The lines that fit whole in the text's height (none in a text area lower than a line), counted at each
-- paint.
function Viewer:measure_lines(canvas)
  local _, height = canvas:size()
  local _, line_height = canvas:measure_text(self.text_font, "Ag")
  self.text_height = height
  self.line_height = math.max(1, line_height)
  self.shown_lines = height // self.line_height
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

local KEY_SCROLLS = {
  up = function() return -1 end,
  down = function() return 1 end,
  pageup = function(viewer) return 1 - viewer:page_lines() end,
  pagedown = function(viewer) return viewer:page_lines() - 1 end,
  home = function(viewer) return -viewer:document().line_count end,
  ["end"] = function(viewer) return viewer:document().line_count end,
}

local HANDLED = { handled = true }

-- Paints the window again where it changed. (An event result's redraw would repaint all of it.)
function Viewer:redraw() check(control.redraw(self.form, self.text)) end

-- Wheel and keys scroll the text; true when the event was the viewer's.
function Viewer:scroll_event(event)
  local view, lines = self:view(), nil
  if event.kind == "wheel" then
    view.wheel = view.wheel - event.dy * WHEEL_LINES
    lines = view.wheel < 0 and math.ceil(view.wheel) or math.floor(view.wheel)
    view.wheel = view.wheel - lines
  elseif event.kind == "key_down" and KEY_SCROLLS[event.key] then
    lines = KEY_SCROLLS[event.key](self)
  else
    return false
  end
  if self:scroll(lines) then self:redraw() end
  return true
end

-- A line of the document as it is drawn: its text, whether it was cut, and its number. Lines stay while
-- they are on screen, so a frame makes only the lines that scrolled in.
function Viewer:shown_line(index)
  local shown = self:view().shown
  local line = shown[index]
  if not line then
    local text, cut = self:document():line(index)
    line = { text = text, cut = cut, number = tostring(index) }
    shown[index] = line
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
  self:measure_lines(canvas)
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

function Viewer:tab_definition(index)
  local viewer = self
  return {
    draw = function(_, canvas)
      local width, height = canvas:size()
      local doc, selected = viewer.docs[index], index == viewer.selected
      local fill = selected and COLORS.background or (viewer.hovered == index and COLORS.tab_hovered or COLORS.tab)
      canvas:fill_rect(0, 0, width, height, fill)
      if selected then canvas:fill_rect(0, 0, width, 2, COLORS.accent) end
      local label = fitted(canvas, viewer.label_font, label_of(doc), width - 2 * PADDING)
      local _, label_height = canvas:measure_text(viewer.label_font, label)
      local color = doc.note and COLORS.error or (selected and COLORS.selected_label or COLORS.label)
      canvas:draw_text(viewer.label_font, label, PADDING, (height - label_height) // 2, color)
    end,
    event = function(_, event)
      if event.kind == "pointer_enter" then
        viewer.hovered = index
        viewer:redraw()
      elseif event.kind == "pointer_leave" then
        if viewer.hovered == index then viewer.hovered = nil end
        viewer:redraw()
      elseif event.kind == "pointer_down" and event.button == "left" then
        -- The press took the focus from the text (tabs take none); it goes back once the press is handled.
        viewer:select(index)
        check(form.focus(viewer.form, viewer.text))
        return HANDLED
      end
      return nil
    end,
  }
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
      if event.kind == "wheel" and viewer:scroll_event(event) then return HANDLED end
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
        canvas:draw_text(viewer.text_font, line.text, PADDING, y, COLORS.text)
        -- A line cut at the document's limit says so at the right edge, where it leaves the screen.
        if line.cut then
          local mark_width = canvas:measure_text(viewer.text_font, CUT_MARK) + PADDING
          canvas:fill_rect(width - mark_width, y, mark_width, viewer.line_height, COLORS.background)
          canvas:draw_text(viewer.text_font, CUT_MARK, width - mark_width, y, COLORS.accent)
        end
      end)
    end,
    event = function(_, event) return viewer:scroll_event(event) and HANDLED or nil end,
  }
end

-- The status bar: the document's path on the left; its encoding, size and the lines shown whole on the right
-- (the text, drawn before the status bar, counted them).
function Viewer:status_text()
  local doc, view = self:document(), self:view()
  if doc.note or doc.line_count == 0 then return doc.name, doc:summary() end
  if self.shown_lines == 0 then return doc.name, doc:summary() .. ", no line fits" end
  return doc.name, string.format("%s, showing %d-%d", doc:summary(), view.top, self:last_shown_line())
end

function Viewer:status_definition()
  local viewer = self
  return {
    draw = function(_, canvas)
      local width, height = canvas:size()
      canvas:fill_rect(0, 0, width, height, COLORS.status)
      local name, summary = viewer:status_text()
      local font = viewer.label_font
      summary = fitted(canvas, font, summary, width - 2 * PADDING)
      local summary_width, text_height = canvas:measure_text(font, summary)
      local y = (height - text_height) // 2
      canvas:draw_text(font, summary, width - PADDING - summary_width, y,
        viewer:document().note and COLORS.error or COLORS.label)
      name = fitted(canvas, font, name, width - summary_width - 4 * PADDING)
      if name ~= ELLIPSIS then canvas:draw_text(font, name, PADDING, y, COLORS.label) end
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

-- Runs until the window is closed (or the application is asked to quit); the form's result.
function Viewer:run()
  while true do
    self:drain_events()
    if self.result then return self.result end
    system.wait_event(3600)
  end
end

function M.main(args, stdin_data)
  M.current = M.open(args, stdin_data)
  M.current:run()
end

return M
