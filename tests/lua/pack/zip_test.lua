-- pack.zip: PackZipReader and PackZipWriter from Lua, archives exchanged with zip, unzip and Python's
-- zipfile, and what happens to the destination when a writer is closed, discarded or dropped.
local t = require("qz_test")
local dir = t.tmpdir()

local function run(command)
  local p = assert(io.popen(command .. " 2>&1"))
  local output = p:read("a")
  local ok = p:close()
  return output, ok
end

local function listing(path)
  local names = {}
  for name in run("ls -A " .. path):gmatch("[^\n]+") do names[#names + 1] = name end
  return names
end

local function fresh(name)
  local path = dir .. "/" .. name
  run("rm -rf " .. path .. " && mkdir -p " .. path)
  return path
end

local function make_archive(path, entries)
  local w = assert(pack.zip.open_file_create(path))
  for _, e in ipairs(entries) do assert(w:add_memory(e[1], e[2])) end
  assert(w:close())
end

-- Python prints "name:crc:raw-bytes-digest" for every entry, the raw bytes being the compressed data.
local raw_digests_py = [[
import hashlib, struct, sys, zipfile
path = sys.argv[1]
data = open(path, "rb").read()
for info in zipfile.ZipFile(path).infolist():
    offset = info.header_offset
    name_length, extra_length = struct.unpack("<HH", data[offset + 26:offset + 30])
    start = offset + 30 + name_length + extra_length
    raw = data[start:start + info.compress_size]
    print("%s:%08x:%s" % (info.filename, info.CRC, hashlib.sha256(raw).hexdigest()))
]]

local function raw_digests(path)
  t.write_file(dir .. "/digests.py", raw_digests_py)
  local out, ok = run("python3 " .. dir .. "/digests.py " .. path)
  t.truthy(ok, out)
  return out
end

-- First of all: the name counter starts at 0 in every process.
t.test("temporary files sit beside the destination, the first one ending in -0", function()
  local d = fresh("temporary")
  local w = assert(pack.zip.open_file_create(d .. "/t.zip"))
  local names = listing(d)
  t.eq(#names, 1)
  t.truthy(names[1]:match("^t%.zip%.temporary%-%d+%-0$"), names[1])
  w:discard()
end)

t.test("a written archive passes unzip -t and Python reads every entry", function()
  local d = fresh("written")
  local big = ("0123456789abcdef"):rep(20000)
  t.write_file(d .. "/source.txt", big)
  local w = assert(pack.zip.open_file_create(d .. "/out.zip", { level = 9 }))
  t.eq(w:add_memory("hello.txt", "hello"), true)
  t.eq(w:add_memory("empty", ""), true)
  t.eq(w:add_file("dir/source.txt", d .. "/source.txt"), true)
  t.eq(w:close(), true)
  local out, ok = run("unzip -t " .. d .. "/out.zip")
  t.truthy(ok and out:find("No errors detected", 1, true), out)
  t.write_file(d .. "/check.py", [[
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(z.read("hello.txt").decode(), len(z.read("empty")), len(z.read("dir/source.txt")))
]])
  t.eq(run("python3 " .. d .. "/check.py " .. d .. "/out.zip"), "hello 0 " .. #big .. "\n")
end)

t.test("archives made by zip are read, and copied raw by write mode", function()
  local d = fresh("copied")
  t.write_file(d .. "/a.txt", ("alpha "):rep(5000))
  t.write_file(d .. "/b.bin", "\0\1\2\3")
  run("mkdir -p " .. d .. "/docs && cp " .. d .. "/a.txt " .. d .. "/docs/")
  local out, ok = run("cd " .. d .. " && zip -q -r made.zip a.txt docs && zip -q -0 made.zip b.bin")
  t.truthy(ok, out)
  local before = raw_digests(d .. "/made.zip")
  local r = assert(pack.zip.open_file_read(d .. "/made.zip"))
  t.eq(r:count(), 4)
  t.eq(r:read("a.txt"), t.read_file(d .. "/a.txt"))
  t.eq(r:info("docs/").directory, true)
  t.eq(t.results(r:read("docs/")), { n = 2, nil, "ZIP entry is a directory: docs/" })
  t.eq(r:info("b.bin").compression_method, 0)
  r:close()

  local w = assert(pack.zip.open_file_write(d .. "/made.zip"))
  t.eq(t.results(w:add_memory("docs/a.txt", "again")), { n = 2, nil, "ZIP entry already exists" })
  t.eq(t.results(w:add_memory("docs/", "")), { n = 2, nil, "ZIP entry name is unsafe" })
  assert(w:add_memory("added.txt", "new"))
  assert(w:close())
  local after = raw_digests(d .. "/made.zip")
  t.eq(after:sub(1, #before), before)
  out, ok = run("unzip -t " .. d .. "/made.zip")
  t.truthy(ok and out:find("No errors detected", 1, true), out)
end)

t.test("a name longer than the format allows is refused and the writer goes on; only UTF-8 names are marked", function()
  local d = fresh("long")
  t.write_file(d .. "/s.txt", "s")
  local w = assert(pack.zip.open_file_create(d .. "/l.zip"))
  t.eq(t.results(w:add_memory(("n"):rep(65536), "x")), { n = 2, nil, "ZIP memory addition failed: Invalid argument" })
  t.eq(t.results(w:add_file(("f"):rep(65536), d .. "/s.txt")), { n = 2, nil, "ZIP file addition failed: Invalid argument" })
  assert(w:add_memory("after", "added"))
  assert(w:add_memory("caf\xC3\xA9", "utf-8"))
  assert(w:add_memory("caf\xE9", "latin-1"))
  assert(w:close())
  local out, ok = run("unzip -tqq " .. d .. "/l.zip")
  t.truthy(ok, out)
  t.write_file(d .. "/flags.py", [[
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
for info in z.infolist(): print(len(info.filename), info.flag_bits & 0x800, z.read(info))
]])
  t.eq(run("python3 " .. d .. "/flags.py " .. d .. "/l.zip"), "5 0 b'added'\n4 2048 b'utf-8'\n4 0 b'latin-1'\n")
  local r = assert(pack.zip.open_file_read(d .. "/l.zip"))
  t.eq({ r:read("caf\xC3\xA9"), r:read("caf\xE9") }, { "utf-8", "latin-1" })
end)

t.test("readers name entries by position from 1 or by exact name", function()
  local d = fresh("names")
  make_archive(d .. "/n.zip", { { "first", "1st" }, { "1", "named one" } })
  local r = assert(pack.zip.open_file_read(d .. "/n.zip"))
  t.eq(r:read(1), "1st")
  t.eq(r:read("1"), "named one")
  t.eq(t.results(r:read(0)), { n = 2, nil, "ZIP entry was not found" })
  t.eq(t.results(r:read(3)), { n = 2, nil, "ZIP entry was not found" })
  t.eq(t.results(r:info("missing")), { n = 2, nil, "ZIP entry was not found" })
  t.raises(function() r:read(1.0) end, "expected an entry index or name")
  t.raises(function() r:info(true) end, "expected an entry index or name")
  local info = r:info(2)
  t.eq(info, {
    index = 2, name = "1", compressed_size = info.compressed_size, uncompressed_size = 9,
    checksum = info.checksum, compression_method = 8, directory = false, encrypted = false, supported = true,
  })
  t.eq(t.results(r:close()), { n = 1, true })
  t.eq(t.results(r:count()), { n = 2, nil, "ZIP archive is closed" })
  t.eq(t.results(r:info()), { n = 2, nil, "ZIP archive is closed" })
  t.eq(r:close(), true)
end)

t.test("a memory reader keeps its own copy and limits come from the options", function()
  local d = fresh("memory")
  make_archive(d .. "/m.zip", { { "big", ("z"):rep(100) }, { "none", "" } })
  local bytes = t.read_file(d .. "/m.zip")
  local r = assert(pack.zip.open_memory_read(bytes, { max_entry_size = 0 }))
  bytes = nil
  collectgarbage()
  t.eq(t.results(r:read("big")), { n = 2, nil, "ZIP entry exceeds extraction limit: big" })
  t.eq(r:read("none"), "")
  local limited = assert(pack.zip.open_file_read(d .. "/m.zip", { max_total_size = 150 }))
  t.eq(#limited:read(1), 100)
  t.eq(t.results(limited:read(1)), { n = 2, nil, "ZIP archive exceeds total extraction limit" })
  t.raises(function() pack.zip.open_file_read(d .. "/m.zip", { max_ratio = 0 }) end,
    "option 'max_ratio' must be positive")
  t.raises(function() pack.zip.open_memory_read("x", { max_total_size = -5 }) end,
    "option 'max_total_size' must not be negative")
  t.eq(t.results(pack.zip.open_memory_read("")), { n = 2, nil, "ZIP data must not be empty" })
  t.eq(t.results(pack.zip.open_file_read(d .. "/none.zip")), { n = 2, nil, "ZIP open failed: system error 2" })
end)

t.test("sizes of 2^63 and more come as floats", function()
  local name = "huge"
  local zip64 = string.pack("<I2I2i8i8", 1, 16, math.mininteger, 1)
  local central = string.pack("<I4I2I2I2I2I4I4I4I4I2I2I2I2I2I4I4", 0x02014b50, 45, 45, 0, 8, 0, 0,
    0xFFFFFFFF, 0xFFFFFFFF, #name, #zip64, 0, 0, 0, 0, 0) .. name .. zip64
  local eocd = string.pack("<I4I2I2I2I2I4I4I2", 0x06054b50, 0, 0, 1, 1, #central, 0, 0)
  local r = assert(pack.zip.open_memory_read(central .. eocd))
  local info = r:info(1)
  t.same(info.uncompressed_size, 2.0 ^ 63)
  t.same(info.compressed_size, 1)
  t.eq(t.results(r:read(1)), { n = 2, nil, "ZIP entry exceeds extraction limit: huge" })
end)

t.test("the destination is unchanged after discard, a to-be-closed exit and garbage collection", function()
  local d = fresh("unchanged")
  t.write_file(d .. "/keep.zip", "old contents")
  t.eq(assert(pack.zip.open_file_create(d .. "/keep.zip")):discard(), true)
  do
    local w <close> = assert(pack.zip.open_file_create(d .. "/keep.zip"))
    assert(w:add_memory("x", "y"))
  end
  local dropped = assert(pack.zip.open_file_write(d .. "/new.zip"))
  assert(dropped:add_memory("x", "y"))
  dropped = nil
  collectgarbage()
  collectgarbage()
  t.eq(t.read_file(d .. "/keep.zip"), "old contents")
  t.eq(listing(d), { "keep.zip" })
end)

t.test("a failed close closes the writer and leaves no temporary file", function()
  local d = fresh("failed")
  run("mkdir -p " .. d .. "/busy.zip && touch " .. d .. "/busy.zip/inside")
  local w = assert(pack.zip.open_file_create(d .. "/busy.zip"))
  assert(w:add_memory("x", "y"))
  t.eq(t.results(w:close()), { n = 2, nil, "ZIP install failed: system error 21" })
  t.eq(t.results(w:add_memory("x", "y")), { n = 2, nil, "ZIP writer is closed" })
  t.eq(t.results(w:add_file("x", d .. "/x")), { n = 2, nil, "ZIP writer is closed" })
  t.eq(w:close(), true)
  t.eq(w:discard(), true)
  t.eq(listing(d), { "busy.zip" })
end)

t.test("writers refuse a read-only archive and keep a link to one they replace", function()
  local d = fresh("resolved")
  make_archive(d .. "/ro.zip", { { "old", "o" } })
  run("chmod 0444 " .. d .. "/ro.zip")
  t.eq(t.results(pack.zip.open_file_create(d .. "/ro.zip")), { n = 2, nil, "file is read-only" })
  t.eq(t.results(pack.zip.open_file_write(d .. "/ro.zip")), { n = 2, nil, "file is read-only" })
  make_archive(d .. "/real.zip", { { "old", "o" } })
  run("ln -s real.zip " .. d .. "/link.zip")
  local w = assert(pack.zip.open_file_write(d .. "/link.zip"))
  assert(w:add_memory("new", "n"))
  t.eq(w:close(), true)
  t.eq(system.get_file_info(d .. "/link.zip").is_link, true)
  local r = assert(pack.zip.open_file_read(d .. "/real.zip"))
  t.eq(r:count(), 2)
  r:close()
  t.eq(listing(d), { "link.zip", "real.zip", "ro.zip" })
end)

t.test("writer arguments and options are checked", function()
  local d = fresh("arguments")
  t.raises(function() pack.zip.open_file_create(d .. "/a.zip", { level = -1 }) end,
    "option 'level' must be between 0 and 10")
  t.raises(function() pack.zip.open_file_write(d .. "/a.zip", { level = 1.5 }) end, "option 'level' must be an integer")
  t.raises(function() pack.zip.open_file_create(d .. "/a.zip", 5) end, "table expected, got number")
  t.eq(t.results(pack.zip.open_file_create("")), { n = 2, nil, "ZIP path must not be empty" })
  local w = assert(pack.zip.open_file_create(d .. "/a.zip", { level = 0 }))
  t.raises(function() w:add_memory("name") end, "bad argument #2 to 'add_memory' (string expected, got no value)")
  t.eq(t.results(w:add_file("s", d .. "/missing")), { n = 2, nil, "ZIP source file could not be opened" })
  t.eq(t.results(w:add_memory("../up", "x")), { n = 2, nil, "ZIP entry name is unsafe" })
  assert(w:add_memory("ok", "fine"))
  assert(w:close())
  t.eq(assert(pack.zip.open_file_read(d .. "/a.zip")):info(1).compression_method, 0)
end)

t.test("the userdata are protected and carry their methods", function()
  local d = fresh("types")
  make_archive(d .. "/p.zip", {})
  local r = assert(pack.zip.open_file_read(d .. "/p.zip"))
  local w = assert(pack.zip.open_file_create(d .. "/q.zip"))
  t.eq(getmetatable(r), "protected pack ZIP archive")
  t.eq(getmetatable(w), "protected pack ZIP writer")
  t.eq(r:count(), 0)
  t.raises(function() r.add_memory(r, "x", "y") end, "attempt to call a nil value")
  t.raises(function() w.count(r) end, "attempt to call a nil value")
  t.raises(function() w.add_memory(r, "x", "y") end, "PackZipWriter expected, got PackZipReader")
  w:discard()
end)
