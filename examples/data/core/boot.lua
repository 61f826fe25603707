-- The example scripts' boot file: prints what the host published and quits.
return {
  run = function()
    print("qz " .. VERSION .. " on " .. PLATFORM)
    print("SCALE", SCALE, SCALE_SOURCE, SCALE_RAW)
    print("EXE_DIR", EXE_DIR)
    for i, arg in ipairs(ARGS) do print("ARGS[" .. i .. "]", arg) end
    print("STDIN_DATA", STDIN_DATA and (#STDIN_DATA .. " bytes") or STDIN_DATA)
    BOOT_COMPLETE()
  end,
}
