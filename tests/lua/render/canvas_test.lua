-- The canvas module inside a running qz (headless): loading raster and SVG images, Base64 input,
-- resizing and pixel access.
local t = require("qz_test")

-- The same 2x2 image (opaque red, half-transparent green / opaque blue, white) as an indexed PNG with a
-- transparency chunk and as an RGBA PNG.
local INDEXED_PNG = "iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAMAAABFaP0WAAAADFBMVEX/AAAA/wAAAP/////7AGD2AAAABHRSTlP/gP//" ..
  "MoVpFAAAAA5JREFUeJxjYGBkYGIGAAARAAeeoioSAAAAAElFTkSuQmCC"
local RGBA_PNG = "iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAYAAABytg0kAAAAFElEQVR4nGP4z8DwHwgbGIA0GAAARNIJeLaHI0sAAAAASUVORK5CYII="

local function pixels(c)
  local w, h = c:get_size()
  local all = {}
  for y = 0, h - 1 do
    for x = 0, w - 1 do all[#all + 1] = { c:get_pixel(x, y) } end
  end
  return all
end

local EXPECTED = { { 255, 0, 0, 255 }, { 0, 255, 0, 128 }, { 0, 0, 255, 255 }, { 255, 255, 255, 255 } }

t.test("an indexed PNG and an RGBA PNG give the same pixels", function()
  local indexed, err, indexed_info = canvas.load_image_base64(INDEXED_PNG, "image/png")
  t.truthy(indexed, err)
  t.eq(err, nil)
  local rgba, _, rgba_info = canvas.load_image_base64(RGBA_PNG)
  t.eq(pixels(indexed), EXPECTED)
  t.eq(pixels(rgba), EXPECTED)
  t.eq(rgba_info, { bits_per_pixel = 32 })
  t.eq(indexed_info, { bits_per_pixel = 8 })
end)

t.test("files and bytes load like Base64", function()
  local dir = t.tmpdir()
  local decoded = canvas.load_image_base64(RGBA_PNG)
  t.eq(canvas.save_png(decoded, dir .. "/copy.png"), true)
  local from_file = assert(canvas.load_image(dir .. "/copy.png"))
  t.eq(pixels(from_file), EXPECTED)
  local from_bytes = assert(canvas.load_image_data(t.read_file(dir .. "/copy.png"), "IMAGE/JPEG"))
  t.eq(pixels(from_bytes), EXPECTED, "a MIME type other than exactly image/jpeg still detects the format")
  local r1, jpeg_err = canvas.load_image_data(t.read_file(dir .. "/copy.png"), "image/jpeg")
  t.eq(r1, nil)
  t.truthy(type(jpeg_err) == "string" and #jpeg_err > 0, "image/jpeg is decoded as JPEG only")
  t.truthy(canvas.load_image_data(t.read_file(dir .. "/copy.png"), "image/jpeg\0x"), "only the whole type is JPEG")
  local missing, why = canvas.load_image(dir .. "/missing.png")
  t.eq(missing, nil)
  t.truthy(#why > 0)
  t.eq(t.results(canvas.load_image_data("not an image")).n, 2)
end)

t.test("images declaring sizes beyond reason fail before they are decoded", function()
  local function le(value, bytes) return string.pack("<i" .. bytes, value) end
  -- 70 bytes declaring 2 x -2,000,000,000 pixels (16 GB once decoded).
  local bmp = "BM" .. le(70, 4) .. le(0, 4) .. le(54, 4) .. le(40, 4) .. le(2, 4) .. le(-2000000000, 4) ..
    le(1, 2) .. le(32, 2) .. string.rep("\0", 24) .. string.rep("\127", 16)
  t.eq(#bmp, 70)
  t.eq(t.results(canvas.load_image_data(bmp)), t.results(nil, "image dimensions are too large"))
  -- TGA has no signature: a file named .tga is read as one.
  local dir = t.tmpdir()
  t.write_file(dir .. "/huge.tga", "\0\0\2" .. string.rep("\0", 9) .. string.pack("<I2I2", 65535, 65535) ..
    "\32\32" .. string.rep("\127", 16))
  t.eq(t.results(canvas.load_image(dir .. "/huge.tga")), t.results(nil, "image dimensions are too large"))
end)

t.test("strict Base64", function()
  for _, bad in ipairs({ "QQ=", "Q===", "QQ==QQ==", "Q", "QQ =", "QQ\n==", "-_8=", "data:QQ==" }) do
    t.eq(t.results(canvas.load_image_base64(bad)), t.results(nil, "invalid Base64 image data"), bad)
  end
  -- Valid Base64 that is no image fails in the decoder instead.
  for _, text in ipairs({ "QQ==", "QQ", "QR==", "" }) do
    local c, err = canvas.load_image_base64(text)
    t.eq(c, nil)
    t.truthy(err ~= "invalid Base64 image data", text)
  end
  local unpadded = RGBA_PNG:gsub("=+$", "")
  t.eq(pixels(assert(canvas.load_image_base64(unpadded))), EXPECTED)
end)

t.test("get_pixel ranges", function()
  local c = canvas.load_image_base64(RGBA_PNG)
  t.raises(function() c:get_pixel(2, 0) end, "bad argument #1 to 'get_pixel' (pixel x out of range)")
  t.raises(function() c:get_pixel(0, -1) end, "bad argument #2 to 'get_pixel' (pixel y out of range)")
  t.raises(function() c:get_pixel(0.5, 0) end, "number has no integer representation")
  t.raises(function() c.get_size(5) end, "Canvas expected")
end)

t.test("resize", function()
  local c = renderer.render_to_canvas(2, 2, function() renderer.draw_rect(0, 0, 1, 2, { 255, 0, 0 }) end)
  local small = assert(canvas.resize(c, 1, 1))
  t.eq({ small:get_pixel(0, 0) }, { 255, 0, 0, 128 })
  t.eq({ c:get_size() }, { 2, 2 }, "the source is unchanged")
  local same = canvas.resize(c, 2, 2)
  t.eq(pixels(same), { { 255, 0, 0, 255 }, { 0, 0, 0, 0 }, { 255, 0, 0, 255 }, { 0, 0, 0, 0 } })
  t.raises(function() canvas.resize(c, 0, 1) end, "expected a positive number in integer range")
  t.eq(t.results(canvas.resize(c, 2147483647, 2147483647)), t.results(nil, "image dimensions are too large"))
end)

t.test("resize keeps to the size bound of every image: 65536 pixels a side, 2^28 pixels in all", function()
  local c = renderer.render_to_canvas(2, 2, function() end)
  for _, size in ipairs({ { 20000, 20000 }, { 65537, 1 }, { 1, 65537 }, { 16385, 16384 } }) do
    t.eq(t.results(canvas.resize(c, size[1], size[2])), t.results(nil, "image dimensions are too large"),
      size[1] .. " x " .. size[2])
  end
  t.eq({ assert(canvas.resize(c, 65536, 1)):get_size() }, { 65536, 1 })
end)

t.test("SVG images", function()
  local path = t.tmpdir() .. "/half.svg"
  t.write_file(path, '<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8">' ..
    '<rect width="8" height="8" fill="#ff0000" fill-opacity="0.5"/></svg>')
  local c = assert(canvas.load_svg_image(path, 16, 16))
  t.eq({ c:get_size() }, { 16, 16 })
  local r, g, b, a = c:get_pixel(8, 8)
  t.eq({ r, g, b }, { 255, 0, 0 })
  t.truthy(math.abs(a - 128) <= 1, "alpha " .. a)
  t.eq(select("#", canvas.load_svg_image(path, 4, 4)), 1)
  local missing, err = canvas.load_svg_image(t.tmpdir() .. "/none.svg", 4, 4)
  t.eq(missing, nil)
  t.truthy(err:find("none.svg", 1, true), err)
  t.raises(function() canvas.load_svg_image(path, 0, 4) end, "expected a positive number in integer range")
end)

t.test("image paths that name no regular file fail at once", function()
  local dir = t.tmpdir()
  t.eq(canvas.save_png(canvas.load_image_base64(RGBA_PNG), dir .. "/named.png"), true)
  t.write_file(dir .. "/named.svg", '<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"/>')
  os.remove(dir .. "/image-fifo")
  t.eq(os.execute("mkfifo " .. dir .. "/image-fifo"), true)
  local cases = {
    { dir .. "/named.png\0.ignored", "path conversion failed: Invalid argument" },
    { dir .. "/image-fifo", "file open failed: Invalid argument" },
    { "/dev/zero", "file open failed: Invalid argument" },
    { dir, "file open failed: Is a directory" },
  }
  for _, case in ipairs(cases) do
    t.eq(t.results(canvas.load_image(case[1])), t.results(nil, case[2]), case[1])
    local svg_path = case[1]:gsub("named%.png", "named.svg")
    t.eq(t.results(canvas.load_svg_image(svg_path, 4, 4)), t.results(nil, case[2]), svg_path)
  end
end)

t.test("the module's table and the Canvas metatable", function()
  local names = {}
  for name in pairs(canvas) do names[#names + 1] = name end
  table.sort(names)
  t.eq(names, { "load_image", "load_image_base64", "load_image_data", "load_svg_image", "resize", "save_png" })
  local mt = debug.getmetatable(canvas.load_image_base64(RGBA_PNG))
  t.truthy(mt.__index == mt and mt.__gc and mt.get_size and mt.get_pixel)
end)
