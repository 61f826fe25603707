-- What the viewer makes of a command line, its own or one a later start handed over: the files to open, in
-- order, and the arguments that look like options it does not take. qz itself reads its options anywhere on
-- the line; the viewer passes them by, takes "--file NAME" as a file whatever NAME looks like, and reads
-- every argument after "--" as a file.
local M = {}

-- The options that qz reads (the viewer has nothing to do for them).
local HOST_OPTIONS = {
  ["--new-instance"] = true, ["--stdin"] = true, ["-"] = true, ["--wait"] = true,
  ["--help"] = true, ["-h"] = true, ["-?"] = true, ["/?"] = true,
}

local function is_host_option(arg) return HOST_OPTIONS[arg] or arg:sub(1, 8) == "--scale=" end

-- A relative name taken from directory, the working directory of the start that named it.
local function located(name, directory)
  if not directory or name:sub(1, 1) == "/" then return name end
  return system.absolute_path(name, directory) or name
end

-- The entries of args (args[1] is the program): {path = ...} for each file and {option = ...} for each
-- argument that begins with "-" and is no option qz or the viewer takes. directory, when given, is where
-- relative names are found.
function M.read(args, directory)
  local entries, i, options_ended = {}, 2, false
  while i <= #args do
    local arg = args[i]
    if options_ended or arg:sub(1, 1) ~= "-" and arg ~= "/?" then
      entries[#entries + 1] = { path = located(arg, directory) }
    elseif arg == "--" then
      options_ended = true
    elseif arg == "--file" then
      i = i + 1
      if args[i] then entries[#entries + 1] = { path = located(args[i], directory) } end
    elseif not is_host_option(arg) then
      entries[#entries + 1] = { option = arg }
    end
    i = i + 1
  end
  return entries
end

M.UNKNOWN_OPTION = "not an option of the viewer, so nothing was opened for it (a file whose name begins "
  .. "with - opens after --, as in: qz -- -notes.txt)"

return M
