-- Starting programs: exec through the shell, spawn with an argument vector, and opening folders.
local t = require("qz_test")

local tmp = os.getenv("QZ_TEST_TMP")
local counter = 0

-- A fresh path under the test's directory.
local function scratch(name)
  counter = counter + 1
  return tmp .. "/" .. name .. counter
end

-- The content of a file that a started program writes (through a temporary name, then renamed).
local function wait_for(path)
  for _ = 1, 1000 do
    local data = t.read_file(path)
    if data then return data end
    system.sleep(0.01)
  end
  error("no file " .. path)
end

local function capture_lines(command)
  local pipe = assert(io.popen(command))
  local text = pipe:read("a")
  pipe:close()
  return text
end

local launch_failed = "process launch failed: No such file or directory (2)"

t.test("spawn hands every argument over exactly", function()
  local out = scratch("args")
  local script = 'out=$1; shift; printf "%s|" "$@" > "$out.tmp"; mv "$out.tmp" "$out"'
  t.eq(system.spawn("/bin/sh", { "-c", script, "sh", out, 'a"b', "x\\", '\\\\"', "", "sp ace", 42 }), true)
  t.eq(wait_for(out), 'a"b|x\\|\\\\"||sp ace|42|')
end)

t.test("spawn with no arguments gives the program its path alone", function()
  local out = scratch("argc")
  local sh = scratch("count.sh")
  t.write_file(sh, '#!/bin/sh\necho "$# $0" > "' .. out .. '.tmp"; mv "' .. out .. '.tmp" "' .. out .. '"\n')
  os.execute("chmod +x '" .. sh .. "'")
  t.eq(system.spawn(sh, {}), true)
  t.eq(wait_for(out), "0 " .. sh .. "\n")
end)

t.test("spawn takes the path as given, without searching PATH", function()
  t.eq(t.results(system.spawn("true", {})), t.results(nil, launch_failed))
  t.eq(t.results(system.spawn("/nonexistent/program", { "x" })), t.results(nil, launch_failed))
  t.eq(t.results(system.spawn(tmp, {})), t.results(nil, "process launch failed: Permission denied (13)"))
end)

t.test("zero bytes and empty paths are refused before anything starts", function()
  local cases = {
    { function() return system.exec("true\0false") end, "command contains a null byte" },
    { function() return system.spawn("", {}) end, "executable path is empty" },
    { function() return system.spawn("/bin/true\0", {}) end, "executable path contains a null byte" },
    { function() return system.spawn("/bin/true", { "ok", "x\0" }) end, "argument 2 contains a null byte" },
  }
  for _, case in ipairs(cases) do t.eq(t.results(case[1]()), t.results(nil, case[2])) end
end)

t.test("wrong argument types raise", function()
  t.raises(function() system.spawn("/bin/true") end, "bad argument #2 to 'spawn' (table expected")
  t.raises(function() system.spawn("/bin/true", { {} }) end, "bad argument #2 to 'spawn' (argument 1 must be a string")
  t.raises(function() system.exec() end, "bad argument #1 to 'exec'")
  t.raises(function() system.open_directory() end, "bad argument #1 to 'open_directory'")
  t.raises(function() system.open_url({}) end, "bad argument #1 to 'open_url'")
end)

t.test("exec runs the whole command line in one shell", function()
  local first, second = scratch("first"), scratch("second")
  local function write(text, path)
    return "echo " .. text .. " > '" .. path .. ".tmp'; mv '" .. path .. ".tmp' '" .. path .. "'"
  end
  t.eq(system.exec(write("one", first) .. "; " .. write("two", second)), true)
  t.eq(wait_for(second), "two\n")
  t.eq(wait_for(first), "one\n")
  t.eq(system.exec(""), true)
end)

t.test("exec runs a command whose first character would read as a shell option", function()
  for _, sign in ipairs({ "-", "+" }) do
    local mark = scratch("option" .. (sign == "-" and "minus" or "plus"))
    t.eq(system.exec(sign .. "x || { echo ran > '" .. mark .. ".tmp'; mv '" .. mark .. ".tmp' '" .. mark .. "'; }"), true)
    t.eq(wait_for(mark), "ran\n")
  end
end)

t.test("a started program holds /dev/null on 0-2 and no other descriptor of qz", function()
  local held = assert(io.popen("cat > /dev/null", "w"))
  local out = scratch("pid")
  -- The shell reports its process id, then becomes a sleeping program with the shell's descriptors.
  local script = 'echo $$ > "$1.tmp"; mv "$1.tmp" "$1"; exec sleep 30'
  t.eq(system.spawn("/bin/sh", { "-c", script, "sh", out }), true)
  local pid = wait_for(out):match("%d+")
  local fd = "/proc/" .. pid .. "/fd"
  for _ = 1, 500 do
    if capture_lines("readlink /proc/" .. pid .. "/exe") == capture_lines("command -v sleep | xargs readlink -f") then
      break
    end
    system.sleep(0.01)
  end
  t.eq(capture_lines("ls " .. fd), "0\n1\n2\n")
  t.eq(capture_lines("readlink " .. fd .. "/0 " .. fd .. "/1 " .. fd .. "/2"), "/dev/null\n/dev/null\n/dev/null\n")
  os.execute("kill " .. pid)
  held:close()
end)

t.test("launched programs leave no zombie behind", function()
  for _ = 1, 20 do t.eq(system.exec("exit 3"), true) end
  local pid = assert(io.open("/proc/self/stat")):read("a"):match("^(%d+)")
  local states = capture_lines("ps -o stat= --ppid " .. pid)
  t.eq(states:find("Z"), nil, states)
end)

t.test("open_directory reports a folder that cannot be opened with the shell's code", function()
  t.eq(t.results(system.open_directory(tmp .. "/missing")), t.results(nil, "Explorer refused the directory (2)"))
  t.eq(t.results(system.open_directory("")), t.results(nil, "Explorer refused the directory (2)"))
  local file = scratch("plain")
  t.write_file(file, "x")
  t.eq(t.results(system.open_directory(file .. "/below")), t.results(nil, "Explorer refused the directory (3)"))
end)
