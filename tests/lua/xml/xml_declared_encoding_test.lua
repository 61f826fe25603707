-- xml: the encoding a document's declaration names decides how its text is read wherever the declaration
-- stands, in both modes, and a full-mode document written back in it reads back alike; a text that is not in the
-- encoding it names is refused with a message that says where and why.
local t = require("qz_test")

-- The document read in full mode, written compactly, read again: both trees' text and the saved text.
local function round_trip(text)
  local first = assert(xml.parse(text, { full = true }))
  local saved = first:serialize({ compact = true })
  local again, message = xml.parse(saved, { full = true })
  t.truthy(again, "the saved text does not parse: " .. tostring(message))
  t.eq(again:serialize({ compact = true }), saved, "the second save")
  return first:root():first_child():value(), again:root():first_child():value(), saved
end

t.test("a declaration after text the parser drops names the encoding as it does at the start", function()
  for _, prefix in ipairs({ "\n", " \t\r\n", "stray text " }) do
    local label = ("after %q"):format(prefix)
    local latin1 = prefix .. '<?xml version="1.0" encoding="ISO-8859-1"?><a>caf\xe9</a>'
    t.eq(assert(xml.parse(latin1)):root():first_child():value(), "caf\u{e9}", label)
    t.eq({ round_trip(latin1) }, { "caf\u{e9}", "caf\u{e9}", '<?xml version="1.0" encoding="ISO-8859-1"?><a>caf\xe9</a>' },
      label)
    -- The parser finds the name by the letters "en" that begin it, even inside another name.
    local odd = prefix .. '<?xml version="1.0" xencoding="latin1"?><a>caf\xe9</a>'
    t.eq(assert(xml.parse(odd)):root():first_child():value(), "caf\u{e9}", label)
    t.eq({ round_trip(odd) }, { "caf\u{e9}", "caf\u{e9}", '<?xml version="1.0" xencoding="latin1"?><a>caf\xe9</a>' },
      label)
    local other = prefix .. '<?xml version="1.0" encoding="Shift_JIS"?><a>\x82\xa0</a>'
    t.eq(assert(xml.parse(other)):root():first_child():value(), "\u{3042}", label)
    t.eq({ round_trip(other) }, { "\u{3042}", "\u{3042}", '<?xml version="1.0" encoding="Shift_JIS"?><a>\x82\xa0</a>' },
      label)
  end
end)

t.test("Latin-1 is read under each of its names", function()
  for _, name in ipairs({ "ISO8859-1", "ISO_8859-1", "ISO_8859-1:1987", "iso-ir-100", "l1", "IBM819", "CP819",
                          "csISOLatin1", "LATIN1" }) do
    local text = "<?xml version='1.0' encoding='" .. name .. "'?><a>caf\xe9</a>"
    t.eq(assert(xml.parse(text)):root():first_child():value(), "caf\u{e9}", name)
    local first, again, saved = round_trip(text)
    t.eq({ first, again }, { "caf\u{e9}", "caf\u{e9}" }, name)
    t.eq(saved, '<?xml version="1.0" encoding="' .. name .. '"?><a>caf\xe9</a>', name)
  end
  -- The name is read where the declaration gives it, whatever comes before it.
  local first = round_trip('<?xml version="1.0en" encoding="latin1"?><a>caf\xe9</a>')
  t.eq(first, "caf\u{e9}")
end)

t.test("a text of ASCII alone reads the same whatever encoding its declaration names", function()
  for _, name in ipairs({ "windows-1252", "ISO-8859-15", "EUC-JP", "Shift_JIS", "KOI8-R", "ISO-2022-JP" }) do
    local text = '<?xml version="1.0" encoding="' .. name .. '"?><a v="1">x &#233; y</a>'
    t.eq(assert(xml.parse(text)):root():first_child():value(), "x \u{e9} y", name)
    local _, _, saved = round_trip(text)
    t.eq(saved, text, name)
  end
  -- An escape switches ISO-2022-JP to another character set, and UTF-7 spells other characters in ASCII.
  for _, case in ipairs({ { "ISO-2022-JP", "\27$B$\"\27(B", "\u{3042}" }, { "UTF-7", "caf+AOk-", "caf\u{e9}" } }) do
    local name, body, decoded = table.unpack(case)
    local text = '<?xml version="1.0" encoding="' .. name .. '"?><a>' .. body .. "</a>"
    for _, mode in ipairs({ {}, { full = true } }) do
      t.eq(assert(xml.parse(text, mode)):root():first_child():value(), decoded, name)
    end
  end
  -- An encoding the C library does not know cannot be read, unless the text is ASCII alone.
  local text = '<?xml version="1.0" encoding="HZ-GB-2312"?><a>~{VP~}</a>'
  for _, mode in ipairs({ {}, { full = true } }) do
    t.eq(t.results(xml.parse(text, mode)), t.results(nil, 'XML parse failed: the encoding "HZ-GB-2312" is not supported'))
  end
end)

-- Each body in the encoding, with the UTF-8 it decodes to.
local encoded = {
  { "windows-1252", "caf\xe9 \x80 \x93q\x94", "caf\u{e9} \u{20ac} \u{201c}q\u{201d}" },
  { "cp1252", "caf\xe9 \x80 \x93q\x94", "caf\u{e9} \u{20ac} \u{201c}q\u{201d}" },
  { "ISO-8859-15", "\xa4 \xbd caf\xe9", "\u{20ac} \u{153} caf\u{e9}" },
  { "Shift_JIS", "\x93\xfa\x96\x7b\x8c\xea \x82\xa0", "\u{65e5}\u{672c}\u{8a9e} \u{3042}" },
  { "EUC-JP", "\xc6\xfc\xcb\xdc\xb8\xec \xa4\xa2", "\u{65e5}\u{672c}\u{8a9e} \u{3042}" },
  -- Stateful: the escapes shift to JIS X 0208 and back, and one pair of bytes is '$"'.
  { "ISO-2022-JP", "\27$BF|K\\8l\27(B \27$B$\"\27(B", "\u{65e5}\u{672c}\u{8a9e} \u{3042}" },
  { "KOI8-R", "\xf0\xd2\xc9\xd7\xc5\xd4", "\u{41f}\u{440}\u{438}\u{432}\u{435}\u{442}" },
  { "UTF-7", "caf+AOk-", "caf\u{e9}" },
}

t.test("a document in a character set the C library knows is read in both modes and written back in it", function()
  for _, case in ipairs(encoded) do
    local name, body, utf8_text = table.unpack(case)
    local declaration = '<?xml version="1.0" encoding="' .. name .. '"?>'
    local source = declaration .. '<a v="' .. body .. '">' .. body .. "<b/></a>"
    for _, full in ipairs({ false, true }) do
      local label = name .. (full and " (full)" or "")
      local document = assert(xml.parse(source, { full = full }), label)
      t.eq(document:root():attribute("v"), utf8_text, label)
      t.eq(document:root():first_child():value(), utf8_text, label)
    end
    t.eq(assert(xml.parse(source)):serialize({ compact = true }),
      '<a v="' .. utf8_text .. '">' .. utf8_text .. "<b/></a>", name)
    local full = assert(xml.parse(source, { full = true }))
    t.eq(full:serialize({ compact = true }), source, name)
    local indented = full:serialize()
    t.eq(indented, declaration .. "\n" .. '<a v="' .. body .. '">' .. body .. "<b /></a>", name)
    local again = assert(xml.parse(indented, { full = true }), name)
    t.eq(again:serialize(), indented, name)
    t.eq(again:root():first_child():value(), utf8_text, name)
  end
end)

t.test("UTF-16 is read in both modes and written back in it", function()
  local source = '<?xml version="1.0" encoding="UTF-16"?><a v="caf\u{e9}">\u{65e5}\u{672c} \u{1F600}</a>'
  local utf16 = "\xff\xfe"
  for _, code in utf8.codes(source) do
    if code > 0xffff then
      code = code - 0x10000
      utf16 = utf16 .. string.pack("<I2<I2", 0xd800 | (code >> 10), 0xdc00 | (code & 0x3ff))
    else
      utf16 = utf16 .. string.pack("<I2", code)
    end
  end
  for _, full in ipairs({ false, true }) do
    local document = assert(xml.parse(utf16, { full = full }))
    t.eq(document:root():attribute("v"), "caf\u{e9}")
    t.eq(document:root():first_child():value(), "\u{65e5}\u{672c} \u{1F600}")
  end
  t.eq(assert(xml.parse(utf16, { full = true })):serialize({ compact = true }), utf16)
end)

t.test("an encoding the C library does not know is refused by its name", function()
  for _, name in ipairs({ "x-no-such-charset", "Shift_JIS//IGNORE", "UTF-8//TRANSLIT", "a/b", "_UTF-8" }) do
    local text = '<?xml version="1.0" encoding="' .. name .. '"?><a>caf\xe9</a>'
    for _, mode in ipairs({ {}, { full = true } }) do
      t.eq(t.results(xml.parse(text, mode)),
        t.results(nil, 'XML parse failed: the encoding "' .. name .. '" is not supported'), name)
    end
  end
  -- A name is quoted at most 64 bytes long, so a document cannot make its own error message as large as itself.
  local long = ("x"):rep(1024 * 1024)
  for _, mode in ipairs({ {}, { full = true } }) do
    t.eq(t.results(xml.parse('<?xml version="1.0" encoding="' .. long .. '"?><a>caf\xe9</a>', mode)),
      t.results(nil, 'XML parse failed: the encoding "' .. ("x"):rep(64) .. '..." is not supported'))
  end
  -- A set the C library knows in which the declaration could not have been written.
  for _, name in ipairs({ "UCS-2", "IBM037" }) do
    local text = '<?xml version="1.0" encoding="' .. name .. '"?><a>caf\xe9</a>'
    t.eq(t.results(xml.parse(text)), t.results(nil,
      'XML parse failed: the declaration is not written in the encoding "' .. name .. '" it names'), name)
  end
end)

t.test("a byte sequence that is no character of the encoding is refused where it stands", function()
  local declaration = '<?xml version="1.0" encoding="Shift_JIS"?>'
  local cases = {
    { declaration .. "<a>\x82\xa0\xff</a>", #declaration + 5, "not a character of the encoding \"Shift_JIS\"" },
    { declaration .. "<a>\x82\xa0</a>\x82", #declaration + 9,
      "the text ends inside a character of the encoding \"Shift_JIS\"" },
    { '<?xml version="1.0" encoding="ISO-2022-JP"?><a>\27$B\x82\x82\27(B</a>', 50,
      "not a character of the encoding \"ISO-2022-JP\"" },
    { '<?xml version="1.0" encoding="windows-1252"?><a>\x81</a>', 48,
      "not a character of the encoding \"windows-1252\"" },
  }
  for _, case in ipairs(cases) do
    local text, offset, description = table.unpack(case)
    for _, mode in ipairs({ {}, { full = true } }) do
      t.eq(t.results(xml.parse(text, mode)), t.results(nil, "XML parse failed at byte " .. offset .. ": " .. description))
    end
  end
end)

t.test("a parse error in a decoded document names the byte of the source where it stands", function()
  -- The same document with ASCII letters in place of each character's bytes fails at the same byte.
  local declaration = '<?xml version="1.0" encoding="EUC-JP"?>'
  for _, shape in ipairs({ "<a>#</b>", "<a v='#'>#<b></a>", "<a>#<b>#</b>#</c>#</a>" }) do
    local euc = declaration .. shape:gsub("#", "\xc6\xfc\xcb\xdc \xa4\xa2")
    local letters = declaration .. shape:gsub("#", "xxxx xx")
    local expected = { xml.parse(letters) }
    t.eq(expected[1], nil, shape)
    t.eq({ xml.parse(euc) }, expected, shape)
    t.eq({ xml.parse(euc, { full = true }) }, { xml.parse(letters, { full = true }) }, shape)
  end
end)

t.test("a declaration without its end names no encoding, and the parser says where the text fails", function()
  local text = '<?xml version="1.0" encoding="Shift_JIS" <a>\x82\xa0</a>' .. ("x"):rep(100000)
  for _, mode in ipairs({ {}, { full = true } }) do
    t.eq(t.results(xml.parse(text, mode)),
      t.results(nil, "XML parse failed at byte 100049: Error parsing document declaration/processing instruction"))
  end
end)

-- What a set's encoder writes is not always what its decoder reads: ISO-2022-CN's encoder switches the set it has
-- shifted out to without shifting out again, which its decoder only takes at the next shift, and a few sets map a
-- character to bytes that read as another. A full-mode save reads back as the source did; a document whose sets
-- agree is written back as it was read.
t.test("a full-mode save reads back as its source, even where a set's encoder and decoder disagree", function()
  local cases = {
    -- GB 2312, then CNS 11643 plane 1, each behind its own shift (plane 1's "!-" is another character in GB 2312).
    { "ISO-2022-CN", "\27$)A\14R;\15\27$)G\14\"#\15", "\u{4e00}\u{203e}" },
    { "ISO-2022-CN", "\27$)A\14R;\15\27$)G\14!-\15", "\u{4e00}\u{2025}" },
    { "ISO-2022-CN", "\27$)G\14\"#\15\27$)A\14R;\15 x \27$)G\14!-\15\27$)A\14R;\15", "\u{203e}\u{4e00} x \u{2025}\u{4e00}" },
    { "ISO-2022-CN-EXT", "\27$)A\14R;\15\27$)E\14*$\15", "\u{4e00}\u{a5}" },
    -- An isolated Arabic letter that the encoder writes as the letter's base form.
    { "CP1046", "\x83 \xd3", "\u{feb1} \u{633}" },
  }
  for _, case in ipairs(cases) do
    local name, body, text = table.unpack(case)
    local source = '<?xml version="1.0" encoding="' .. name .. '"?><a>' .. body .. "</a>"
    t.eq(assert(xml.parse(source)):root():first_child():value(), text, name)
    local saved = assert(xml.parse(source, { full = true })):serialize({ compact = true })
    local again, message = xml.parse(saved)
    t.eq(again and again:root():first_child():value(), text, name .. ": " .. tostring(message))
    local full = assert(xml.parse(saved, { full = true }), name)
    t.eq(full:serialize({ compact = true }), saved, name)
  end
  -- Sets whose encoder and decoder agree keep their bytes.
  for _, case in ipairs({ { "ISO-2022-JP", "\27$BF|K\\\27(B x \27$B$\"\27(B" }, { "Shift_JIS", "\x93\xfa \x82\xa0" },
                          { "ISO-2022-KR", "\14\48\33\15 x \14\48\33\15" }, { "UTF-7", "+AOk x +ZeU-" } }) do
    local name, body = table.unpack(case)
    local header = name == "ISO-2022-KR" and "\27$)C" or ""
    local source = header .. '<?xml version="1.0" encoding="' .. name .. '"?><a>' .. body .. "</a>"
    t.eq(assert(xml.parse(source, { full = true })):serialize({ compact = true }), source, name)
  end
end)

t.test("documents read from a set with a long name leave nothing behind once collected", function()
  -- Many of them, so that the memory checker finds what a stale copy of a pointer would hide.
  for round = 1, 100 do
    local name = round % 2 == 0 and "EXTENDED_UNIX_CODE_PACKED_FORMAT_FOR_JAPANESE" or "CSEUCPKDFMTJAPANESE"
    local source = '<?xml version="1.0" encoding="' .. name .. '"?><a>x</a>'
    local document = assert(xml.parse(source, { full = round % 3 == 0 }), name)
    t.eq(document:root():first_child():value(), "x", name)
  end
  -- The first collection finalises the documents, the second frees their memory.
  collectgarbage()
  collectgarbage()
end)
