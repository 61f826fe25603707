-- The event loop and window functions of the system module inside a running qz (headless).
local t = require("qz_test")

t.test("the loop drains to nothing and waiting zero seconds answers at once", function()
  local polled = 0
  while system.poll_event() ~= nil do
    polled = polled + 1
    t.truthy(polled < 1000, "poll_event keeps answering")
  end
  t.eq(select("#", system.poll_event()), 0)
  t.eq(type(system.wait_event(0)), "boolean")
  system.pump_events()
  t.raises(function() system.wait_event(2147483.648) end, "timeout is too large")
end)

t.test("every cursor name is accepted even where the driver has no cursors", function()
  for _, name in ipairs({ "arrow", "ibeam", "wait", "crosshair", "wait_arrow", "size_nw_se", "size_ne_sw",
                          "size_we", "size_ns", "size_all", "sizeh", "sizev", "no", "hand", "grab", "grabbing" }) do
    system.set_mouse_cursor(name)
  end
  system.set_mouse_cursor()
  t.raises(function() system.set_mouse_cursor("beam") end, "invalid option 'beam'")
end)

-- Left installed on purpose: shutdown removes the watch and the callback before the Lua state closes.
t.test("a live resize callback may stay set until the end", function()
  system.set_live_resize_callback(function() end)
  t.raises(function() system.set_live_resize_callback(42) end, "function expected")
end)
