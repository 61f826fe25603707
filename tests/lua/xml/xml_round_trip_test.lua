-- xml: a document read in full mode and written again reads back to the same tree, and its text is the same
-- at every later save; encodings no one decodes are refused by name.
local t = require("qz_test")

-- The text's code points in UTF-16 or UTF-32, little- or big-endian.
local function encode(text, width, big_endian)
  local out = {}
  for _, code in utf8.codes(text) do
    local units = { code }
    if width == 2 and code > 0xffff then
      code = code - 0x10000
      units = { 0xd800 | (code >> 10), 0xdc00 | (code & 0x3ff) }
    end
    for _, unit in ipairs(units) do
      local bytes = {}
      for i = 0, width - 1 do bytes[#bytes + 1] = (unit >> (8 * i)) & 0xff end
      if big_endian then
        for i = 1, width // 2 do bytes[i], bytes[width + 1 - i] = bytes[width + 1 - i], bytes[i] end
      end
      out[#out + 1] = string.char(table.unpack(bytes))
    end
  end
  return table.concat(out)
end

-- Every node in document order as type, name and value, with the attributes asked for; text of white space
-- alone is left out when `blank` is false.
local function tree(document, attributes, blank)
  local out = {}
  local function walk(node)
    while node do
      local entry = node:type() .. "|" .. node:name() .. "|" .. node:value()
      for _, name in ipairs(attributes or {}) do
        local value = node:attribute(name)
        if value then entry = entry .. "|" .. name .. "=" .. value end
      end
      if blank ~= false or node:type() ~= "text" or node:value():find("%S") then out[#out + 1] = entry end
      walk(node:first_child())
      node = node:next_sibling()
    end
  end
  walk(document:root())
  return out
end

local utf8_declared = '<?xml version="1.0" encoding="UTF-8"?>'
local cases = {
  { name = "an attribute quoted with ' that holds \"", text = [[<a v='say "hi"'/>]], attributes = { "v" } },
  { name = "attributes holding each quote mark", text = [[<a v='say "hi"' w="it's"><b x='"' y="'"/></a>]],
    attributes = { "v", "w", "x", "y" } },
  { name = "entities, character references, CDATA, comments and instructions",
    text = '<!DOCTYPE a [<!ENTITY e "x">]><a k="&quot;&amp;&e;">&lt;b&gt; &#233; &e;<![CDATA[<c> & "d"]]><!--note--><?p q?></a>',
    attributes = { "k" } },
  { name = "Latin-1 declared ISO-8859-1", text = '<?xml version="1.0" encoding="ISO-8859-1"?><a v="caf\xe9">caf\xe9</a>',
    attributes = { "v" } },
  { name = "Latin-1 declared latin1", text = "<?xml version='1.0' encoding='latin1'?><a>\xe0 \xff</a>" },
  { name = "UTF-8 with a byte-order mark", text = "\xef\xbb\xbf" .. utf8_declared .. "<a>caf\u{e9}</a>" },
}
for _, variant in ipairs({ { 2, false, "\xff\xfe", "UTF-16LE" }, { 2, true, "\xfe\xff", "UTF-16BE" },
                           { 4, false, "\xff\xfe\0\0", "UTF-32LE" }, { 4, true, "\0\0\xfe\xff", "UTF-32BE" } }) do
  local width, big_endian, mark, label = table.unpack(variant)
  local source = '<?xml version="1.0" encoding="' .. (width == 2 and "UTF-16" or "UTF-32") ..
    '"?><a v="\u{1F600}">caf\u{e9} \u{4e2d}</a>'
  cases[#cases + 1] = { name = label .. " with a byte-order mark", text = mark .. encode(source, width, big_endian),
    attributes = { "v" } }
  cases[#cases + 1] = { name = label .. " without a byte-order mark", text = encode(source, width, big_endian),
    attributes = { "v" } }
end

t.test("a full-mode document reads back to the same tree and its text is stable after the first save", function()
  for _, case in ipairs(cases) do
    for _, options in ipairs({ {}, { compact = true }, { indent = "  " } }) do
      local label = case.name .. (options.compact and " (compact)" or options.indent and " (two spaces)" or "")
      local first = assert(xml.parse(case.text, { full = true }), label)
      local saved = first:serialize(options)
      local again, message = xml.parse(saved, { full = true })
      t.truthy(again, label .. ": the saved text does not parse: " .. tostring(message))
      -- Indenting adds white space between elements that hold no text.
      local blank = options.compact or false
      t.eq(tree(again, case.attributes, blank), tree(first, case.attributes, blank), label)
      t.eq(again:serialize(options), saved, label .. ": the second save")
      -- What the text means (entities decoded, written as UTF-8) is the same before and after too.
      t.eq(assert(xml.parse(saved)):serialize(), assert(xml.parse(case.text)):serialize(), label)
    end
  end
end)

t.test("a compact full-mode document already in the writer's form comes back byte for byte", function()
  for _, case in ipairs(cases) do
    local text = case.text
    if not case.name:find("declared latin1") then
      t.eq(assert(xml.parse(text, { full = true })):serialize({ compact = true }), text, case.name)
    end
  end
end)

t.test("encodings no one decodes are refused by name; the ones the parser decodes are read by it", function()
  for _, encoding in ipairs({ "x-unknown", "EUC-JP-XYZ" }) do
    local text = '<?xml version="1.0" encoding="' .. encoding .. '"?><a>\xa4\xa2</a>'
    for _, mode in ipairs({ {}, { full = true } }) do
      t.eq(t.results(xml.parse(text, mode)),
        t.results(nil, 'XML parse failed: the encoding "' .. encoding .. '" is not supported'), encoding)
    end
  end
  for _, encoding in ipairs({ "UTF-8", "utf-8", "UTF8", "US-ASCII", "ascii", "UTF-16" }) do
    local document = assert(xml.parse("<?xml version='1.0' encoding='" .. encoding .. "' ?>\n<a>caf\u{e9}</a>"))
    t.eq(document:root():first_child():value(), "caf\u{e9}", encoding)
  end
  t.eq(assert(xml.parse('<?xml version="1.0" encoding="ISO-8859-1"?><a>caf\xe9</a>')):serialize(), "<a>caf\u{e9}</a>")
  -- A byte-order mark decides over the declaration, as the parser reads it.
  t.eq(assert(xml.parse('\xef\xbb\xbf<?xml version="1.0" encoding="Shift_JIS"?><a>\u{e9}</a>')):serialize(),
    "<a>\u{e9}</a>")
end)

-- 32-bit units as UTF-32 bytes, little- or big-endian: any value, not only a character's.
local function units32(values, big_endian)
  local out = {}
  for _, value in ipairs(values) do
    out[#out + 1] = string.pack(big_endian and ">I4" or "<I4", value)
  end
  return table.concat(out)
end

t.test("a UTF-32 document holding surrogates or values past U+10FFFF reads back to the same tree", function()
  local strange = { 0xd800, 0xdfff, 0x110000, 0x1fffff, 0x400000, 0x7fffffff, 0xffffffff }
  local values = {}
  for _, c in utf8.codes("<a v='") do values[#values + 1] = c end
  for _, value in ipairs(strange) do values[#values + 1] = value end
  for _, c in utf8.codes("'>x") do values[#values + 1] = c end
  for _, value in ipairs(strange) do values[#values + 1] = value end
  for _, c in utf8.codes("</a>") do values[#values + 1] = c end
  for _, big_endian in ipairs({ false, true }) do
    for _, mark in ipairs({ {}, { 0xfeff } }) do
      local text = units32(mark, big_endian) .. units32(values, big_endian)
      local label = (big_endian and "big-endian" or "little-endian") .. (#mark > 0 and " with a mark" or "")
      local first = assert(xml.parse(text, { full = true }), label)
      local saved = first:serialize({ compact = true })
      local again = assert(xml.parse(saved, { full = true }), label)
      t.eq(tree(again, { "v" }), tree(first, { "v" }), label)
      t.eq(again:serialize({ compact = true }), saved, label .. ": the second save")
    end
  end
end)
