-- The documents of the viewer. A document keeps its file's bytes as one string with a sparse index of line
-- starts; a line is cut, decoded and made printable only when it is shown, so a file of hundreds of
-- megabytes opens in the time it takes to read it. A file that cannot be shown becomes a document with a note
-- (a directory, a device, a pipe, an unreadable or binary file) instead of lines. A text with a few NULs is
-- still a text; a text that is not UTF-8 is read as Windows-1252.
local M = {}

M.MAX_FILE_BYTES = 512 * 1024 * 1024 -- a longer file shows its beginning
M.MAX_LINE_BYTES = 4096 -- the part of a line, from its first shown column, that can reach the screen
local STRIDE = 64 -- lines between two indexed line starts

-- Units of the encodings a document can be in: their size and string.unpack format.
local ENCODINGS = {
  utf8 = { label = "UTF-8", unit = 1 },
  cp1252 = { label = "Windows-1252", unit = 1 },
  utf16le = { label = "UTF-16 LE", unit = 2, format = "<I2" },
  utf16be = { label = "UTF-16 BE", unit = 2, format = ">I2" },
  utf32le = { label = "UTF-32 LE", unit = 4, format = "<I4" },
  utf32be = { label = "UTF-32 BE", unit = 4, format = ">I4" },
}

-- Control bytes as the symbols of the Control Pictures block (tab stays a tab).
local PICTURES = { ["\127"] = utf8.char(0x2421) }
for byte = 0, 31 do
  if byte ~= 9 then PICTURES[string.char(byte)] = utf8.char(0x2400 + byte) end
end
local CONTROLS = "[\0-\8\10-\31\127]"

-- The characters of Windows-1252's upper half as UTF-8. Its five unassigned bytes (81, 8D, 8F, 90, 9D) stand
-- for the C1 control of the same number, as in the encoding's common definition.
local CP1252_HIGH = { [0] = 0x20AC, 0x81, 0x201A, 0x192, 0x201E, 0x2026, 0x2020, 0x2021, 0x2C6, 0x2030, 0x160,
  0x2039, 0x152, 0x8D, 0x17D, 0x8F, 0x90, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x2DC, 0x2122,
  0x161, 0x203A, 0x153, 0x9D, 0x17E, 0x178 }
local CP1252 = {}
for byte = 0x80, 0xFF do CP1252[string.char(byte)] = utf8.char(CP1252_HIGH[byte - 0x80] or byte) end

local Document = {}
Document.__index = Document

-- A document that shows only a note about name.
function M.noted(name, note) return setmetatable({ name = name, note = note, line_count = 0 }, Document) end
local noted = M.noted

local find, unpack = string.find, string.unpack

-- The newline's position in bytes at or after pos that starts a whole unit counted from first, or nil.
local function next_newline(bytes, newline, unit, first, pos)
  local at = find(bytes, newline, pos, true)
  while at and (at - first) % unit ~= 0 do
    at = find(bytes, newline, at + 1, true)
  end
  return at
end

-- Counts the lines of bytes[first..] and notes where every STRIDE-th one starts. A final newline ends the
-- last line; it does not begin another.
local function index_lines(doc)
  local bytes, newline, unit, first = doc.bytes, doc.newline, doc.unit, doc.first
  local starts, last, count, pos = { first }, #bytes, 0, first
  if unit == 1 then
    while pos <= last do
      local at = find(bytes, newline, pos, true)
      count = count + 1
      if not at then break end
      pos = at + 1
      if count % STRIDE == 0 then starts[#starts + 1] = pos end
    end
  else
    while pos <= last do
      local at = next_newline(bytes, newline, unit, first, pos)
      count = count + 1
      if not at then break end
      pos = at + unit
      if count % STRIDE == 0 then starts[#starts + 1] = pos end
    end
  end
  doc.starts, doc.line_count = starts, count
end

-- At most one NUL in this many bytes of otherwise valid UTF-8 still makes a text, shown with ␀; so does at
-- most one control byte of any kind in BYTES_PER_CONTROL, the share the probe allows a text without NULs.
local BYTES_PER_NUL, BYTES_PER_CONTROL = 100, 10

-- Whether the probe's binary verdict comes only from a few NULs in UTF-8 text.
local function text_with_few_nuls(report)
  local binary, size = report.binary, report.sample.size
  return report.utf8.status ~= "invalid" and binary.nul_count * BYTES_PER_NUL <= size
    and binary.control_count * BYTES_PER_CONTROL <= size
end

-- The encoding and first content byte of the bytes, or nil when they are binary; and what the probe found when
-- it is not the encoding's own name.
local function encoding_of(bytes)
  local report = text.probe_file(bytes)
  local bom = report.bom
  if bom and ENCODINGS[bom.encoding] then return bom.encoding, bom.size + 1 end
  if report.utf16.status == "valid" then return "utf16" .. report.utf16.endianness, 1 end
  if report.binary.status == "valid" and not text_with_few_nuls(report) then return nil end
  if report.utf8.status == "invalid" then
    return "cp1252", 1, string.format("not UTF-8 (byte %d), shown as Windows-1252", report.utf8.invalid_offset)
  end
  return "utf8", 1
end

-- A document of the bytes, named name; size is the whole file's size when only its beginning was read.
function M.from_bytes(name, bytes, size)
  local encoding, first, found = encoding_of(bytes)
  if not encoding then return noted(name, string.format("binary file of %d bytes: not shown", size or #bytes)) end
  local codec = ENCODINGS[encoding]
  local doc = setmetatable({ name = name, bytes = bytes, first = first, encoding = encoding,
                             label = found or codec.label, unit = codec.unit, format = codec.format,
                             size = size or #bytes, column_hints = {}, hint_count = 0 }, Document)
  doc.truncated = doc.size > #bytes
  -- Lines end at LF (a CR before it is dropped), or at CR in a text without any LF.
  local lf = codec.format and string.pack(codec.format, 10) or "\n"
  local cr = codec.format and string.pack(codec.format, 13) or "\r"
  local has_lf = next_newline(bytes, lf, doc.unit, first, first) ~= nil
  doc.newline = (has_lf or not next_newline(bytes, cr, doc.unit, first, first)) and lf or cr
  doc.cr = doc.newline == lf and cr or nil
  index_lines(doc)
  return doc
end

-- A document of the file at path, or of the reason it cannot be shown.
function M.open(path)
  local info = system.get_file_info(path)
  if info and info.type == "dir" then return noted(path, "is a directory: not shown") end
  local bytes, err = system.read_file(path, M.MAX_FILE_BYTES)
  if not bytes then
    -- Devices, pipes and sockets are refused by the host, and report no size.
    if info and info.size == 0 and err:find("Invalid argument", 1, true) then
      err = "not a regular file (a device, pipe or socket): not shown"
    end
    return noted(path, err)
  end
  return M.from_bytes(path, bytes, info and math.max(math.tointeger(info.size) or 0, #bytes))
end

-- The byte range [from, to] of line index (1-based, without its line ending), moving a cursor so that lines
-- asked in order cost one search each.
function Document:bounds(index)
  local bytes, newline, unit = self.bytes, self.newline, self.unit
  local line, pos = self.cursor_line, self.cursor_pos
  if not line or index < line or index - line >= STRIDE then
    local slot = (index - 1) // STRIDE
    line, pos = slot * STRIDE + 1, self.starts[slot + 1]
  end
  while line < index do
    pos = next_newline(bytes, newline, unit, self.first, pos) + unit
    line = line + 1
  end
  self.cursor_line, self.cursor_pos = line, pos
  local at = next_newline(bytes, newline, unit, self.first, pos)
  local to = at and at - 1 or #bytes
  if self.cr and to - unit + 1 >= pos and bytes:sub(to - unit + 1, to) == self.cr then to = to - unit end
  return pos, to
end

local function decode_units(raw, format, unit)
  local codes, count, at, last = {}, 0, 1, #raw - unit + 1
  while at <= last do
    local code = unpack(format, raw, at)
    at = at + unit
    if code >= 0xD800 and code <= 0xDBFF and unit == 2 and at <= last then
      local low = unpack(format, raw, at)
      if low >= 0xDC00 and low <= 0xDFFF then
        code, at = 0x10000 + (code - 0xD800) * 0x400 + (low - 0xDC00), at + 2
      end
    end
    if (code >= 0xD800 and code <= 0xDFFF) or code > 0x10FFFF then code = 0xFFFD end
    count = count + 1
    codes[count] = code
  end
  if at <= #raw then
    count = count + 1
    codes[count] = 0xFFFD -- a cut unit at the end of the file
  end
  return utf8.char(table.unpack(codes, 1, count))
end

-- The end of a line cut to end at to: moved back to the last whole character, so the cut shows no
-- replacement character that the file does not hold.
local function whole_character_end(doc, to)
  local bytes = doc.bytes
  if doc.encoding == "utf8" then
    -- Back over the lead and continuation bytes of a character that goes on after to (at most 3 of them).
    local start = to
    while start > to - 3 and (bytes:byte(start) or 0) & 0xC0 == 0x80 do start = start - 1 end
    local lead = bytes:byte(start) or 0
    local length = lead >= 0xF0 and 4 or lead >= 0xE0 and 3 or lead >= 0xC0 and 2 or 1
    if lead >= 0xC0 and start + length - 1 > to then return start - 1 end
    return to
  end
  if doc.unit == 2 then
    local last = unpack(doc.format, bytes, to - 1)
    if last >= 0xD800 and last <= 0xDBFF then return to - 2 end -- the first half of a pair
  end
  return to
end

-- The byte where the character count characters after the one at pos starts, in a line whose last byte is
-- to; one past to when the line has exactly that many, nil when it ends sooner. A byte of UTF-8 text that
-- starts no valid character counts as one.
local function advance(doc, pos, to, count)
  if doc.encoding == "utf8" then
    if count > to + 1 - pos then return nil end -- a character takes a byte at least
    pos = utf8.offset(doc.bytes, count + 1, pos)
  elseif doc.unit == 2 then
    local bytes, format = doc.bytes, doc.format
    for _ = 1, count do
      if pos > to then return nil end
      local code = unpack(format, bytes, pos)
      pos = pos + 2
      if code >= 0xD800 and code <= 0xDBFF and pos < to then
        local low = unpack(format, bytes, pos)
        if low >= 0xDC00 and low <= 0xDFFF then pos = pos + 2 end
      end
    end
  else
    pos = pos + count * doc.unit
  end
  return pos and pos <= to + 1 and pos or nil
end

-- Lines whose shown column's byte is remembered, so that a view scrolled far to the right moves on from
-- where it was instead of counting from each line's start again.
local MAX_COLUMN_HINTS = 256

-- The byte of line index (bytes from..to) where its character column (counted from 0) starts, or nil when
-- the line is shorter.
function Document:column_start(index, from, to, column)
  if column == 0 then return from end
  local hint = self.column_hints[index]
  local pos
  if hint and hint.column <= column then
    pos = advance(self, hint.pos, to, column - hint.column)
  else
    pos = advance(self, from, to, column)
  end
  if not pos then return nil end
  if not hint then
    if self.hint_count >= MAX_COLUMN_HINTS then self.column_hints, self.hint_count = {}, 0 end
    hint = {}
    self.column_hints[index], self.hint_count = hint, self.hint_count + 1
  end
  hint.column, hint.pos = column, pos
  return pos
end

-- Whether line index has more than columns characters from its character column.
function Document:goes_on(index, column, columns)
  local from, to = self:bounds(index)
  local pos = self:column_start(index, from, to, column)
  pos = pos and advance(self, pos, to, columns)
  return pos ~= nil and pos <= to
end

-- Line index from its character column (counted from 0, none by default) as UTF-8 text that can be drawn,
-- control bytes as symbols, and whether it was cut: at most MAX_LINE_BYTES of it, ending at a whole
-- character. A line with no characters from that column is empty.
function Document:line(index, column)
  local from, to = self:bounds(index)
  from = self:column_start(index, from, to, column or 0)
  if not from then return "", false end
  local unit = self.unit
  local limit = M.MAX_LINE_BYTES - M.MAX_LINE_BYTES % unit
  local cut = to - from + 1 > limit
  if cut then to = whole_character_end(self, from + limit - 1) end
  local raw = self.bytes:sub(from, to)
  if self.format then
    raw = decode_units(raw, self.format, unit)
  elseif self.encoding == "cp1252" then
    raw = raw:gsub("[\128-\255]", CP1252)
  end
  return (raw:gsub(CONTROLS, PICTURES)), cut
end

-- What the document is, in a few words: its encoding, line count and whether it was cut.
function Document:summary()
  if self.note then return self.note end
  local lines = self.line_count == 1 and "1 line" or (self.line_count .. " lines")
  local summary = self.label .. ", " .. lines
  if self.truncated then
    summary = summary .. string.format(", the first %d of %d bytes", #self.bytes, self.size)
  end
  return summary
end

return M
