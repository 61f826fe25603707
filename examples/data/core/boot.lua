-- The example scripts' boot file: a small file viewer. It shows the files named on the command line (or
-- the text piped in with --stdin) and runs until its window is closed.
package.path = EXE_DIR .. "/data/?.lua;" .. package.path

return {
  run = function()
    local viewer = require("core.viewer")
    BOOT_COMPLETE()
    viewer.main(ARGS, STDIN_DATA)
  end,
}
