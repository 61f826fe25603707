-- worker: jobs submitted from the main state run in the worker's own state; values, module code, errors and
-- cancellation cross between them.
local t = require("qz_test")

local wait = t.poll

-- Submits a job that creates a mark file before it calls jobs[fn](value), and returns once it runs.
local marks = 0
local function start(fn, value)
  marks = marks + 1
  local path = t.tmpdir() .. "/running-" .. marks
  local request = assert(worker.submit("jobs", "mark", { path, fn, value }))
  local deadline = system.get_time() + 20
  while not io.open(path) do
    if system.get_time() > deadline then error("worker job did not start", 2) end
    system.sleep(0.001)
  end
  return request
end

local function run(fn, value)
  return wait(assert(worker.submit("jobs", fn, value)))
end

local boot = load("return { run = function() booted = (booted or 0) + 1 end }")

t.test("without core.workerboot nothing is submitted", function()
  t.eq({ worker.submit("jobs", "echo", 1) }, { nil, "core.workerboot could not be located" })
  package.preload["core.workerboot"] = boot
end)

package.preload.jobs = load([[
local M = {}
function M.echo(value) return value end
function M.nothing() end
function M.give_function() return print end
function M.fail() error("job failed here") end
function M.fail_table() error({}) end
function M.sleep(seconds) system.sleep(seconds) return "slept" end
function M.mark(args)
  local path, job, value = args[1], args[2], args[3]
  io.open(path, "w"):close()
  return M[job](value)
end
function M.spin() while true do end end
function M.bad_sleep(value) system.sleep(value) end
function M.environment()
  return { exe_dir = EXE_DIR, exe_file = EXE_FILE, booted = booted, join = system.join_path("a", "b"),
    is_dir = system.is_dir(EXE_DIR), is_file = system.is_file(EXE_FILE), len = utf8.len("\u{e9}"),
    width = utf8.width("\u{4e2d}"),
    sleep = type(system.sleep), get_time = type(system.get_time), read_file = system.read_file }
end
return M
]])

t.test("a missing argument cannot be copied; an explicit nil can", function()
  t.eq(t.results(worker.submit("jobs", "echo")), t.results(nil, "worker values cannot contain no value"))
  t.eq(t.results(run("echo", nil)), t.results(nil))
end)

t.test("values keep their types and nesting", function()
  local shared = { 1, 2 }
  local value = { 3, 3.0, "a\0b", true, false, { x = { y = "z" } }, [2.5] = "half", s1 = shared, s2 = shared }
  local back = run("echo", value)
  t.same(back[1], 3)
  t.same(back[2], 3.0)
  t.eq(back, value)
  t.truthy(back.s1 ~= back.s2, "a table reached twice arrives as two tables")
end)

t.test("uncopyable values are refused at submission and in results", function()
  local cycle = {}
  cycle.self = cycle
  t.eq(t.results(worker.submit("jobs", "echo", cycle)), t.results(nil, "worker values cannot contain table cycles"))
  t.eq(t.results(worker.submit("jobs", "echo", setmetatable({}, {}))),
    t.results(nil, "worker values cannot contain tables with metatables"))
  t.eq(t.results(worker.submit("jobs", "echo", { print })), t.results(nil, "worker values cannot contain function"))
  t.eq(t.results(worker.submit("jobs", "echo", string.rep("x", 8388608))),
    t.results(nil, "worker request exceeds the copy limit"))
  t.eq(t.results(run("give_function")), t.results(nil, "worker values cannot contain function"))
end)

t.test("nesting is accepted 64 levels below the top value", function()
  local function nest(levels, inner)
    local value = inner
    for _ = 1, levels do value = { value } end
    return value
  end
  t.truthy(worker.submit("jobs", "nothing", nest(64, {})))
  t.eq(t.results(worker.submit("jobs", "nothing", nest(64, { 1 }))),
    t.results(nil, "worker value nesting is too deep"))
end)

t.test("result() gives a new copy each time", function()
  local request = assert(worker.submit("jobs", "echo", { a = { 1 } }))
  local first = wait(request)
  local second = request:result()
  t.eq(first, second)
  t.truthy(first ~= second and first.a ~= second.a)
end)

t.test("the worker state has the thread-safe system functions, utf8 and the boot globals", function()
  local env = run("environment")
  t.eq(env.exe_dir, EXE_DIR)
  t.eq(env.exe_file, EXE_FILE)
  t.eq(env.booted, 1)
  t.eq(env.join, system.join_path("a", "b"))
  t.eq({ env.is_dir, env.is_file, env.len, env.width, env.sleep, env.get_time, env.read_file },
    { true, true, 1, 2, "function", "function", nil })
end)

t.test("job errors carry a traceback; non-text errors read as worker job failed", function()
  local ok, message = run("fail")
  t.eq(ok, nil)
  t.truthy(message:find("job failed here", 1, true) and message:find("stack traceback:", 1, true), message)
  ok, message = run("fail_table")
  t.truthy(message:find("^worker job failed\nstack traceback:"), message)
  ok, message = run("bad_sleep", -1)
  t.truthy(message:find("duration must be a finite non-negative number", 1, true), message)
  ok, message = run("missing_function")
  t.eq(message, "worker module function was not found")
end)

t.test("modules come from package.preload or package.path, and must be Lua functions", function()
  local dir = t.tmpdir()
  t.write_file(dir .. "/pathjob.lua", "return { answer = function(v) return v * 2 end }")
  local saved = package.path
  package.path = dir .. "/?.lua;" .. saved
  t.eq(wait(assert(worker.submit("pathjob", "answer", 21))), 42)
  package.path = saved
  package.preload.native = print
  t.eq(t.results(worker.submit("native", "f", 1)), t.results(nil, "worker module loader must be a Lua function"))
  package.preload.native = false
  t.eq(t.results(worker.submit("native", "f", 1)), t.results(nil, "worker module loader must be a Lua function"))
  package.preload.flag = load("return true")
  t.eq(t.results(wait(assert(worker.submit("flag", "f", 1)))), t.results(nil, "worker module function was not found"))
  local _, message = wait(assert(worker.submit("nowhere_to_be_found", "f", 1)))
  t.truthy(message:find("module 'nowhere_to_be_found' not found", 1, true), message)
end)

t.test("cancel ends a sleeping or spinning job early, with a traceback", function()
  for _, job in ipairs({ { "sleep", 5 }, { "spin" } }) do
    local request = start(job[1], job[2])
    request:cancel()
    local ok, message = wait(request, 2)
    t.eq(ok, nil)
    t.truthy(message:find("worker job cancelled", 1, true) and message:find("stack traceback:", 1, true), message)
  end
end)

t.test("dropping a running job's last reference cancels it", function()
  local request = start("sleep", 5)
  request = nil
  collectgarbage()
  collectgarbage()
  t.eq(wait(assert(worker.submit("jobs", "echo", "next")), 2), "next")
end)

t.test("at most 32 jobs wait; cancelled queued jobs finish without running", function()
  local running = start("sleep", 30)
  local queued = {}
  for i = 1, 32 do queued[i] = assert(worker.submit("jobs", "echo", i)) end
  t.eq(t.results(worker.submit("jobs", "echo", 33)), t.results(nil, "worker request queue is full"))
  for _, request in ipairs(queued) do request:cancel() end
  running:cancel()
  for _, request in ipairs(queued) do t.eq(t.results(wait(request, 2)), t.results(nil, "worker job cancelled")) end
  t.eq(getmetatable(running), "protected Lua worker request")
  t.eq(t.results(running:result()), t.results(wait(running, 2)))
end)

t.test("a running job reports that it is still running", function()
  local request = assert(worker.submit("jobs", "sleep", 0.5))
  t.eq(t.results(request:result()), t.results(nil, "worker job is still running"))
  t.eq(request:ready(), false)
  t.eq(wait(request), "slept")
  t.raises(function() worker.submit({}, "f", 1) end, "bad argument #1 to 'submit'")
  t.raises(function() request.ready({}) end, "WorkerRequest expected")
end)

t.test("jobs still running when qz ends are cancelled, not waited for", function()
  -- Far longer than the test's time-out: an exit that waited for the job would never come.
  start("sleep", 1e6)
  for i = 1, 32 do assert(worker.submit("jobs", "echo", i)) end
end)
