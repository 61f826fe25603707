-- text.probe_file: the report table for marks, UTF-8, UTF-16 without a mark and binary data.
local t = require("qz_test")

local function utf16le(ascii)
  return (ascii:gsub(".", "%0\0"))
end

local function ascii(size)
  return (string.rep("the quick brown fox jumps\n", size // 26 + 1)):sub(1, size)
end

t.test("an empty input gives the full report", function()
  t.eq(text.probe_file(""), {
    input = { size = 0 },
    sample = { initial_size = 1024, max_size = 8192, size = 0, inspected_size = 0, complete = true },
    utf8 = { status = "valid" },
    utf16 = { status = "unsure" },
    binary = { status = "invalid", nul_count = 0, control_count = 0 },
  })
end)

t.test("the maximum sample must be a positive integer", function()
  t.raises(function() text.probe_file("x", 0) end, "maximum sample size must be positive")
  t.raises(function() text.probe_file("x", -3) end, "maximum sample size must be positive")
  t.raises(function() text.probe_file("x", 1.5) end, "number has no integer representation")
  t.raises(function() text.probe_file({}) end, "string expected")
end)

t.test("a lone UTF-8 mark is a valid mark and valid UTF-8", function()
  local report = text.probe_file("\xEF\xBB\xBF")
  t.eq(report.bom, { status = "valid", encoding = "utf8", size = 3 })
  t.eq(report.utf8, { status = "valid" })
  t.eq(report.utf16, { status = "unsure" })
  t.eq(report.sample.inspected_size, 3)
end)

t.test("a UTF-32 mark makes UTF-16 invalid and the NULs binary", function()
  local report = text.probe_file("\xFF\xFE\0\0" .. string.rep("a\0\0\0", 40))
  t.eq(report.bom.encoding, "utf32le")
  t.eq(report.utf16, { status = "invalid" })
  t.eq(report.binary.status, "valid")
  t.eq(report.binary.nul_count, 122)
end)

t.test("UTF-16LE with a mark is decided in one pass", function()
  local report = text.probe_file("\xFF\xFE" .. utf16le(ascii(5000)))
  t.eq(report.utf16, { status = "valid", endianness = "le", basis = "bom" })
  t.eq(report.binary.status, "invalid")
  t.eq(report.sample.size, 1024)
  t.eq(report.bom, { status = "valid", encoding = "utf16le", size = 2 })
end)

t.test("mark-less UTF-16LE is confirmed by the second pass", function()
  local report = text.probe_file(utf16le(ascii(1000)))
  t.eq(report.utf16, { status = "valid", endianness = "le", basis = "byte_pattern" })
  t.eq(report.sample.size, 2000)
  t.eq(report.sample.complete, true)
  t.eq(report.binary.status, "invalid")
end)

t.test("an unconfirmed UTF-16 guess at the limit becomes unsure", function()
  local report = text.probe_file(utf16le(ascii(1000)), 1024)
  t.eq(report.utf16, { status = "unsure" })
  t.eq(report.binary.status, "unsure")
  t.eq(report.sample.complete, false)
end)

t.test("UTF-16BE text guesses big-endian", function()
  local text16 = (utf16le(ascii(1000)):gsub("(.)(.)", "%2%1"))
  t.eq(text.probe_file(text16).utf16, { status = "valid", endianness = "be", basis = "byte_pattern" })
end)

t.test("a sequence straddling the sample edge is read past it", function()
  local report = text.probe_file(ascii(1023) .. "\xC3\xA9" .. ascii(200), 1024)
  t.eq(report.utf8, { status = "unsure" })
  t.eq(report.sample.size, 1024)
  t.eq(report.sample.inspected_size, 1025)
end)

t.test("a lone continuation byte is invalid at position 1", function()
  t.eq(text.probe_file("\x80").utf8, { status = "invalid", invalid_offset = 1 })
  t.eq(text.probe_file("ab\xE2\x82").utf8, { status = "invalid", invalid_offset = 3 })
end)

t.test("31 bytes are too short for the UTF-16 byte pattern", function()
  t.eq(text.probe_file(utf16le(ascii(15)) .. "x").utf16, { status = "unsure" })
end)

t.test("large ASCII text is judged from 8192 bytes", function()
  local report = text.probe_file(ascii(50000))
  t.eq(report.sample, { initial_size = 1024, max_size = 8192, size = 8192, inspected_size = 8192, complete = false })
  t.eq(report.utf16, { status = "invalid" })
  t.eq(report.utf8, { status = "unsure" })
  t.eq(report.binary, { status = "invalid", nul_count = 0, control_count = 0 })
end)

t.test("NUL bytes in non-UTF-16 data make it binary", function()
  local data = string.rep("\0\1\2\3\255\254", 200)
  local report = text.probe_file(data)
  t.eq(report.binary.status, "valid")
  t.eq(report.sample.size, 1024)
end)
