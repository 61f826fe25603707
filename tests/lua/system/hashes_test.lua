-- Content hashes and random identifiers of the system module.
local t = require("qz_test")

t.test("sha256 hashes every byte of its argument, numbers as their text", function()
  t.eq(system.sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
  t.eq(system.sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")
  t.eq(system.sha256("a\0b"), "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138")
  t.eq(system.sha256(12), system.sha256("12"))
  t.raises(function() system.sha256({}) end, "bad argument #1 to 'sha256'")
  t.raises(function() system.sha256() end, "bad argument #1 to 'sha256'")
end)

t.test("random hashes pass the check and do not repeat", function()
  local seen = {}
  for _ = 1, 1000 do
    local hash = system.random_hash()
    t.truthy(system.check_random_hash(hash), hash)
    t.eq(seen[hash], nil, "repeated hash")
    seen[hash] = true
  end
end)

t.test("check_random_hash wants exactly 32 of 0-9 and a-f", function()
  local hash = "0123456789abcdef0123456789abcdef"
  local cases = {
    { hash, true },
    { hash:upper(), false },
    { hash:sub(2), false },
    { hash .. "0", false },
    { "0123456789abcdef0123456789abcdeg", false },
    { "0123456789abcdef0123456789abcde\0", false },
    { "", false },
  }
  for _, case in ipairs(cases) do t.eq(system.check_random_hash(case[1]), case[2], case[1]) end
  t.eq(system.check_random_hash(12345678901234567890123456789012), false)
  t.raises(function() system.check_random_hash(nil) end, "bad argument #1 to 'check_random_hash'")
end)
