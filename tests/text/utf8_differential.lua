-- Differential check of the utf8 module's byte functions (len, codepoint, offset, codes, char) against Lua's own
-- utf8 library, opened as `lua_utf8`, on generated text and random bytes. Results and errors must be equal but
-- for the intended differences: lax len counts units (a byte and the continuation bytes after it); codes skips
-- stray continuation bytes after a character; char refuses values above U+10FFFF; offset says "position out
-- of range".
-- Returns a list of mismatch descriptions and the number of cases.
local ours, lua = utf8, lua_utf8

local pieces = {
  "a", "Z", "0", " ", "\0", "\x7F", "é", "ß", "\u{7FF}", "\u{800}", "中", "\u{FFFD}", "\u{FFFF}", "\u{10000}",
  "😀", "\u{10FFFF}", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF", "\xC0\x80",
  "\xC1\xBF", "\xE0\x80\x80", "\xF0\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFC\x84\x80\x80\x80\x80",
  "\xFD\xBF\xBF\xBF\xBF\xBF", "\xFE", "\xFF", "\x80", "\xBF", "\xC3", "\xE4\xB8", "\xF0\x9F\x98",
}

local function randomText()
  local parts = {}
  for _ = 1, math.random(0, 8) do
    if math.random(4) == 1 then
      parts[#parts + 1] = string.char(math.random(0, 255))
    else
      parts[#parts + 1] = pieces[math.random(#pieces)]
    end
  end
  return table.concat(parts)
end

local function normalize(message)
  return (tostring(message):gsub("lua_utf8%.", "utf8."):gsub("position out of bounds", "position out of range"))
end

local recorder = require("differential").recorder(normalize)
local check = recorder.check

local function call(f, ...) return table.pack(pcall(f, ...)) end

-- Lax len counts units: the range's first byte and every later one that is no continuation byte. Its argument
-- errors are Lua's.
local function laxLenModel(s, i, j)
  local r = call(lua.len, s, i, j, true)
  if not r[1] then return r end
  local function absolute(p) return p >= 0 and p or (-p > #s and 0 or #s + p + 1) end
  local first, count = absolute(i), 0
  for p = first, absolute(j) do
    local b = s:byte(p)
    if p == first or b < 0x80 or b >= 0xC0 then count = count + 1 end
  end
  return table.pack(true, count)
end

-- Codes visits every byte that is no continuation byte and decodes it as Lua's codepoint would; a continuation
-- byte that starts the text does not decode.
local function codesModel(s, lax)
  local out = {}
  local first = s:byte(1)
  if first and first >= 0x80 and first < 0xC0 then return table.pack(false, "invalid UTF-8 code") end
  for p = 1, #s do
    local b = s:byte(p)
    if b < 0x80 or b >= 0xC0 then
      local ok, code = pcall(lua.codepoint, s, p, p, lax)
      if not ok then return table.pack(false, "invalid UTF-8 code") end
      out[#out + 1] = p .. ":" .. code
    end
  end
  return table.pack(true, table.concat(out, " "))
end

local function collectCodes(codes, s, lax)
  return table.pack(pcall(function()
    local out = {}
    for p, c in codes(s, lax) do out[#out + 1] = p .. ":" .. c end
    return table.concat(out, " ")
  end))
end

local function stripPosition(r)
  if not r[1] then r[2] = tostring(r[2]):gsub("^[^:]*:%d+: ", "") end
  return r
end

local positions = { 0, 1, 2, 3, -1, -2, -3, 5, 9, -9, 40, -40, math.mininteger, math.maxinteger }

math.randomseed(20250611)
for round = 1, 1500 do
  local s = randomText()
  local label = string.format("s=%q", s)
  for _, lax in ipairs({ false, true }) do
    for _ = 1, 4 do
      local i, j = positions[math.random(#positions)], positions[math.random(#positions)]
      local expected = call(lua.len, s, i, j, lax)
      if lax then expected = laxLenModel(s, i, j) end
      check(label .. string.format(" len(%d, %d, %s)", i, j, lax), expected, call(ours.len, s, i, j, lax))
      check(label .. string.format(" codepoint(%d, %d, %s)", i, j, lax), call(lua.codepoint, s, i, j, lax),
        call(ours.codepoint, s, i, j, lax))
    end
    local expected = stripPosition(collectCodes(lua.codes, s, lax))
    local actual = stripPosition(collectCodes(ours.codes, s, lax))
    if expected[1] then
      check(label .. " codes " .. tostring(lax), expected, actual)
    end
    check(label .. " codes model " .. tostring(lax), codesModel(s, lax), actual)
  end
  for _ = 1, 6 do
    local n, i = positions[math.random(#positions)] % 7 - 3, positions[math.random(#positions)]
    if math.random(3) == 1 then i = nil end
    check(label .. string.format(" offset(%d, %s)", n, i), call(lua.offset, s, n, i), call(ours.offset, s, n, i))
  end
  if round % 3 == 0 then
    local values = {}
    for k = 1, math.random(0, 4) do
      local choice = math.random(6)
      values[k] = choice == 1 and math.random(0, 0x7F) or choice == 2 and math.random(0x80, 0xFFFF)
        or choice == 3 and math.random(0x10000, 0x10FFFF) or choice == 4 and math.random(0x110000, 0x7FFFFFFF)
        or choice == 5 and -math.random(1, 10) or (math.random(0, 0xFF) + 0.0)
    end
    local expected = call(lua.char, table.unpack(values))
    for k, v in ipairs(values) do
      if v < 0 then break end
      if v > 0x10FFFF then
        expected = table.pack(false, "bad argument #" .. k .. " to 'utf8.char' (value out of range)")
        break
      end
    end
    check(string.format("char(%s)", table.concat(values, ", ")), expected, call(ours.char, table.unpack(values)))
  end
end
check("charpattern", table.pack("[\0-\x7F\xC2-\xF4][\x80-\xBF]*"), table.pack(ours.charpattern))
check("char bad type", call(lua.char, "x"), call(ours.char, "x"))
check("char float", call(lua.char, 65.5), call(ours.char, 65.5))
check("codes bad type", call(lua.codes, nil), call(ours.codes, nil))
return recorder.results()
