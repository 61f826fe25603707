-- xml: the full mode keeps the white space between elements and writes mixed content as it stands, so that a
-- document read and written back keeps its text; the default mode drops white space between elements.
local t = require("qz_test")

local function children(node)
  local out, child = {}, node:first_child()
  while child do
    out[#out + 1] = child:type() .. ":" .. child:name() .. ":" .. child:value()
    child = child:next_sibling()
  end
  return out
end

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
