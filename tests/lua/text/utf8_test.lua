-- The utf8 module as scripts see it: the global, the documented examples, character positions, Unicode case,
-- widths, validation, NFC, grapheme clusters and patterns over code points.
local t = require("qz_test")

local s = "你好world"

-- Each case: a label, a function and the results it must return (as t.results packs them).
local function check(cases)
  for _, case in ipairs(cases) do
    t.eq(t.results(case[2]()), t.results(table.unpack(case[3], 1, case[3].n or #case[3])), case[1])
  end
end

local function none() return { n = 0 } end

t.test("the global utf8 is the module, in package.loaded too", function()
  t.eq(package.loaded.utf8 == utf8, true)
  t.eq(type(utf8.widthlimit), "function")
  t.eq(utf8.charpattern, "[\0-\x7F\xC2-\xF4][\x80-\xBF]*")
end)

t.test("the documented examples hold", function()
  check({
    { "escape", function() return utf8.escape("%123%u123%{123}%u{123}%xABC%x{ABC}") end, { "{{{{\u{ABC}\u{ABC}" } },
    { "escape others", function() return utf8.escape("%%123%?%d%%u") end, { "%123?d%u" } },
    { "charpos n", function() return utf8.charpos(s, 3) end, { 7, 119 } },
    { "charpos i n", function() return utf8.charpos(s, 1, 2) end, { 7, 119 } },
    { "next", function() return utf8.next("你好", 1) end, { 4, 22909 } },
    { "next n", function() return utf8.next(s, 1, 2) end, { 7, 119 } },
    { "insert append", function() return utf8.insert("你好", "world") end, { "你好world" } },
    { "insert before", function() return utf8.insert("你好", 2, "!") end, { "你!好" } },
    { "remove last", function() return utf8.remove(s) end, { "你好worl" } },
    { "remove range", function() return utf8.remove(s, 2, 3) end, { "你orld" } },
    { "width", function() return utf8.width("hello") end, { 5 } },
    { "width wide", function() return utf8.width("你好") end, { 4 } },
    { "width range", function() return utf8.width("hello world", 1, 5) end, { 5 } },
    { "width code", function() return utf8.width(0x4E2D) end, { 2 } },
    { "widthindex", function() return utf8.widthindex(s, 3) end, { 2, 1, 2 } },
    { "widthindex middle", function() return utf8.widthindex(s, 4) end, { 2, 2, 2 } },
    { "widthlimit", function() return utf8.widthlimit("hello world", 5) end, { 5, 0 } },
    { "widthlimit back", function() return utf8.widthlimit("/path/to/file.lua", -8) end, { 10, 0 } },
    { "widthlimit left", function() return utf8.widthlimit("world你好", 6) end, { 5, 1 } },
    { "widthlimit range", function() return utf8.widthlimit(s, 3, 1, 11) end, { 3, 1 } },
    { "title", function() return utf8.title("hello world") end, { "HELLO WORLD" } },
    { "fold", function() return utf8.fold("Straße") end, { "straße" } },
    { "upper code", function() return utf8.upper(0x61) end, { 0x41 } },
    { "ncasecmp equal", function() return utf8.ncasecmp("Hello", "hello") end, { 0 } },
    { "ncasecmp less", function() return utf8.ncasecmp("abc", "DEF") end, { -1 } },
    { "isvalid", function() return utf8.isvalid("你好") end, { true } },
    { "isvalid bad", function() return utf8.isvalid("\xFF\xFE") end, { false } },
    { "clean", function() return utf8.clean("你好\xFFworld") end, { "你好\u{FFFD}world", false } },
    { "clean valid", function() return utf8.clean("你好") end, { "你好", true } },
    { "invalidoffset", function() return utf8.invalidoffset("你好\xFFworld") end, { 7 } },
    { "invalidoffset valid", function() return utf8.invalidoffset("你好") end, { nil, n = 1 } },
    { "isnfc", function() return utf8.isnfc("café") end, { true } },
    { "isnfc decomposed", function() return utf8.isnfc("cafe\u{0301}") end, { false } },
    { "normalize", function() return utf8.normalize_nfc("cafe\u{0301}") end, { "café", false } },
  })
  local visited = {}
  for pos, code in utf8.next, "añ" do visited[#visited + 1] = pos .. ":" .. code end
  t.eq(visited, { "1:97", "2:241" })
end)

t.test("character positions follow the string library's rules", function()
  check({
    { "sub", function() return utf8.sub("héllo", 2, 3) end, { "él" } },
    { "sub negative", function() return utf8.sub("héllo", -4, -2) end, { "éll" } },
    { "sub clamped", function() return utf8.sub("héllo", -100, 100) end, { "héllo" } },
    { "sub empty", function() return utf8.sub("héllo", 4, 2) end, { "" } },
    { "sub huge", function() return utf8.sub("héllo", math.mininteger, math.maxinteger) end, { "héllo" } },
    { "byte", function() return utf8.byte("héllo", 1, -1) end, { 104, 233, 108, 108, 111 } },
    { "byte default", function() return utf8.byte("éa") end, { 233 } },
    { "byte last", function() return utf8.byte("éa", -1) end, { 97 } },
    { "byte none", function() return utf8.byte("éa", 3) end, none() },
    { "insert end", function() return utf8.insert("ab", 3, "!") end, { "ab!" } },
    { "insert negative", function() return utf8.insert("ab", -1, "!") end, { "a!b" } },
    { "insert zero", function() return utf8.insert("ab", 0, "!") end, { "ab!" } },
    { "remove from", function() return utf8.remove("héllo", 3) end, { "hé" } },
    { "remove nothing", function() return utf8.remove("héllo", 9) end, { "héllo" } },
    { "charpos back", function() return utf8.charpos(s, -1) end, { 11, 100 } },
    { "charpos holding", function() return utf8.charpos(s, 5, 0) end, { 4, 22909 } },
    { "charpos before", function() return utf8.charpos(s, 4, -1) end, { 1, 20320 } },
    { "charpos past", function() return utf8.charpos(s, 11, 1) end, none() },
    { "next end", function() return utf8.next(s, 11) end, none() },
    { "next back", function() return utf8.next(s, -1, -1) end, { 10, 108 } },
    { "next empty", function() return utf8.next("") end, none() },
  })
  t.raises(utf8.insert, "invalid index", "ab", 4, "!")
  t.raises(utf8.insert, "invalid index", "ab", -3, "!")
  t.raises(utf8.insert, "invalid index", "ab", 2 ^ 32 + 2, "!")
  t.raises(utf8.sub, "number has no integer representation", "ab", 1.5)
end)

t.test("case maps take each code point alone", function()
  check({
    { "lower", function() return utf8.lower("ÀÉÎ ΣΑΣ ǅ") end, { "àéî σασ ǆ" } },
    { "upper", function() return utf8.upper("straße ǆ ﬁ") end, { "STRAßE Ǆ ﬁ" } },
    { "title", function() return utf8.title("ǆemal ß") end, { "ǅEMAL ß" } },
    { "fold", function() return utf8.fold("ΣΑΣ ς ẞ Ꭰ ꭰ") end, { "σασ σ ß Ꭰ Ꭰ" } },
    { "number", function() return utf8.lower(0x130), utf8.fold(0x3C2), utf8.title(0x1C6) end, { 0x69, 0x3C3, 0x1C5 } },
    { "beyond Unicode", function() return utf8.upper(-5), utf8.upper(0x7FFFFFFF) end, { -5, 0x7FFFFFFF } },
    { "surrogates pass", function() return utf8.upper("\xED\xA0\x80a") end, { "\xED\xA0\x80A" } },
  })
  t.raises(utf8.lower, "number/string expected, got table", {})
  t.raises(utf8.width, "number/string expected, got nil", nil)
  t.raises(utf8.upper, "invalid UTF-8 code", "a\xFF")
end)

t.test("reverse keeps marks on their base unless lax", function()
  check({
    { "strict", function() return utf8.reverse("ae\u{301}x") end, { "xe\u{301}a" } },
    { "lax", function() return utf8.reverse("ae\u{301}x", true) end, { "x\u{301}ea" } },
    { "lax bad bytes", function() return utf8.reverse("a\xFF\xE4b", true) end, { "b\xE4\xFFa" } },
  })
  t.raises(utf8.reverse, "invalid UTF-8 code", "a\xFF")
end)

t.test("escapes refuse missing, unclosed and too large numbers", function()
  check({
    { "trailing percent", function() return utf8.escape("100%") end, { "100%" } },
    { "largest", function() return utf8.escape("%x{7FFFFFFF}") end, { "\xFD\xBF\xBF\xBF\xBF\xBF" } },
    { "multibyte after percent", function() return utf8.escape("%é") end, { "é" } },
  })
  for _, bad in ipairs({ "%x", "%u", "%{12", "%x{zz}", "%{}", "%2147483648", "%x{80000000}" }) do
    t.raises(utf8.escape, "invalid escape '", bad)
  end
end)

t.test("widths count columns per character", function()
  check({
    { "ambiguous", function() return utf8.width("±±", 1, -1, 2) end, { 4 } },
    { "marks zero", function() return utf8.width("e\u{301}\u{200B}") end, { 1 } },
    { "controls one", function() return utf8.width("\t\0") end, { 2 } },
    { "widthindex past end", function() return utf8.widthindex("ab", 5) end, { 2 } },
    { "widthlimit stops when the columns are used up", function() return utf8.widthlimit("e\u{301}x", 1) end,
      { 1, 0 } },
    { "widthlimit nothing", function() return utf8.widthlimit("你", 1) end, { 0, 1 } },
    { "widthlimit nothing back", function() return utf8.widthlimit("你", -1) end, { 4, -1 } },
    { "widthlimit range back", function() return utf8.widthlimit("abcdef", -2, 2, 4) end, { 3, 0 } },
  })
  t.raises(utf8.width, "ambiguous width must be 1 or 2", "a", 1, -1, 3)
  t.raises(utf8.width, "invalid UTF-8 code", "\xE4\xBD")
end)

t.test("validation, cleaning and NFC", function()
  check({
    { "clean run", function() return utf8.clean("a\xE4\xBD\xFFb\x80", "?") end, { "a?b?", false } },
    { "clean surrogate", function() return utf8.clean("\xED\xA0\x80") end, { "\u{FFFD}", false } },
    { "invalidoffset from", function() return utf8.invalidoffset("\xFFab\xFF", 2) end, { 4 } },
    { "invalidoffset back", function() return utf8.invalidoffset("\xFFab\xFF", -3) end, { 4 } },
    { "overlong", function() return utf8.isvalid("\xC0\x80"), utf8.isvalid("\xF4\x90\x80\x80") end, { false, false } },
    { "already nfc", function() return utf8.normalize_nfc("Ångström 한국") end, { "Ångström 한국", true } },
    { "hangul", function() return utf8.normalize_nfc("\u{1112}\u{1161}\u{11AB}") end, { "한", false } },
    { "reordered", function() return utf8.isnfc("a\u{301}\u{316}") end, { false } },
  })
  t.raises(utf8.clean, "replacement string must be valid UTF-8", "a", "\xFF")
  t.raises(utf8.normalize_nfc, "string is not valid UTF-8", "a\xFF")
  t.raises(utf8.isnfc, "string is not valid UTF-8", "\xED\xA0\x80")
end)

local function clusters(...)
  local out = {}
  for from, to in utf8.grapheme_indices(...) do out[#out + 1] = from .. "-" .. to end
  return table.concat(out, " ")
end

t.test("grapheme clusters cover byte ranges", function()
  t.eq(clusters("e\u{301}x🇫🇷🇩🇪\r\n👩\u{200D}💻"), "1-3 4-4 5-12 13-20 21-22 23-33")
  t.eq(clusters("abc", 2), "2-2 3-3")
  t.eq(clusters("abc", 2, 2), "2-2")
  t.eq(clusters(""), "")
  t.eq(clusters("abc", 5), "")
  t.raises(utf8.grapheme_indices, "out of range", "abc", 1, 4)
  t.raises(clusters, "invalid UTF-8 code", "a\xFF")
end)

t.test("patterns work on code points and count characters", function()
  check({
    { "find positions", function() return utf8.find("héllo wörld", "w(ö)r()") end, { 7, 9, "ö", 10 } },
    { "find init", function() return utf8.find("ééé", "é", 2) end, { 2, 2 } },
    { "find negative init", function() return utf8.find("aéaé", "é", -1) end, { 4, 4 } },
    { "find plain", function() return utf8.find("a.é.b", ".b", 1, true) end, { 4, 5 } },
    { "classes", function() return utf8.match("Ωμέγα 42 ٣", "(%u)(%l+) (%d+) (%d)") end, { "Ω", "μέγα", "42", "٣" } },
    { "set range", function() return utf8.match("xαβγy", "[α-γ]+") end, { "αβγ" } },
    { "complement", function() return utf8.match("αβγy", "[^α-γ]") end, { "y" } },
    { "dot", function() return utf8.match("中文", "^..$") end, { "中文" } },
    { "balance", function() return utf8.match("x«a«b»c»y", "%b«»") end, { "«a«b»c»" } },
    { "frontier", function() return utf8.find("éa ab", "%f[%a]%a+", 2) end, { 4, 5 } },
    { "marks", function() return utf8.match("e\u{301}\u{302}x", "%a(%t+)") end, { "\u{301}\u{302}" } },
    { "space", function() return utf8.gsub("a\u{3000}b\u{A0}c", "%s", "_") end, { "a_b_c", 2 } },
    { "gsub position", function() return utf8.gsub("日本語", "()", "%1") end, { "1日2本3語4", 4 } },
    { "gsub unfinished", function() return utf8.gsub("abc", "(a", "x") end, { "xbc", 1 } },
    { "gmatch init", function()
        local out = {}
        for w in utf8.gmatch("één twee", "%a+", 3) do out[#out + 1] = w end
        return table.concat(out, ",")
      end, { "n,twee" } },
  })
  t.raises(utf8.find, "unfinished capture", "abc", "(a")
  t.raises(utf8.find, "invalid UTF-8 code", "a\xFFb", "%a", 2)
  t.raises(utf8.find, "invalid UTF-8 code", "ab", "[\xFF]")
  t.raises(utf8.match, "malformed pattern (missing ']')", "é", "[é")
end)

t.test("a gmatch iterator ends once its state is finalized", function()
  local after = {}
  do
    local holder = {}
    -- made before the iterator, so finalized after its state in the same cycle
    setmetatable({}, { __gc = function() after = t.results(pcall(holder.next)) end })
    holder.next = utf8.gmatch("aaa", ("b?"):rep(200) .. "a")  -- too long for the pattern cache
  end
  collectgarbage()
  collectgarbage()
  t.eq(after, t.results(true))
end)

-- Each case: a label, the function, its arguments (packed, so they may hold nils) and the results it returns,
-- or { raises = text } for the error it raises.
local function outcomes(cases)
  for _, case in ipairs(cases) do
    local label, f, args, expected = case[1], case[2], case[3], case[4]
    local got = t.results(pcall(f, table.unpack(args, 1, args.n or #args)))
    if expected.raises then
      t.eq(got[1], false, label)
      t.truthy(tostring(got[2]):find(expected.raises, 1, true), label .. ": got " .. tostring(got[2]))
    else
      t.eq(got, t.results(true, table.unpack(expected, 1, expected.n or #expected)), label)
    end
  end
end

local function gmatched(...)
  local out = {}
  for a in utf8.gmatch(...) do out[#out + 1] = a end
  return table.concat(out, " ")
end

t.test("agrees with the lua-utf8 module on positions, widths and stray bytes", function()
  local s3 = "a\u{e9}\u{4e2d}z"
  outcomes({
    { "charpos alone", utf8.charpos, { "\u{e9}x" }, { 1, 233 } },
    { "charpos of 0", utf8.charpos, { "\u{e9}x", 0 }, { 1, 233 } },
    { "charpos back from inside a character", utf8.charpos, { s3, 3, -1 }, { 2, 233 } },
    { "next back from inside a character", utf8.next, { s3, 3, -1 }, { 2, 233 } },
    { "widthindex past the end", utf8.widthindex, { "abcdef", 10 }, { 6 } },
    { "widthindex of nothing", utf8.widthindex, { "", 1 }, { 0 } },
    { "width default 4", utf8.width, { "\u{200B}", nil, nil, 1, 4, n = 5 }, { 4 } },
    { "width default -1", utf8.width, { "a\u{200B}", 1, -1, 1, -1 }, { 0 } },
    { "widthindex default 3", utf8.widthindex, { "a\u{200B}b", 2, 1, -1, 1, 3 }, { 2, 1, 3 } },
    { "widthlimit default 3", utf8.widthlimit, { "a\u{200B}b", 3, 1, -1, 1, 3 }, { 1, 2 } },
    { "widthlimit back over a cut range", utf8.widthlimit, { "你好世界", -4, 1, 7 }, { 4, 0 } },
    { "widthlimit over a cut range", utf8.widthlimit, { "你好世界", 3, 1, 4 }, { 3, 1 } },
    { "width of a cut range", utf8.width, { "你好", 1, 4 }, { 4 } },
    { "widthindex in a cut range", utf8.widthindex, { "你好", 3, 1, 4 }, { 2, 1, 2 } },
    { "strict reverse of a surrogate", utf8.reverse, { "a\xED\xA0\x80" }, { raises = "invalid UTF-8 code" } },
    { "sub of Latin-1", utf8.sub, { "caf\xE9 ok", 4, 6 }, { "\xE9 o" } },
    { "charpos at a stray byte", utf8.charpos, { "a\xE9b", 2 }, { 2, 0 } },
    { "next to a stray byte", utf8.next, { "a\xE9b", 1 }, { 2, 0 } },
    { "find past a stray byte", utf8.find, { "a\xFFb", "b" }, { 3, 3 } },
    { "plain find past a stray byte", utf8.find, { "a\xFFb", "b", 1, true }, { 3, 3 } },
    { "find of the end past a stray byte", utf8.find, { "a\xFFb", "$" }, { 4, 3 } },
    { "find from after a stray byte", utf8.find, { "\xFFab", "%a", 2 }, { 2, 2 } },
    { "match from after a stray byte", utf8.match, { "\xFFab", "b", 2 }, { "b" } },
    { "gmatch positions over a stray byte", gmatched, { "a\xFFb", "()" }, { "1 2 3 4" } },
    { "gsub raising at a stray byte", utf8.gsub, { "a\xFFb", "x", "y" }, { raises = "invalid UTF-8 code" } },
    { "gsub with a stray byte in a pattern no match reaches", utf8.gsub, { "b", "\n\x80[", "x" }, { "b", 0 } },
    { "gmatch with a stray byte in a pattern no match reaches", gmatched, { "ab", "x\x80" }, { "" } },
    { "a set holding the character before its stray byte", utf8.find, { "a", "[ab\x80]" }, { 1, 1 } },
    { "a set reading its stray byte", utf8.find, { "b", "[ab\x80]" }, { raises = "invalid UTF-8 code" } },
    { "stray bytes after an escaped character", utf8.find, { "ab", "%a\x80+" }, { 1, 2 } },
    { "stray bytes after an optional item that matched", utf8.match, { "a", "a?\x80()" }, { 2 } },
    { "stray bytes after an optional item that did not", utf8.find, { "", "a?\x80" },
      { raises = "invalid UTF-8 code" } },
    { "a set left open before its stray byte is read", utf8.find, { "a", "[\xC3" },
      { raises = "malformed pattern (missing ']')" } },
    { "%b reading a stray byte before its missing argument", utf8.find, { "a", "%b\x80" },
      { raises = "invalid UTF-8 code" } },
    { "remove of a truncated last character", utf8.remove, { "ab\xE4\xB8" }, { "ab" } },
    { "lax len", utf8.len, { "\234\128\97", nil, nil, true, n = 4 }, { 2 } },
    { "escape naming the bad digit", utf8.escape, { "%{1a1}" }, { raises = "invalid escape 'a'" } },
    { "widthlimit from past the end", utf8.widthlimit, { "abc", 0, 10, 5 },
      { raises = "#3 to 'utf8.widthlimit' (initial position out of bounds)" } },
    { "widthlimit from after the end", utf8.widthlimit, { "abc", 0, 5, 2, 1 },
      { raises = "#3 to 'utf8.widthlimit' (initial position out of bounds)" } },
    { "width of unassigned CJK", utf8.width, { 0x2A6E0 }, { 2 } },
    { "width of a reserved default-ignorable", utf8.width, { 0xE0002 }, { 0 } },
  })
  t.eq(utf8.version, "0.2.1")
end)

t.test("agrees with the lua-utf8 module in the functions beside those", function()
  outcomes({
    { "width of a code point, ambiwidth next", utf8.width, { 0xA1, 2 }, { 2 } },
    { "width of a code point, default after it", utf8.width, { 0x200B, 1, 3 }, { 3 } },
    { "widthlimit back over an empty range", utf8.widthlimit, { "abcdef", -2, 4, 2 }, { 3, -2 } },
    { "widthindex in an empty range", utf8.widthindex, { "abcdef", 2, 4, 2 }, { 0 } },
    { "widthindex with j past the end", utf8.widthindex, { "abc", 1, 1, 4 },
      { raises = "#4 to 'utf8.widthindex' (final position out of bounds)" } },
    { "width reading its options before checking its range", utf8.width, { "abc", 10, nil, "x", n = 4 },
      { raises = "#4 to 'utf8.width' (number expected, got string)" } },
    { "widthindex reading its options before checking its range", utf8.widthindex, { "abc", 1, 10, nil, "x", n = 5 },
      { raises = "#5 to 'utf8.widthindex' (number expected, got string)" } },
    { "widthlimit reading its options before checking its range", utf8.widthlimit, { "abc", 1, 10, nil, 1, "x", n = 6 },
      { raises = "#6 to 'utf8.widthlimit' (number expected, got string)" } },
    { "width of a code point reading its options first", utf8.width, { -1, "x" },
      { raises = "#2 to 'utf8.width' (number expected, got string)" } },
    { "width reading its default before refusing its ambiwidth", utf8.width, { "a", 1, -1, 3, "x" },
      { raises = "#5 to 'utf8.width' (number expected, got string)" } },
    { "widthlimit stopping at the limit before a character of negative width", utf8.widthlimit,
      { "ab\u{200B}\xFF", 2, 1, -1, 1, -1 }, { 2, 0 } },
    { "grapheme clusters of a range that cuts a character", clusters, { ")\u{1F600}a", 1, 4 }, { "1-1 2-5" } },
    { "grapheme clusters from the end of a range that cuts a character", clusters, { "\u{1F600}", -4, 3 },
      { "1-4" } },
    { "grapheme clusters reading a cut character whole", clusters, { "\u{e9}\x80", 1, 2 },
      { raises = "invalid UTF-8 code" } },
    { "isnfc answering at a character that has another form, before a bad sequence", utf8.isnfc, { "\u{212B}\xFF" },
      { false } },
    { "isnfc answering at a mark that composes, before a bad sequence", utf8.isnfc, { "e\u{301}\xFF" }, { false } },
    { "isnfc refusing a bad sequence after text in NFC", utf8.isnfc, { "x\u{316}\u{301}\xFF" },
      { raises = "#1 to 'utf8.isnfc' (string is not valid UTF-8)" } },
    { "charpos from before the first byte", utf8.charpos, { "a\u{e9}\u{4e2d}z", 0, 1 }, { 2, 233 } },
    { "next with a count alone", utf8.next, { "abc", nil, 2, n = 3 }, { 3, 99 } },
    { "insert after a stray byte", utf8.insert, { "a\xE9b", 3, "!" }, { "a\xE9!b" } },
    { "insert with text where the position goes", utf8.insert, { "ab", "x", "y" }, { "abx" } },
    { "insert with a numeric string where the position goes", utf8.insert, { "ab", "1", "x" }, { "ab1" } },
    { "insert with nil where the position goes", utf8.insert, { "ab", nil, "x", n = 3 },
      { raises = "#2 to 'utf8.insert' (string expected, got nil)" } },
    { "insert with a position and no text", utf8.insert, { "ab", 1 },
      { raises = "#3 to 'utf8.insert' (string expected, got no value)" } },
    { "insert checking the position before the text", utf8.insert, { "ab", 5, {} },
      { raises = "#2 to 'utf8.insert' (invalid index)" } },
    { "lax len of an overlong form", utf8.len, { "\xC0\x80a", 1, -1, true }, { 2 } },
    { "a frontier beside a stray byte", utf8.find, { "\xFFa", "%f[%a]" }, { 2, 1 } },
    { "a character with a stray continuation byte", utf8.match, { "\u{e9}\x80x", "^." }, { "\u{e9}\x80" } },
    { "plain find inside a character", utf8.find, { "a\u{e9}", "\xA9", 1, true }, { 2, 2 } },
    { "strict reverse beyond U+10FFFF", utf8.reverse, { "a\xF8\x88\x80\x80\x80" }, { raises = "invalid UTF-8 code" } },
    { "lax reverse by units", utf8.reverse, { "\u{e9}\x80b", true }, { "b\u{e9}\x80" } },
    { "escape naming the bad hex digit", utf8.escape, { "%x{zz}" }, { raises = "invalid escape 'z'" } },
  })
end)

local function codesOf(...)
  local out = {}
  for p, c in utf8.codes(...) do out[#out + 1] = p .. ":" .. c end
  return table.concat(out, " ")
end

t.test("agrees with the lua-utf8 module on whole clusters, used-up limits and stray bytes", function()
  outcomes({
    { "a cluster that starts in the range taken whole", clusters, { "\u{1F44D}\u{1F3FD}x", 1, 4 }, { "1-8" } },
    { "a base whose marks run past the range", clusters, { "ae\u{301}\u{302}x", 2, 2 }, { "2-6" } },
    { "a cluster read past the range up to a stray byte", clusters, { "a\u{301}\xFF", 1, 1 },
      { raises = "invalid UTF-8 code" } },
    { "clusters from a continuation byte", clusters, { "\u{e9}a", 2 }, { raises = "invalid UTF-8 code" } },
    { "widthlimit taking no mark after the limit", utf8.widthlimit, { "ab\u{301}\u{200B}c", 2 }, { 2, 0 } },
    { "widthlimit of a limit of zero", utf8.widthlimit, { "\u{301}a", 0 }, { 0, 0 } },
    { "widthlimit keeping marks before the limit is used up", utf8.widthlimit, { "e\u{301}x", 2 }, { 4, 0 } },
    { "codes from a stray continuation byte", codesOf, { "\x80a" }, { raises = "invalid UTF-8 code" } },
    { "lax codes from a stray continuation byte", codesOf, { "\xBFa", true }, { raises = "invalid UTF-8 code" } },
    { "codes past stray continuation bytes after a character", codesOf, { "a\x80\x80b" }, { "1:97 4:98" } },
    { "escape of a stray byte", utf8.escape, { "caf\xE9" }, { raises = "invalid UTF-8 code" } },
    { "escape of a stray byte after a percent", utf8.escape, { "%\xFFa" }, { raises = "invalid UTF-8 code" } },
    { "escape of a cut character", utf8.escape, { "%u{41}\xE4\xB8" }, { raises = "invalid UTF-8 code" } },
    { "escape of text beyond U+10FFFF", utf8.escape, { "\xF8\x88\x80\x80\x80%41" }, { "\xF8\x88\x80\x80\x80)" } },
    { "width with a boolean for its start", utf8.width, { "\u{B1}a", true, 1 },
      { raises = "#2 to 'utf8.width' (number expected, got boolean)" } },
    { "widthindex with a boolean for its start", utf8.widthindex, { "\u{B1}b", 2, true },
      { raises = "#3 to 'utf8.widthindex' (number expected, got boolean)" } },
    { "widthlimit with a boolean for its start", utf8.widthlimit, { "\u{B1}b", 2, false },
      { raises = "#3 to 'utf8.widthlimit' (number expected, got boolean)" } },
  })
end)

t.test("keeps sound results where the lua-utf8 module goes wrong", function()
  outcomes({
    { "find from far before the start", utf8.find, { "abc", "x*", -10 }, { 1, 0 } },
    { "a leading mark kept by reverse", utf8.reverse, { "\u{301}a" }, { "a\u{301}" } },
    { "positions in 64 bits", utf8.sub, { "abc", 1, 2 ^ 32 + 1 }, { "abc" } },
    { "empty matches once per position", gmatched, { "\u{e9}a", "()" }, { "1 2 3" } },
    { "charpos from past the end", utf8.charpos, { "abc", 100, -1 }, { 3, 99 } },
    { "strict reverse of a stray byte", utf8.reverse, { "a\x80" }, { raises = "invalid UTF-8 code" } },
    { "insert at a position that is no integer", utf8.insert, { "ab", 1.5, "x" },
      { raises = "number has no integer representation" } },
  })
end)

t.test("find gives the same positions whatever the order of its inits", function()
  local s = "ab \u{e9}t\u{e9} \u{4e2d}\u{6587} x\u{300}y zz"
  local inits = { 1, 2, 3, 5, 8, 9, 12, 13, 14, 16, 17, -1, -4, -9, 20 }
  local fresh = {}
  for k, init in ipairs(inits) do
    utf8.find("other", "o")  -- another subject: this call starts from the text's start
    fresh[k] = t.results(utf8.find(s, "%a+", init))
  end
  local orders = { { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15 },
    { 15, 10, 9, 8, 2, 1, 14, 12, 13, 6, 7, 3, 4, 5, 11 } }
  for _, order in ipairs(orders) do
    for _, k in ipairs(order) do t.eq(t.results(utf8.find(s, "%a+", inits[k])), fresh[k], "init " .. inits[k]) end
  end
  local words = {}
  for first, word in utf8.gmatch(s, "()(%a+)") do words[#words + 1] = first .. word end
  local found, at = {}, 1
  while true do
    local first, last = utf8.find(s, "%a+", at)
    if not first then break end
    found[#found + 1] = first .. utf8.sub(s, first, last)
    at = last + 1
  end
  t.eq(found, words)
  -- a balance or a back reference may end a match inside a unit, before a stray continuation byte
  for _, case in ipairs({ { "(a)\x80z", "%b()", 4 }, { "aa\x80z", "(.)%1", 3 } }) do
    local text, pattern, init = table.unpack(case)
    local later = t.results(pcall(utf8.find, text, ".", init))
    utf8.find("other", "o")
    utf8.find(text, pattern)
    t.eq(t.results(pcall(utf8.find, text, ".", init)), later, pattern)
  end
end)

-- Last: the pattern functions go on without their cache (and its position hint) after it.
t.test("pattern functions a finalizer keeps alive still work once their cache is finalized", function()
  local names = { "find", "match", "gmatch", "gsub" }
  local rescued
  t.eq(t.results(utf8.find("abc", "b+")), t.results(2, 2))  -- cached
  do
    local functions = {}
    for _, name in ipairs(names) do functions[name], utf8[name] = utf8[name], nil end
    setmetatable({}, { __gc = function() rescued = functions end })
  end
  collectgarbage()
  collectgarbage()
  for _, name in ipairs(names) do utf8[name] = rescued[name] end
  t.eq(t.results(utf8.find("abc", "b+")), t.results(2, 2))
  t.eq(t.results(utf8.gsub("abc", "b+", "x")), t.results("axc", 1))
end)
