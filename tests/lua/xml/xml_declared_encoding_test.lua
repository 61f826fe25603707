-- xml: the encoding a document's declaration names decides how its text is read wherever the declaration
-- stands, in both modes, and a full-mode document written back reads back alike.
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
    for _, mode in ipairs({ {}, { full = true } }) do
      t.eq(t.results(xml.parse(other, mode)),
        t.results(nil, 'XML parse failed: the encoding "Shift_JIS" is not supported'), label)
    end
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
  -- Unless an escape switches it to another character set, or the encoding spells characters in ASCII.
  for _, case in ipairs({ { "ISO-2022-JP", "\27$B$\"\27(B" }, { "UTF-7", "caf+AOk-" }, { "HZ-GB-2312", "~{VP~}" } }) do
    local name, body = table.unpack(case)
    local text = '<?xml version="1.0" encoding="' .. name .. '"?><a>' .. body .. "</a>"
    for _, mode in ipairs({ {}, { full = true } }) do
      t.eq(t.results(xml.parse(text, mode)),
        t.results(nil, 'XML parse failed: the encoding "' .. name .. '" is not supported'), name)
    end
  end
end)
