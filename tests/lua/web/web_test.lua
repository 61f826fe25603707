-- web: the argument checks of web.download, each at its argument, and downloads polled from Lua.
local t = require("qz_test")
local dir = t.tmpdir()
local base = t.http_fixture()

local wait = t.poll

t.test("url and destination are checked in order, each at its argument", function()
  local cases = {
    { { {}, "d" }, "bad argument #1 to 'download' (string expected, got table)" },
    { { "", "" }, "bad argument #1 to 'download' (URL must not be empty)" },
    { { "x", "" }, "bad argument #2 to 'download' (destination must not be empty)" },
    { { "http://a\0", "d" }, "bad argument #1 to 'download' (URL must not contain a NUL byte)" },
    { { "http://a", "d\0" }, "bad argument #2 to 'download' (destination must not contain a NUL byte)" },
    { { "HTTP://a", "d" }, "bad argument #1 to 'download' (URL must use HTTP or HTTPS)" },
    { { "https:/", "d" }, "bad argument #1 to 'download' (URL must use HTTP or HTTPS)" },
    { { "ftp://a", "d" }, "bad argument #1 to 'download' (URL must use HTTP or HTTPS)" },
  }
  for _, case in ipairs(cases) do
    t.raises(function() web.download(table.unpack(case[1])) end, case[2])
  end
end)

t.test("options are checked in order, each failure at argument 3 naming the field where its value is wrong", function()
  local cases = {
    { false, "bad argument #3 to 'download' (table expected, got boolean)" },
    { { max_size = 0 }, "bad argument #3 to 'download' (max_size must be positive)" },
    { { max_size = -1 }, "bad argument #3 to 'download' (download sizes must not be negative)" },
    { { max_size = 1.5 }, "bad argument #3 to 'download' (field 'max_size': number has no integer representation)" },
    { { size = -1 }, "bad argument #3 to 'download' (download sizes must not be negative)" },
    { { size = "x" }, "bad argument #3 to 'download' (field 'size': number expected, got string)" },
    { { sha256 = string.rep("a", 63) }, "(sha256 must contain 64 hexadecimal characters)" },
    { { sha256 = string.rep("g", 64) }, "(sha256 must contain 64 hexadecimal characters)" },
    { { method = "PUT" }, "bad argument #3 to 'download' (download method must be GET or POST)" },
    { { method = 1 }, "(download method must be GET or POST)" },
    { { body = "x" }, "bad argument #3 to 'download' (download body requires POST)" },
    { { method = "get", body = "x" }, "(download body requires POST)" },
    { { method = "POST", body = {} }, "bad argument #3 to 'download' (field 'body': string expected, got table)" },
  }
  for _, case in ipairs(cases) do
    t.raises(function() web.download("http://127.0.0.1:1/", dir .. "/never", case[1]) end, case[2])
  end
  local fields = {}
  local spy = setmetatable({}, { __index = function(_, key) fields[#fields + 1] = key end })
  wait(web.download("http://127.0.0.1:1/", dir .. "/never", spy))
  t.eq(fields, { "max_size", "size", "sha256", "method", "body" })
end)

t.test("a download is polled to its end and keeps its result", function()
  local request = web.download(base .. "/bytes?n=100000", dir .. "/out",
    { sha256 = string.rep("A", 64), method = "get", body = "" })
  t.eq(getmetatable(request), "protected web download request")
  t.eq(t.results(wait(request)), t.results(nil, "download SHA-256 does not match", 200))
  t.eq(t.read_file(dir .. "/out"), nil)
  t.truthy(wait(web.download(base .. "/bytes?n=100000", dir .. "/plain")))
  local digest = system.sha256(t.read_file(dir .. "/plain")):upper()
  request = web.download(base .. "/bytes?n=100000&chunk=50000&delay=200", dir .. "/out", { sha256 = digest })
  t.eq(t.results(request:result()), t.results(nil, "download is still running"))
  t.eq(t.results(wait(request)), t.results(true, 100000, 200))
  t.eq(t.results(request:result()), t.results(true, 100000, 200))
  t.eq(request:progress(), 100000)
  t.eq(#t.read_file(dir .. "/out"), 100000)
  t.eq(t.results(wait(web.download("http://", dir .. "/out"))), t.results(nil, "URL parsing failed (14)", 0))
end)

t.test("a read-only destination is refused and kept", function()
  t.write_file(dir .. "/read-only", "old")
  t.truthy(os.execute("chmod 0444 '" .. dir .. "/read-only'"))
  t.eq(t.results(wait(web.download(base .. "/bytes?n=10", dir .. "/read-only"))),
    t.results(nil, "file is read-only", 200))
  t.eq(t.read_file(dir .. "/read-only"), "old")
end)

t.test("post (any case) sends the body as JSON", function()
  t.truthy(wait(web.download(base .. "/echo", dir .. "/echo", { method = "post", body = '{"k":1}' })))
  local echo = t.read_file(dir .. "/echo")
  t.truthy(echo:find("^POST\n") and echo:find("content-type: application/json\n", 1, true), echo)
  t.truthy(echo:find('{"k":1}', 1, true), echo)
end)

t.test("dropping every reference does not stop the download", function()
  web.download(base .. "/bytes?n=3000&chunk=1000&delay=100", dir .. "/dropped")
  collectgarbage()
  collectgarbage()
  local deadline = system.get_time() + 20
  while (t.read_file(dir .. "/dropped") or ""):len() ~= 3000 do
    if system.get_time() > deadline then error("the dropped download did not finish") end
    system.sleep(0.01)
  end
end)

t.test("a download still running when qz ends does not hold up its exit", function()
  -- Two bytes a second, never slow enough to stall: an exit that waited for it would outlast the test's time-out.
  web.download(base .. "/bytes?n=100000&chunk=1&delay=500", dir .. "/dripping")
end)
