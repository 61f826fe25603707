-- Forwarded command lines as the scripts see them, in an instance started with "--new-instance" (no service).
local t = require("qz_test")

t.test("polling with nothing forwarded gives an empty table each time", function()
  t.eq(system.poll_forwarded_cli(), {})
  t.eq(system.poll_forwarded_cli(), {})
end)

t.test("completing checks its identifier and knows no pending ones here", function()
  t.raises(function() system.complete_forwarded_cli(0) end, "expected a positive request identifier")
  t.raises(function() system.complete_forwarded_cli(-5) end, "expected a positive request identifier")
  t.raises(function() system.complete_forwarded_cli(1.5) end, "number has no integer representation")
  t.raises(function() system.complete_forwarded_cli("x") end, "number expected")
  t.same(system.complete_forwarded_cli(1), false)
  t.same(system.complete_forwarded_cli(math.maxinteger), false)
end)
