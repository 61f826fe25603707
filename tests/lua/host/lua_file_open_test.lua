-- Files opened from Lua: UTF-8 names, errno results, append mode, and no inheritance by child processes.
local t = require("qz_test")
local dir = t.tmpdir()

t.test("io.open opens a file with a non-ASCII UTF-8 name", function()
  local path = dir .. "/na\xC3\xAFve \xE2\x82\xAC.txt"
  local f = assert(io.open(path, "w"))
  f:write("hello")
  f:close()
  t.eq(assert(io.open(path, "r")):read("a"), "hello")
end)

t.test("io.open of a missing file returns nil, the errno text and ENOENT", function()
  local r = t.results(io.open(dir .. "/missing.txt", "r"))
  t.eq(r.n, 3)
  t.eq(r[1], nil)
  t.truthy(r[2]:find("No such file or directory", 1, true), r[2])
  t.eq(r[3], 2)
end)

t.test("io.open refuses an invalid mode", function()
  t.raises(function() io.open(dir .. "/x", "q") end, "invalid mode")
end)

t.test("append mode writes at the end even after a seek", function()
  local path = dir .. "/append.txt"
  assert(io.open(path, "w")):write("abc"):close()
  local f = assert(io.open(path, "a"))
  f:seek("set", 0)
  f:write("def")
  f:close()
  t.eq(assert(io.open(path, "rb")):read("a"), "abcdef")
end)

t.test("an open file can be renamed and removed by others", function()
  local path = dir .. "/busy.txt"
  local f = assert(io.open(path, "w"))
  t.truthy(os.rename(path, path .. ".moved"))
  t.truthy(os.remove(path .. ".moved"))
  f:close()
end)

t.test("files opened from Lua are not inherited by child processes", function()
  local path = dir .. "/private.txt"
  local f = assert(io.open(path, "w"))
  local r = assert(io.open(path .. ".r", "w"))
  local listing = assert(io.popen("ls -l /proc/self/fd/ 2>/dev/null")):read("a")
  f:close()
  r:close()
  t.truthy(listing:find("/proc/self/fd", 1, true) or #listing > 0, "the child listed its descriptors")
  t.eq(listing:find("private.txt", 1, true), nil, listing)
end)

t.test("loadfile and dofile read UTF-8 paths", function()
  local path = dir .. "/m\xC3\xB3dulo.lua"
  assert(io.open(path, "w")):write("return 42"):close()
  t.eq(dofile(path), 42)
  t.eq(assert(loadfile(path))(), 42)
  local missing = t.results(loadfile(dir .. "/none.lua"))
  t.truthy(missing[2]:find("cannot open", 1, true), missing[2])
end)
