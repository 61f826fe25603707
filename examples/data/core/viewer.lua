-- A small file viewer over the host's modules: the documents' lines with line numbers in a DejaVu font,
-- scrolled with the wheel and the keys, redrawn only when an event changed what is shown.
local M = {}

local FONT_PATH = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
local FONT_SIZE = 14
local WHEEL_LINES = 3
local TAB_COLUMNS = 4
local MAX_DRAWN_BYTES = 4096 -- the part of a long line that can reach the screen
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

local function add_text(lines, content)
  for _, line in ipairs((text.split_lines(content, { keep_eol = false }))) do
    lines[#lines + 1] = { text = line, color = COLORS.text, numbered = true }
  end
end

-- The lines to show: each document's lines, under a heading when there are several or one failed.
function M.lines_of(files, stdin_data)
  local lines = {}
  if stdin_data then add_text(lines, stdin_data) end
  for _, path in ipairs(files) do
    local file, err = io.open(path, "rb")
    if #files > 1 or not file then
      lines[#lines + 1] = file and { text = path, color = COLORS.heading } or { text = "cannot open " .. err, color = COLORS.error }
    end
    if file then
      add_text(lines, file:read("a"))
      file:close()
    end
  end
  if #lines == 0 then
    lines[1] = { text = "Nothing to show: name files on the command line, or pipe text in with --stdin.",
                 color = COLORS.heading }
  end
  return lines
end

local View = {}
View.__index = View

function M.new_view(lines, font)
  local view = setmetatable({ lines = lines, font = font, top = 1, wheel = 0 }, View)
  font:set_tab_size(TAB_COLUMNS * math.max(1, math.floor(font:get_width(" "))))
  view.line_height = math.max(1, math.floor(font:get_height()))
  local numbered = 0
  for _, line in ipairs(lines) do
    if line.numbered then
      numbered = numbered + 1
      line.number = tostring(numbered)
    end
  end
  view.gutter = math.floor(font:get_width(tostring(math.max(numbered, 1)))) + 2 * PADDING
  return view
end

function View:visible_lines()
  local _, height = renderer.get_size()
  return math.max(1, height // self.line_height)
end

-- Moves the first shown line by delta lines, within the document; true when it moved.
function View:scroll(delta)
  local last_top = math.max(1, #self.lines - self:visible_lines() + 1)
  local top = math.max(1, math.min(last_top, self.top + delta))
  if top == self.top then return false end
  self.top = top
  return true
end

-- The part of a line that can reach the screen, cut once (a cut makes a new string).
local function drawn_text(line)
  local drawn = line.drawn
  if not drawn then
    drawn = #line.text > MAX_DRAWN_BYTES and line.text:sub(1, MAX_DRAWN_BYTES) or line.text
    line.drawn = drawn
  end
  return drawn
end

function View:draw()
  local width, height = renderer.get_size()
  local font, lines, gutter, line_height, y = self.font, self.lines, self.gutter, self.line_height, 0
  local draw_text, measure_text = renderer.draw_text, renderer.measure_text
  local number_color, text_x = COLORS.number, gutter + PADDING
  renderer.begin_frame()
  renderer.set_clip_rect(0, 0, width, height)
  renderer.draw_rect(0, 0, width, height, COLORS.background)
  renderer.draw_rect(0, 0, gutter, height, COLORS.gutter)
  for index = self.top, math.min(#lines, self.top + self:visible_lines()) do
    local line = lines[index]
    local number = line.number
    if number then draw_text(font, number, gutter - PADDING - measure_text(font, number), y, number_color) end
    draw_text(font, drawn_text(line), text_x, y, line.color)
    y = y + line_height
  end
  renderer.end_frame()
end

local KEY_SCROLLS = {
  up = function() return -1 end,
  down = function() return 1 end,
  pageup = function(view) return 1 - view:visible_lines() end,
  pagedown = function(view) return view:visible_lines() - 1 end,
  home = function(view) return -#view.lines end,
  ["end"] = function(view) return #view.lines end,
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
  local font = renderer.font.load(FONT_PATH, FONT_SIZE * (SCALE or 1))
  local view = M.new_view(M.lines_of(files, stdin_data), font)
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
