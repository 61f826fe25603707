-- xml: parsing in both modes, walking nodes, writing documents back, and the errors of bad arguments.
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
