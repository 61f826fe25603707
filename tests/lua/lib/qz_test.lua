-- A small test library for Lua tests that run inside qz.
--
--   local t = require("qz_test")
--   t.test("adds numbers", function() t.eq(1 + 1, 2) end)
--
-- run_file(path) loads a test file, runs each registered test in order under xpcall and raises when any
-- failed, which ends qz with exit code 1.
local M = {}

local registered = {}

function M.test(name, fn)
  registered[#registered + 1] = { name = name, fn = fn }
end

local function describe(value, depth)
  if type(value) == "string" then return string.format("%q", value) end
  if type(value) ~= "table" or (depth or 0) > 2 then return tostring(value) end
  local parts = {}
  for i = 1, #value do parts[#parts + 1] = describe(value[i], (depth or 0) + 1) end
  for k, v in pairs(value) do
    if math.type(k) ~= "integer" or k < 1 or k > #value then
      parts[#parts + 1] = "[" .. describe(k, 3) .. "] = " .. describe(v, (depth or 0) + 1)
    end
  end
  return "{" .. table.concat(parts, ", ") .. "}"
end

local function deep_equal(a, b, seen)
  if a == b then return true end
  if type(a) ~= "table" or type(b) ~= "table" then
    return type(a) == "number" and type(b) == "number" and a ~= a and b ~= b
  end
  seen = seen or {}
  if seen[a] == b then return true end
  seen[a] = b
  for k, v in pairs(a) do
    if not deep_equal(v, b[k], seen) then return false end
  end
  for k in pairs(b) do
    if a[k] == nil then return false end
  end
  return true
end

-- eq(actual, expected [, message]): deep equality (tables by content, NaN equal to NaN).
function M.eq(actual, expected, message)
  if not deep_equal(actual, expected) then
    error((message and (message .. ": ") or "") .. "expected " .. describe(expected) .. ", got " .. describe(actual), 2)
  end
end

-- same(actual, expected): equal values of the same Lua and math type (1 and 1.0 differ).
function M.same(actual, expected, message)
  M.eq(math.type(actual) or type(actual), math.type(expected) or type(expected), message)
  M.eq(actual, expected, message)
end

function M.truthy(value, message)
  if not value then error(message or ("expected a true value, got " .. describe(value)), 2) end
  return value
end

-- raises(fn, substring): fn must raise an error whose text contains substring (plain find); returns it.
function M.raises(fn, substring, ...)
  local ok, err = pcall(fn, ...)
  if ok then error("expected an error containing " .. describe(substring) .. ", got success", 2) end
  local text = tostring(err)
  if substring and not text:find(substring, 1, true) then
    error("expected an error containing " .. describe(substring) .. ", got " .. describe(text), 2)
  end
  return err
end

-- results(...): packs multiple results with their count, for comparing nil-holding lists.
function M.results(...)
  return { n = select("#", ...), ... }
end

-- write_file(path, data) and read_file(path): whole files in binary mode; read_file gives nil when the file
-- cannot be opened.
function M.write_file(path, data)
  local f = assert(io.open(path, "wb"))
  f:write(data)
  f:close()
end

function M.read_file(path)
  local f = io.open(path, "rb")
  if not f then return nil end
  local data = f:read("a")
  f:close()
  return data
end

-- A fresh directory for the test's files.
function M.tmpdir()
  return os.getenv("QZ_TEST_TMP")
end

-- poll(request [, seconds]): waits until request:ready() (a worker job or a download) and returns
-- request:result(); fails after 20 seconds or the given time.
function M.poll(request, seconds)
  local deadline = system.get_time() + (seconds or 20)
  while not request:ready() do
    if system.get_time() > deadline then error("the request did not finish in time", 2) end
    system.sleep(0.001)
  end
  return request:result()
end

-- http_fixture(): starts tests/support/http_fixture.py, which serves until this qz ends, and returns its
-- base URL ("http://127.0.0.1:<port>").
function M.http_fixture()
  local script = package.searchpath("qz_test", package.path):gsub("lua/lib/qz_test%.lua$", "support/http_fixture.py")
  local stat = assert(io.open("/proc/self/stat"))
  local pid = stat:read("n")
  stat:close()
  local server = assert(io.popen(string.format("python3 %q --parent %d --detach", script, pid)))
  local port = server:read("n")
  server:close()
  return "http://127.0.0.1:" .. assert(port, "the HTTP fixture did not start")
end

function M.run_file(path)
  registered = {}
  dofile(path)
  local failures = 0
  for _, case in ipairs(registered) do
    local ok, err = xpcall(case.fn, debug.traceback)
    if ok then
      io.stdout:write("ok   ", case.name, "\n")
    else
      failures = failures + 1
      io.stderr:write("FAIL ", case.name, "\n", tostring(err), "\n")
    end
  end
  io.stdout:flush()
  if failures > 0 then error(string.format("%d of %d tests failed in %s", failures, #registered, path), 0) end
  if #registered == 0 then error("no tests in " .. path, 0) end
end

return M
