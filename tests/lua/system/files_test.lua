-- File queries and file operations of the system module.
local t = require("qz_test")
local dir = t.tmpdir()

local function write(path, content)
  local f = assert(io.open(path, "wb"))
  f:write(content)
  f:close()
end

local function read(path)
  local f = assert(io.open(path, "rb"))
  local content = f:read("a")
  f:close()
  return content
end

local function leftovers(directory)
  local found = {}
  for _, name in ipairs(system.list_dir(directory)) do
    if name:find(".qz-save-", 1, true) then found[#found + 1] = name end
  end
  return found
end

t.test("is_dir, is_file and get_file_info", function()
  write(dir .. "/info.txt", "12345")
  t.eq(system.is_dir(dir), true)
  t.eq(system.is_file(dir), false)
  t.eq(system.is_file(dir .. "/info.txt"), true)
  t.eq(system.is_dir(""), false)
  t.eq(system.is_file(""), false)
  t.eq(system.is_file(dir .. "/info.txt\0x"), false)
  local info = system.get_file_info(dir .. "/info.txt")
  t.same(info.size, 5.0)
  t.eq(info.type, "file")
  t.eq(info.is_link, false)
  t.eq(math.type(info.modified), "float")
  t.truthy(math.abs(info.modified - os.time()) < 600)
  t.eq(system.get_file_info(dir).type, "dir")
  t.eq(t.results(system.get_file_info("")), { n = 2, nil, "invalid UTF-8 path" })
  t.eq(t.results(system.get_file_info(dir .. "/missing")), { n = 2, nil, "cannot stat path" })
end)

t.test("list_dir lists names without dots", function()
  local d = dir .. "/listing"
  t.eq(system.mkdir(d), true)
  write(d .. "/a", "")
  write(d .. "/.hidden", "")
  local names = system.list_dir(d .. "/")
  table.sort(names)
  t.eq(names, { ".hidden", "a" })
  t.eq(t.results(system.list_dir("")), { n = 2, nil, "invalid UTF-8 path" })
  t.eq(t.results(system.list_dir(d .. "/a")), { n = 2, nil, "cannot list directory" })
end)

t.test("read_file reads ranges", function()
  local path = dir .. "/twelve.bin"
  write(path, "abcd\0fghijkl")
  t.eq(system.read_file(path, 10, 5), "fghijkl")
  t.eq(system.read_file(path, 0), "")
  t.eq(system.read_file(path, nil, 2), "cd\0fghijkl")
  t.eq(system.read_file(path), "abcd\0fghijkl")
  t.eq(system.read_file(path, 3, 100), "")
  t.eq(system.read_file(path, nil, math.maxinteger), "", "an offset no file can reach")
end)

t.test("read_file checks its arguments in order", function()
  local path = dir .. "/twelve.bin"
  t.raises(function() system.read_file(path, -1) end, "bad argument #2 to 'read_file' (byte limit must not be negative)")
  t.raises(function() system.read_file(path, nil, -1) end, "bad argument #3 to 'read_file' (byte offset must not be negative)")
  t.raises(function() system.read_file("", -1) end, "bad argument #1 to 'read_file' (path must not be empty)")
  t.raises(function() system.read_file("\0a") end, "path must not be empty")
  t.raises(function() system.read_file(path, 1.5) end, "number has no integer representation")
end)

t.test("read_file failures name the step", function()
  local r = t.results(system.read_file(dir))
  t.eq(r.n, 2)
  t.eq(r[2], "file open failed: Is a directory")
  t.eq(select(2, system.read_file(dir .. "/missing")), "file open failed: No such file or directory")
  t.eq(select(2, system.read_file(dir .. "/twelve.bin\0")), "path conversion failed: Invalid argument")
end)

t.test("mkdir creates the last component only", function()
  t.eq(system.mkdir(dir .. "/made"), true)
  t.eq(system.mkdir(dir .. "/made"), true)
  t.eq(t.results(system.mkdir(dir .. "/no/such")), { n = 2, nil, "directory creation failed: No such file or directory (2)" })
  t.raises(function() system.mkdir("") end, "bad argument #1 to 'mkdir' (directory path must not be empty)")
  local r = t.results(system.mkdir(dir .. "/nul\0suffix"))
  t.eq(r, { n = 2, nil, "directory path conversion failed: Invalid argument (22)" })
  t.eq(system.is_dir(dir .. "/nul"), false)
end)

t.test("chdir changes the directory relative paths use", function()
  local before = system.absolute_path(".")
  system.chdir(dir)
  t.eq(system.absolute_path("x"), dir .. "/x")
  write("relative.txt", "r")
  t.eq(system.read_file(dir .. "/relative.txt"), "r")
  system.chdir(before)
  t.raises(function() system.chdir(dir .. "/missing") end, "chdir() failed")
  t.raises(function() system.chdir("") end, "chdir() failed")
end)

t.test("temp_path is normalized", function()
  local temp = system.temp_path()
  t.eq(temp, system.normalize_path(temp))
  t.eq(system.is_dir(temp), true)
end)

t.test("write_file_atomic saves bytes and leaves no temporary file", function()
  local path = dir .. "/saved.bin"
  local content = "a\0b\r\n" .. string.rep("x", 100000)
  t.eq(system.write_file_atomic(path, content), true)
  t.eq(system.read_file(path), content)
  t.eq(system.write_file_atomic(path, ""), true)
  t.eq(system.read_file(path), "")
  t.eq(leftovers(dir), {})
end)

t.test("write_file_atomic saves names of up to 255 bytes, three-byte characters among them", function()
  for _, name in ipairs({ string.rep("\u{6587}", 82), string.rep("\u{6587}", 85), string.rep("n", 255) }) do
    t.eq(system.write_file_atomic(dir .. "/" .. name, "x"), true)
    t.eq(read(dir .. "/" .. name), "x")
    os.remove(dir .. "/" .. name)
  end
  t.eq(t.results(system.write_file_atomic(dir .. "/" .. string.rep("n", 256), "x")),
    { n = 2, nil, "temporary file creation failed (36)" })
  t.eq(leftovers(dir), {})
end)

t.test("write_file_atomic failures", function()
  t.raises(function() system.write_file_atomic("", "x") end, "bad argument #1 to 'write_file_atomic' (path must not be empty)")
  t.raises(function() system.write_file_atomic(dir .. "/x") end, "bad argument #2")
  t.eq(t.results(system.write_file_atomic(dir .. "/no/such/file", "x")),
    { n = 2, nil, "temporary file creation failed (2)" })
  t.eq(t.results(system.write_file_atomic(dir, "x")), { n = 2, nil, "file replacement failed (21)" })
  os.remove(dir .. "/pipe")
  t.truthy(os.execute("mkfifo '" .. dir .. "/pipe'"))
  t.eq(t.results(system.write_file_atomic(dir .. "/pipe", "x")), { n = 2, nil, "file replacement failed (22)" })
  t.truthy(os.execute("test -p '" .. dir .. "/pipe'"), "the pipe is still a pipe")
  os.remove(dir .. "/pipe")
  t.eq(t.results(system.write_file_atomic(dir .. "/f\0", "x")), { n = 2, nil, "path conversion failed (22)" })
  t.eq(leftovers(dir), {})
end)

t.test("remove_tree removes a tree and accepts missing paths", function()
  local root = dir .. "/tree"
  system.mkdir(root)
  system.mkdir(root .. "/sub")
  write(root .. "/sub/f", "x")
  t.eq(system.remove_tree(root), true)
  t.eq(system.is_dir(root), false)
  t.eq(system.remove_tree(root), true)
  t.raises(function() system.remove_tree("") end, "bad argument #1 to 'remove_tree' (directory path must not be empty)")
end)

t.test("remove_tree refuses system directories and bad paths", function()
  t.eq(t.results(system.remove_tree("/usr/qz-no-such-directory")),
    { n = 2, nil, "refusing to remove a protected Windows directory" })
  t.eq(t.results(system.remove_tree(dir .. "/x\0")),
    { n = 2, nil, "directory path resolution failed: Invalid argument (22)" })
end)

t.test("remove_tree refuses a system directory reached through a linked parent", function()
  local link = dir .. "/to-root"
  t.truthy(os.execute("ln -s / '" .. link .. "'"))
  t.eq(t.results(system.remove_tree(link .. "/usr/qz-no-such-directory")),
    { n = 2, nil, "refusing to remove a protected Windows directory" })
end)

t.test("a read-only target is refused and keeps its content", function()
  local path = dir .. "/readonly.txt"
  write(path, "keep")
  t.truthy(os.execute("chmod 444 '" .. path .. "'"))
  t.eq(t.results(system.write_file_atomic(path, "new")), { n = 2, nil, "file is read-only" })
  t.eq(system.read_file(path), "keep")
  t.eq(leftovers(dir), {})
end)

t.test("links: get_file_info reports them, saves go through them, remove_tree removes only them", function()
  local outside = dir .. "/outside"
  system.mkdir(outside)
  write(outside .. "/kept.txt", "old")
  local tree = dir .. "/linked-tree"
  system.mkdir(tree)
  t.truthy(os.execute("ln -s '" .. outside .. "' '" .. tree .. "/to-outside'"))
  local info = system.get_file_info(tree .. "/to-outside")
  t.eq(info.is_link, true)
  t.eq(info.type, "dir")
  t.eq(system.is_dir(tree .. "/to-outside"), true)
  t.eq(system.write_file_atomic(tree .. "/to-outside/kept.txt", "new"), true)
  t.eq(system.read_file(outside .. "/kept.txt"), "new")
  t.eq(system.remove_tree(tree), true)
  t.eq(system.is_dir(tree), false)
  t.eq(system.read_file(outside .. "/kept.txt"), "new")
end)
