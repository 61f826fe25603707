-- xml: parsing in both modes, walking nodes, writing documents back, and the errors of bad arguments; the full
-- mode keeps the white space between elements and writes mixed content as it stands, so that a document read
-- and written back keeps its text, while the default mode drops white space between elements.
local t = require("qz_test")

local function children(node)
  local out, child = {}, node:first_child()
  while child do
    out[#out + 1] = child:type() .. ":" .. child:name() .. ":" .. child:value()
    child = child:next_sibling()
  end
  return out
end

t.test("parse failures come back as nil and pugixml's description", function()
  t.eq(t.results(xml.parse("")), t.results(nil, "XML parse failed: No document element found"))
  t.eq(t.results(xml.parse("<a><b/></a")),
    t.results(nil, "XML parse failed at byte 9: Error parsing end element tag"))
end)

t.test("entities are decoded by default and kept as written in full mode", function()
  local plain = assert(xml.parse("<a>x &amp; y</a>"))
  t.eq(plain:root():first_child():value(), "x & y")
  t.eq(plain:serialize(), "<a>x &amp; y</a>")
  local full = assert(xml.parse("<a>x &amp; y</a>", { full = true }))
  t.eq(full:root():first_child():value(), "x &amp; y")
  t.eq(full:serialize(), "<a>x &amp; y</a>")
end)

t.test("comments, declarations and doctypes before the root are kept only in full mode", function()
  local text = '<?xml version="1.0"?><!DOCTYPE a><!--c--><?p x?><a/>'
  local plain = assert(xml.parse(text))
  t.eq(plain:root():name(), "a")
  t.eq(plain:serialize({ compact = true }), "<a/>")
  local full = assert(xml.parse(text, { full = true }))
  t.eq(full:root():name(), "a")
  t.eq(full:serialize({ compact = true }), text)
end)

t.test("serialize indents with tabs by default, or with the given indent, and compact writes raw", function()
  local doc = assert(xml.parse("<a><b/><c>t</c></a>"))
  t.eq(doc:serialize(), "<a>\n\t<b />\n\t<c>t</c>\n</a>")
  t.eq(doc:serialize({ indent = "  " }), "<a>\n  <b />\n  <c>t</c>\n</a>")
  t.eq(doc:serialize({ indent = 1 }), "<a>\n1<b />\n1<c>t</c>\n</a>")
  t.eq(doc:serialize({ compact = true }), "<a><b/><c>t</c></a>")
end)

t.test("first_child with a name finds the element; without one the first node", function()
  local doc = assert(xml.parse("<a>text<?x p?><x k='v'/><y/><x n='2'/></a>", { full = true }))
  local root = doc:root()
  t.eq(root:first_child():type(), "text")
  t.eq(root:first_child("x"):type(), "element")
  t.eq(root:first_child("x"):attribute("k"), "v")
  t.eq(root:first_child("x"):next_sibling("x"):attribute("n"), "2")
  t.eq(root:first_child("z"), nil)
  t.eq(root:first_child("x\0"), nil)
  t.eq(children(root), { "text::text", "pi:x:p", "element:x:", "element:y:", "element:x:" })
end)

t.test("attributes: missing ones are nil, the name is required", function()
  local root = assert(xml.parse("<a k='1'/>")):root()
  t.eq(root:attribute("k"), "1")
  t.eq(root:attribute("missing"), nil)
  t.raises(function() root:attribute() end, "bad argument #1 to 'attribute' (string expected, got no value)")
end)

t.test("UTF-16LE with a byte-order mark parses into UTF-8 text", function()
  local source = "<a>\u{e9}</a>"
  local utf16 = "\xff\xfe"
  for _, code in utf8.codes(source) do utf16 = utf16 .. string.char(code & 0xff, code >> 8) end
  local doc = assert(xml.parse(utf16))
  t.eq(doc:root():first_child():value(), "\u{e9}")
  t.eq(doc:serialize({ compact = true }), source)
end)

t.test("a node keeps its document alive after the document variable is dropped", function()
  local node = assert(xml.parse("<a><b>kept</b></a>")):root():first_child()
  collectgarbage()
  collectgarbage()
  t.eq(node:first_child():value(), "kept")
end)

t.test("a released document is closed for itself and its nodes", function()
  local doc = assert(xml.parse("<a><b/></a>"))
  local node = doc:root()
  debug.getmetatable(doc).__gc(doc)
  t.raises(function() doc:root() end, "XML document is closed")
  t.raises(function() doc:serialize() end, "XML document is closed")
  t.raises(function() node:name() end, "XML document is closed")
  t.raises(function() node:first_child() end, "XML document is closed")
end)

t.test("metatables are protected and arguments are checked", function()
  local doc = assert(xml.parse("<a/>"))
  t.eq(getmetatable(doc), "protected XmlDocument")
  t.eq(getmetatable(doc:root()), "protected XmlNode")
  t.raises(function() xml.parse({}) end, "string expected")
  t.raises(function() xml.parse("<a/>", false) end, "table expected")
  t.raises(function() xml.parse("<a/>", { full = 1 }) end, "bad argument #2 to 'parse' ('full' must be a boolean)")
  t.raises(function() doc:serialize({ indent = {} }) end, "'indent' must be a string")
  t.raises(function() doc:serialize({ indent = "\t\0x" }) end,
    "'indent' must not contain a zero byte")
  t.raises(function() doc:serialize({ compact = "yes" }) end, "'compact' must be a boolean")
  t.raises(function() doc.root(doc:root()) end, "XmlDocument expected")
  t.raises(function() doc:root().name(doc) end, "XmlNode expected")
end)

-- The text of every text and CDATA node in document order.
local function text_of(document)
  local out = {}
  local function walk(node)
    while node do
      if node:type() == "text" or node:type() == "cdata" then out[#out + 1] = node:value() end
      walk(node:first_child())
      node = node:next_sibling()
    end
  end
  walk(document:root())
  return table.concat(out)
end

local visit = '<p>Visit <a href="x">New</a> <em>York</em> today</p>'

t.test("full mode keeps the space between two elements as a text node", function()
  t.eq(children(assert(xml.parse(visit, { full = true })):root()),
    { "text::Visit ", "element:a:", "text:: ", "element:em:", "text:: today" })
  t.eq(children(assert(xml.parse("<a>\n  <b/>\n</a>", { full = true })):root()),
    { "text::\n  ", "element:b:", "text::\n" })
end)

t.test("full mode writes mixed content as it stands, compact and indented", function()
  -- Each source with its indented text (an empty element is written "<x />" when indenting).
  local cases = {
    { visit, visit },
    { "<p><b>bold</b> text</p>", "<p><b>bold</b> text</p>" },
    { "<p>a<b><c>x</c><d>y</d></b></p>", "<p>a<b><c>x</c><d>y</d></b></p>" },
    { '<r>\n  <s a="1">x</s>\n  <t/>\n</r>', '<r>\n  <s a="1">x</s>\n  <t />\n</r>' },
    { "<a> <b> <c/> </b> </a>", "<a> <b> <c /> </b> </a>" },
    { "<a><!--c--> <?p q?><![CDATA[d]]></a>", "<a><!--c--> <?p q?><![CDATA[d]]></a>" },
    { "<a><b>x</b><c> <d/></c></a>", "<a>\n\t<b>x</b>\n\t<c> <d /></c>\n</a>" },
  }
  for _, case in ipairs(cases) do
    local source, indented = table.unpack(case)
    local document = assert(xml.parse(source, { full = true }))
    t.eq(document:serialize({ compact = true }), source, source .. " (compact)")
    t.eq(document:serialize(), indented, source .. " (indented)")
    t.eq(document:serialize({ indent = "  " }), indented:gsub("\t", "  "), source .. " (two spaces)")
  end
end)

t.test("a full-mode read and save keeps the text of a document, and saving again changes nothing", function()
  -- Each source with its text, and whether its every element holds text, so that indenting adds nothing to it.
  local sources = {
    { visit, "Visit New York today", true },
    { '<?xml version="1.0"?>\n<doc>\n  <p>The <em>quick</em> <b>brown</b> fox</p>\n  <p>\t<i>x</i>\n</p>\n</doc>\n',
      "\n  The quick brown fox\n  \tx\n\n", true },
    { "<a><b/><c>t</c><d><e/> <f/></d></a>", "t ", false },
  }
  for _, case in ipairs(sources) do
    local source, text, all_mixed = table.unpack(case)
    for _, options in ipairs({ {}, { compact = true } }) do
      local label = source .. (options.compact and " (compact)" or " (indented)")
      local first = assert(xml.parse(source, { full = true }))
      local saved = first:serialize(options)
      local again = assert(xml.parse(saved, { full = true }))
      t.eq(again:serialize(options), saved, label)
      t.eq(text_of(first), text, label)
      if options.compact or all_mixed then
        t.eq(text_of(again), text, label)
      else
        t.eq((text_of(again):gsub("%s", "")), (text:gsub("%s", "")), label)
      end
    end
  end
end)

t.test("the default mode drops white space between elements and keeps it as an element's only text", function()
  t.eq(children(assert(xml.parse(visit)):root()),
    { "text::Visit ", "element:a:", "element:em:", "text:: today" })
  t.eq(assert(xml.parse(visit)):serialize({ compact = true }), '<p>Visit <a href="x">New</a><em>York</em> today</p>')
  t.eq(children(assert(xml.parse("<a> </a>")):root()), { "text:: " })
end)
