-- A small file viewer over the host's modules: each document under its heading with its own line numbers,
-- in DejaVu Sans Mono with fallback fonts for other scripts and emoji, scrolled with the wheel and the keys,
-- redrawn only when an event changed what is shown.
local document = require("core.document")

local M = {}

M.FONT_PATH = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
-- Tried in order for characters the monospaced font lacks; a missing file is skipped.
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
local FONT_SIZE = 14
local WHEEL_LINES = 3
local TAB_COLUMNS = 4
local PADDING = 8

local COLORS = {
  background = { 30, 32, 36 },
  gutter = { 38, 40, 46 },
  number = { 110, 115, 125 },
  text = { 220, 220, 210 },
  heading = { 120, 170, 240 },
  error = { 240, 110, 100 },
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

-- The monospaced font with its fallbacks, at size pixels; colour emoji come from bitmap glyphs.
function M.load_font(size)
  renderer.font.allow_font_bitmap_glyphs(true)
  return renderer.font.group_lazy(renderer.font.load(M.FONT_PATH, size), M.FALLBACK_FONTS, size)
end

local View = {}
View.__index = View

-- The view's rows: each document's heading (when there are several, or it has a note), then its note or
-- its lines.
function M.new_view(docs, font)
  local view = setmetatable({ docs = docs, font = font, top = 1, wheel = 0, sections = {}, shown = {} }, View)
  font:set_tab_size(TAB_COLUMNS * math.max(1, math.floor(font:get_width(" "))))
  view.line_height = math.max(1, math.floor(font:get_height()))
  local rows, most_lines = 0, 1
  for _, doc in ipairs(docs) do
    local heading = #docs > 1 or doc.note ~= nil
    view.sections[#view.sections + 1] = { doc = doc, first = rows + 1, heading = heading }
    rows = rows + (heading and 1 or 0) + (doc.note and 1 or doc.line_count)
    most_lines = math.max(most_lines, doc.line_count)
  end
  view.row_count = rows
  view.gutter = math.floor(font:get_width(tostring(most_lines))) + 2 * PADDING
  return view
end

-- What row shows: its text, its colour and its line number (nil for headings and notes).
function View:row(row)
  local sections = self.sections
  local index = #sections
  while sections[index].first > row do
    index = index - 1
  end
  local section = sections[index]
  local doc, offset = section.doc, row - section.first
  if section.heading then
    if offset == 0 then
      return doc.note and doc.name or (doc.name .. "  (" .. doc:summary() .. ")"), COLORS.heading
    end
    offset = offset - 1
  end
  if doc.note then return doc.note, COLORS.error end
  return doc:line(offset + 1), COLORS.text, offset + 1
end

function View:visible_lines()
  local _, height = renderer.get_size()
  return math.max(1, height // self.line_height)
end

-- Moves the first shown row by delta rows, within the view; true when it moved.
function View:scroll(delta)
  local last_top = math.max(1, self.row_count - self:visible_lines() + 1)
  local top = math.max(1, math.min(last_top, self.top + delta))
  if top == self.top then return false end
  self.top = top
  return true
end

-- What row draws: its text, colour and x, and its number with the number's x. Rows drawn in the last frame
-- are kept, so a frame makes only the rows that scrolled in.
function View:shown_row(row, shown)
  local entry = self.shown[row]
  if not entry then
    local text, color, number = self:row(row)
    entry = { text = text, color = color, x = PADDING }
    if number then
      entry.number = tostring(number)
      entry.number_x = self.gutter - PADDING - renderer.measure_text(self.font, entry.number)
      entry.x = self.gutter + PADDING
    end
  end
  shown[row] = entry
  return entry
end

function View:draw()
  local width, height = renderer.get_size()
  local font, line_height, y, shown = self.font, self.line_height, 0, {}
  local draw_text, number_color = renderer.draw_text, COLORS.number
  renderer.begin_frame()
  renderer.set_clip_rect(0, 0, width, height)
  renderer.draw_rect(0, 0, width, height, COLORS.background)
  renderer.draw_rect(0, 0, self.gutter, height, COLORS.gutter)
  for row = self.top, math.min(self.row_count, self.top + self:visible_lines()) do
    local entry = self:shown_row(row, shown)
    if entry.number then draw_text(font, entry.number, entry.number_x, y, number_color) end
    draw_text(font, entry.text, entry.x, y, entry.color)
    y = y + line_height
  end
  self.shown = shown
  renderer.end_frame()
end

local KEY_SCROLLS = {
  up = function() return -1 end,
  down = function() return 1 end,
  pageup = function(view) return 1 - view:visible_lines() end,
  pagedown = function(view) return view:visible_lines() - 1 end,
  home = function(view) return -view.row_count end,
  ["end"] = function(view) return view.row_count end,
}

-- Handles one event of system.poll_event: "quit" to stop, true when the view must be drawn again.
function View:handle(kind, a)
  if kind == "quit" then return "quit" end
  if kind == "expose" or kind == "resize" then
    self:scroll(0) -- a taller window may show the end of the document higher up
    return true
  end
  if kind == "mousewheel" then
    self.wheel = self.wheel - a * WHEEL_LINES
    local lines = self.wheel < 0 and math.ceil(self.wheel) or math.floor(self.wheel)
    self.wheel = self.wheel - lines
    return self:scroll(lines)
  end
  if kind == "keydown" and KEY_SCROLLS[a] then return self:scroll(KEY_SCROLLS[a](self)) end
  return false
end

-- Takes every waiting event; "quit", or whether the view must be drawn again.
function M.drain_events(view)
  local dirty = false
  while true do
    local event = table.pack(system.poll_event())
    if event.n == 0 then return dirty end
    local result = view:handle(table.unpack(event, 1, event.n))
    if result == "quit" then return "quit" end
    dirty = dirty or result
  end
end

function M.main(args, stdin_data)
  local files = M.files_from(args)
  local font = M.load_font(FONT_SIZE * (SCALE or 1))
  local view = M.new_view(M.open_documents(files, stdin_data), font)
  M.current = view
  system.set_window_title(#files == 1 and (files[1] .. " - qz") or "qz")
  local dirty = true
  while true do
    if dirty then view:draw() end
    system.wait_event(3600)
    dirty = M.drain_events(view)
    if dirty == "quit" then return end
  end
end

return M
