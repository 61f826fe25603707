-- Small services of the system module: fuzzy ranking, clock, sleep, names, memory, debug output.
local t = require("qz_test")

local function command_output(command)
  local pipe = assert(io.popen(command))
  local text = pipe:read("a")
  pipe:close()
  return (text:gsub("\n$", ""))
end

t.test("fuzzy_match scores runs, skips and leftovers as floats", function()
  local cases = {
    { "abc", "abc", 30.0 },
    { "abc", "ABC", 27.0 },
    { "abcd", "ac", -11.0 },
    { "a b", "ab", 10.0 },
    { "ab", "abc", nil },
    { "", "", 0.0 },
    { "x", "", -1.0 },
    { "a b", "a  b ", 10.0 },
    { "ab\0zzz", "ab", 10.0 },
    { "\xc4\xb0", "\xc4\xb0", 10.0 },
    { "\xc0", "\xe0", nil },
  }
  for _, case in ipairs(cases) do
    local result = t.results(system.fuzzy_match(case[1], case[2]))
    if case[3] == nil then
      t.eq(result.n, 0, case[1] .. "/" .. case[2])
    else
      t.same(result[1], case[3], case[1] .. "/" .. case[2])
    end
  end
  local long = string.rep("a", 30000)
  t.same(system.fuzzy_match(long, long), 4499850000.0)
  t.raises(function() system.fuzzy_match("a") end, "bad argument #2 to 'fuzzy_match'")
end)

t.test("get_time is monotonic and sleep waits at least the duration", function()
  local before = system.get_time()
  t.eq(math.type(before), "float")
  system.sleep(0.02)
  t.truthy(system.get_time() - before >= 0.02)
  system.sleep(0)
end)

t.test("sleep refuses negative, non-finite and over-long durations", function()
  local cases = {
    { -0.001, "duration must be a finite non-negative number" },
    { 0 / 0, "duration must be a finite non-negative number" },
    { math.huge, "duration must be a finite non-negative number" },
    { 4294968, "duration is too large" },
  }
  for _, case in ipairs(cases) do
    t.raises(function() system.sleep(case[1]) end, "bad argument #1 to 'sleep' (" .. case[2] .. ")")
  end
  t.raises(function() system.sleep("soon") end, "number expected")
end)

t.test("computer and user names are those of the system", function()
  t.eq(system.get_computer_name(), command_output("uname -n"))
  t.eq(system.get_user_name(), command_output("id -un"))
end)

t.test("get_memory_usage_bytes reports this process", function()
  local memory = system.get_memory_usage_bytes()
  t.eq(memory.source, "linux")
  t.eq(memory.error, nil)
  t.eq(memory.virtual_bytes, 0)
  t.truthy(memory.working_set_bytes > 1000000, "working set")
  t.truthy(memory.private_bytes > 0, "private")
  t.truthy(memory.peak_working_set_bytes >= memory.working_set_bytes, "peak")
  t.eq(math.type(memory.private_bytes), "integer")
end)

t.test("debug_output takes text with zero bytes and wants a string", function()
  system.debug_output("debug line\0hidden\n")
  system.debug_output("\n")
  t.raises(function() system.debug_output() end, "bad argument #1 to 'debug_output'")
end)
