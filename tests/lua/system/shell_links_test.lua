-- Shortcut resolution of the system module: symbolic links and the failure message with its status.
local t = require("qz_test")

local tmp = os.getenv("QZ_TEST_TMP")

t.test("resolve_shell_link follows symbolic links and reports failures by status", function()
  t.write_file(tmp .. "/target.txt", "x")
  os.execute("ln -s '" .. tmp .. "/target.txt' '" .. tmp .. "/link'")
  t.eq(system.resolve_shell_link(tmp .. "/link"), tmp .. "/target.txt")
  local cases = {
    { "", -2147024809 },
    { tmp .. "/missing.lnk", -2147024894 },
    { tmp .. "/target.txt", -2147467259 },
  }
  for _, case in ipairs(cases) do
    t.eq(t.results(system.resolve_shell_link(case[1])),
      t.results(nil, "Could not resolve Windows shortcut (HRESULT " .. case[2] .. ")"))
  end
  t.raises(function() system.resolve_shell_link() end, "bad argument #1 to 'resolve_shell_link'")
end)
