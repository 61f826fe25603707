-- canvas.save_png inside a running qz (headless): the iTXt chunks, their CRCs, the metadata checks and the
-- round trip of the pixels.
local t = require("qz_test")

local crc_table = {}
for n = 0, 255 do
  local c = n
  for _ = 1, 8 do c = (c & 1) ~= 0 and (0xEDB88320 ~ (c >> 1)) or (c >> 1) end
  crc_table[n] = c
end

local function crc32(bytes)
  local c = 0xFFFFFFFF
  for i = 1, #bytes do c = crc_table[(c ~ bytes:byte(i)) & 0xFF] ~ (c >> 8) end
  return c ~ 0xFFFFFFFF
end

-- The chunks of a PNG file: {type, data, crc_ok}.
local function chunks_of(path)
  local png = assert(t.read_file(path))
  t.eq(png:sub(1, 8), "\137PNG\r\n\26\n")
  local list, at = {}, 9
  while at <= #png do
    local length, kind = string.unpack(">I4c4", png, at)
    local data = png:sub(at + 8, at + 7 + length)
    local crc = string.unpack(">I4", png, at + 8 + length)
    list[#list + 1] = { type = kind, data = data, crc_ok = crc == crc32(kind .. data) }
    at = at + 12 + length
  end
  return list
end

local function texts_of(path)
  local texts, seen_idat = {}, false
  for _, chunk in ipairs(chunks_of(path)) do
    t.truthy(chunk.crc_ok, chunk.type .. " CRC")
    if chunk.type == "IDAT" then seen_idat = true end
    if chunk.type == "iTXt" then
      t.eq(seen_idat, false, "iTXt after IDAT")
      local key, rest = chunk.data:match("^([^%z]*)%z%z%z%z%z(.*)$")
      texts[#texts + 1] = { key, rest }
    end
  end
  return texts
end

local function sample()
  return renderer.render_to_canvas(5, 3, function()
    renderer.draw_rect(0, 0, 5, 3, { 10, 20, 30, 77 })
    renderer.draw_rect(1, 1, 2, 1, { 200, 100, 0 })
  end)
end

t.test("default chunks come first, then the script's keys, all before the first IDAT", function()
  local path = t.tmpdir() .. "/meta.png"
  t.eq(canvas.save_png(sample(), path, { Title = "sample" }), true)
  local texts = texts_of(path)
  t.eq(#texts, 3)
  t.eq(texts[1], { "Software", "Qz by Varentil" })
  t.eq(texts[2][1], "Creation Time")
  t.truthy(texts[2][2]:match("^%d%d%d%d%-%d%d%-%d%dT%d%d:%d%d:%d%dZ$"), texts[2][2])
  t.eq(texts[3], { "Title", "sample" })
  t.eq(chunks_of(path)[1].type, "IHDR")
end)

t.test("Software can be replaced and an empty value is kept", function()
  local path = t.tmpdir() .. "/software.png"
  t.eq(canvas.save_png(sample(), path, { Software = "tests", Empty = "" }), true)
  local texts = texts_of(path)
  t.eq(texts[1], { "Software", "tests" })
  t.eq(texts[3], { "Empty", "" })
  t.eq(#texts, 3)
  t.eq(canvas.save_png(sample(), path), true)
  t.eq(#texts_of(path), 2, "without a metadata table only the two defaults")
end)

t.test("pixels survive a save and load", function()
  local path = t.tmpdir() .. "/round.png"
  local original = sample()
  t.eq(canvas.save_png(original, path), true)
  local loaded = assert(canvas.load_image(path))
  for y = 0, 2 do
    for x = 0, 4 do t.eq({ loaded:get_pixel(x, y) }, { original:get_pixel(x, y) }) end
  end
end)

t.test("metadata keys and values are checked before anything is written", function()
  local path = t.tmpdir() .. "/bad.png"
  local c = sample()
  t.eq(canvas.save_png(c, path, { [string.rep("k", 79)] = "ok" }), true)
  os.remove(path)
  t.raises(function() canvas.save_png(c, path, { [string.rep("k", 80)] = "x" }) end,
    "metadata keys must contain 1 to 79 bytes")
  t.raises(function() canvas.save_png(c, path, { [""] = "x" }) end, "metadata keys must contain 1 to 79 bytes")
  t.raises(function() canvas.save_png(c, path, { ["a\0b"] = "x" }) end, "metadata keys cannot contain zero bytes")
  t.raises(function() canvas.save_png(c, path, { [1] = "x" }) end, "string expected as metadata key, got number")
  t.raises(function() canvas.save_png(c, path, { key = 5 }) end, "string expected as metadata value, got number")
  t.raises(function() canvas.save_png(c, path, "Title") end, "table expected")
  t.raises(function() canvas.save_png(c, {}) end, "string expected")
  t.eq(t.read_file(path), nil)
end)

t.test("a path in a missing directory fails and creates nothing", function()
  local dir = t.tmpdir() .. "/no/such"
  local ok, err = canvas.save_png(sample(), dir .. "/x.png")
  t.eq(ok, nil)
  t.truthy(err:find("No such file or directory", 1, true), err)
  t.eq(system.is_dir(t.tmpdir() .. "/no"), false)
end)

t.test("a target that is no regular file is left alone", function()
  local dir = t.tmpdir()
  os.remove(dir .. "/target-fifo")
  t.eq(os.execute("mkfifo " .. dir .. "/target-fifo"), true)
  t.eq(t.results(canvas.save_png(sample(), dir .. "/target-fifo")), t.results(nil, "file open failed: Invalid argument"))
  t.eq(os.execute("test -p " .. dir .. "/target-fifo"), true, "the pipe is still a pipe")
  t.eq(t.results(canvas.save_png(sample(), dir)), t.results(nil, "file open failed: Is a directory"))
  t.eq(t.results(canvas.save_png(sample(), dir .. "/cut.png\0.txt")),
    t.results(nil, "path conversion failed: Invalid argument"))
  t.eq(t.read_file(dir .. "/cut.png"), nil)
end)

t.test("a freed canvas is refused", function()
  local c = sample()
  local gc = debug.getmetatable(c).__gc
  gc(c)
  t.raises(function() canvas.save_png(c, t.tmpdir() .. "/freed.png") end, "canvas already freed")
  t.raises(function() c:get_size() end, "canvas already freed")
  t.raises(function() renderer.draw_canvas(c, 0, 0) end, "canvas already freed")
  t.raises(function() renderer.draw_mask(c, 0, 0) end, "mask already freed")
  gc(c)
end)
