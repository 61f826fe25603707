-- pack.detect, pack.zlib and pack.gzip: round trips with Python's zlib and gzip and with the gzip tool,
-- output limits, and the checking of arguments and options.
local t = require("qz_test")
local dir = t.tmpdir()

-- Runs a shell command; its standard output, failing the test when it exits with an error.
local function run(command)
  local p = assert(io.popen(command))
  local output = p:read("a")
  local ok, how, code = p:close()
  if not ok then error(string.format("%q ended with %s %s", command, how, code), 2) end
  return output
end

local function python(script, ...)
  local args = { ... }
  local path = dir .. "/script.py"
  t.write_file(path, script)
  return run("python3 " .. path .. " " .. table.concat(args, " "))
end

local sample = {}
for i = 1, 5000 do sample[#sample + 1] = "line " .. i .. " of the sample, " .. ("x"):rep(i % 13) end
sample = table.concat(sample, "\n") .. "\0\1\2\255"

t.test("detect names gzip, zlib and zip data and nothing else", function()
  t.eq(pack.detect(""), nil)
  t.eq(pack.detect("\31"), nil)
  t.eq(pack.detect("\31\139\8"), "gzip")
  t.eq(pack.detect("\31\139\0 and more"), nil)
  t.eq(pack.detect("\120\156"), "zlib")
  t.eq(pack.detect("PK\3"), nil)
  t.eq(pack.detect("PK\5\6 trailing"), "zip")
  t.eq(pack.detect(pack.gzip.compress("x")), "gzip")
  t.eq(pack.detect(pack.zlib.compress("x")), "zlib")
end)

t.test("our gzip, zlib and raw streams are read by Python and by gzip -dc", function()
  t.write_file(dir .. "/sample.bin", sample)
  t.write_file(dir .. "/ours.gz", assert(pack.gzip.compress(sample)))
  t.write_file(dir .. "/ours.zlib", assert(pack.zlib.compress(sample, { level = 9 })))
  t.write_file(dir .. "/ours.raw", assert(pack.zlib.deflate(sample, { level = 1 })))
  run("gzip -dc " .. dir .. "/ours.gz > " .. dir .. "/from-gzip.bin")
  t.truthy(t.read_file(dir .. "/from-gzip.bin") == sample, "gzip -dc restores the data")
  local verdict = python([[
import gzip, sys, zlib
d = sys.argv[1]
sample = open(d + "/sample.bin", "rb").read()
checks = [
    gzip.decompress(open(d + "/ours.gz", "rb").read()) == sample,
    zlib.decompress(open(d + "/ours.zlib", "rb").read()) == sample,
    zlib.decompress(open(d + "/ours.raw", "rb").read(), -15) == sample,
]
print(" ".join(str(c) for c in checks))
]], dir)
  t.eq(verdict, "True True True\n")
end)

t.test("streams written by Python and by the gzip tool are read back", function()
  t.write_file(dir .. "/sample.bin", sample)
  python([[
import gzip, sys, zlib
d = sys.argv[1]
sample = open(d + "/sample.bin", "rb").read()
open(d + "/py.gz", "wb").write(gzip.compress(sample, mtime=1234))
open(d + "/py.zlib", "wb").write(zlib.compress(sample, 9))
c = zlib.compressobj(6, zlib.DEFLATED, -15)
open(d + "/py.raw", "wb").write(c.compress(sample) + c.flush())
]], dir)
  t.truthy(pack.gzip.decompress(t.read_file(dir .. "/py.gz")) == sample)
  t.truthy(pack.zlib.decompress(t.read_file(dir .. "/py.zlib")) == sample)
  t.truthy(pack.zlib.inflate(t.read_file(dir .. "/py.raw")) == sample)
  -- The gzip tool records the file name (FNAME); two members joined read as one text.
  t.write_file(dir .. "/part1.txt", "first member\n")
  t.write_file(dir .. "/part2.txt", "second member\n")
  run("cd " .. dir .. " && gzip -kf part1.txt part2.txt && cat part1.txt.gz part2.txt.gz > both.gz")
  t.eq(pack.gzip.decompress(t.read_file(dir .. "/both.gz")), "first member\nsecond member\n")
end)

t.test("output of exactly max_output_size passes and one byte more fails", function()
  local data = ("abc"):rep(1000)
  local compressed = pack.gzip.compress(data)
  t.eq(#pack.gzip.decompress(compressed, { max_output_size = #data }), #data)
  t.eq(t.results(pack.gzip.decompress(compressed, { max_output_size = #data - 1 })),
    { n = 2, nil, "decompressed output exceeds configured limit" })
  t.eq(t.results(pack.zlib.inflate(pack.zlib.deflate(data), { max_output_size = #data - 1 })),
    { n = 2, nil, "decompressed output exceeds configured limit" })
  local exact = pack.zlib.compress(data)
  t.eq(pack.zlib.compress(data, { max_output_size = #exact }), exact)
  t.eq(t.results(pack.zlib.compress(data, { max_output_size = #exact - 1 })),
    { n = 2, nil, "compressed output exceeds configured limit" })
  t.eq(t.results(pack.gzip.compress("", { max_output_size = 17 })),
    { n = 2, nil, "compressed output exceeds configured limit" })
end)

t.test("two gzip members of 60 and 50 bytes fail under a limit of 100", function()
  local joined = pack.gzip.compress(("a"):rep(60)) .. pack.gzip.compress(("b"):rep(50))
  t.eq(#pack.gzip.decompress(joined), 110)
  t.eq(t.results(pack.gzip.decompress(joined, { max_output_size = 100 })),
    { n = 2, nil, "decompressed output exceeds configured limit" })
end)

t.test("zero padding after a member is an incomplete header, then a bad signature", function()
  local member = pack.gzip.compress("padded")
  for padding = 1, 12 do
    local _, message = pack.gzip.decompress(member .. ("\0"):rep(padding))
    t.eq(message, padding <= 9 and "gzip header is incomplete" or "gzip signature is invalid", "padding " .. padding)
  end
end)

t.test("operational failures return nil and the message", function()
  t.eq(t.results(pack.gzip.decompress("")), { n = 2, nil, "gzip input is empty" })
  t.eq(t.results(pack.zlib.decompress(pack.zlib.compress("x") .. "!")),
    { n = 2, nil, "compressed input contains trailing bytes" })
  t.eq(t.results(pack.zlib.inflate("")), { n = 2, nil, "compressed input ended before the stream was complete" })
  t.eq(t.results(pack.zlib.decompress("\120\156\255")), { n = 2, nil, "decompression failed: data error" })
end)

t.test("levels -1 and 10 are accepted; bad options raise with the caller's position", function()
  t.truthy(pack.zlib.compress(sample, { level = -1 }))
  t.truthy(pack.zlib.compress(sample, { level = 10 }))
  t.truthy(pack.zlib.compress(sample, nil))
  local err = t.raises(function() pack.zlib.compress("x", { level = 6.0 }) end, "option 'level' must be an integer")
  t.truthy(err:find("compression_test.lua:%d+: option"), err)
  t.raises(function() pack.gzip.compress("x", { level = 11 }) end, "option 'level' must be between -1 and 10")
  t.raises(function() pack.zlib.deflate("x", { level = -2 }) end, "option 'level' must be between -1 and 10")
  t.raises(function() pack.zlib.compress("x", { max_output_size = -1 }) end,
    "option 'max_output_size' must not be negative")
  t.raises(function() pack.gzip.decompress("x", { max_output_size = "10" }) end,
    "option 'max_output_size' must be an integer")
  t.raises(function() pack.zlib.inflate("x", "fast") end, "bad argument #2 to 'inflate' (table expected, got string)")
  t.raises(function() pack.gzip.compress({}) end, "bad argument #1 to 'compress' (string expected, got table)")
  t.eq(pack.zlib.decompress(pack.zlib.compress(12345)), "12345")
end)
