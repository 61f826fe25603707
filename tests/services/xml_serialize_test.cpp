// Writing a document back through the xml module: a deep document's indentation grows with the square of its
// depth and may outgrow memory, while a large document's text is as large as the document. Run in a child
// process whose address space is limited, so that a text built without a bound fails there instead of taking
// the machine's memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "host/lua_api.h"
#include "memory_limited_child.h"
#include "services/xml_document.h"
#include "services/xml_lua.h"

namespace {

// An address space a serialisation within the limit fits in, and a million-level one's indentation never.
constexpr size_t kAllowance = size_t{3} << 30;

// Runs `source` with the xml module in a memory-limited child, with the arguments `push` pushes (it returns
// their number); the child exits 0 when the chunk returns true, else prints its second result or its error
// and exits 1.
int runLimited(const std::string& source, const std::function<int(lua_State*)>& push,
               size_t allowance = kAllowance) {
  std::fflush(nullptr);
  return runInMemoryLimitedChild(allowance, [&] {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "xml", luaopen_xml, 1);
    lua_settop(L, 0);
    if (luaL_loadstring(L, source.c_str()) != LUA_OK) return 3;
    if (lua_pcall(L, push(L), 2, 0) != LUA_OK) {
      std::fprintf(stderr, "error: %s\n", lua_tostring(L, -1));
      return 1;
    }
    if (lua_toboolean(L, 1)) return 0;
    std::fprintf(stderr, "%s\n", luaL_tolstring(L, 2, nullptr));
    return 1;
  });
}

// Serializes `depth` nested elements with the indent given as the second argument: the compact text is
// always whole; the indented one must be refused with the memory message, or, with a third argument true, be
// whole (each level's line indented by its depth).
constexpr const char* kSerializeDeep = R"lua(
  local depth, indent, whole = ...
  local document = assert(xml.parse(("<a>"):rep(depth) .. ("</a>"):rep(depth)))
  local compact = document:serialize({ compact = true })
  if #compact ~= 7 * depth - 3 then return false, "compact text of " .. #compact .. " bytes" end
  local ok, text = pcall(document.serialize, document, { indent = indent })
  if not whole then
    if ok then return false, "an indented text of " .. #text .. " bytes" end
    return text == "not enough memory to serialize XML", text
  end
  if not ok then return false, text end
  local lines = (depth - 1) * (depth - 1) * #indent + 9 * (depth - 1) + 5
  if #text ~= lines then return false, "an indented text of " .. #text .. " bytes, not " .. lines end
  local inner = depth - 1
  local middle = indent:rep(inner) .. "<a />\n" .. indent:rep(inner - 1) .. "</a>"
  return text:find(middle, 1, true) ~= nil, "the innermost levels are not indented by their depth"
)lua";

struct DeepCase {
  long depth;
  std::string indent;
  bool whole;
};

// A million levels (7 MB of text) with a tab, or 30,000 with a 1 KiB indent, would indent to about 10^12
// bytes: refused as more than memory holds, and still written compactly. 12,000 levels with a tab indent to
// 144 MB, past the size below which no check is made, and are written whole.
TEST(XmlSerialize, ADeepDocumentIsIndentedWholeOnlyWhenItsTextFitsInMemory) {
  const DeepCase cases[] = {{1000000, "\t", false}, {30000, std::string(1024, ' '), false}, {12000, "\t", true}};
  for (const DeepCase& deep : cases) {
    EXPECT_EQ(runLimited(kSerializeDeep,
                         [&](lua_State* L) {
                           lua_pushinteger(L, deep.depth);
                           lua_pushlstring(L, deep.indent.data(), deep.indent.size());
                           lua_pushboolean(L, deep.whole);
                           return 3;
                         }),
              0)
        << deep.depth << " levels, " << deep.indent.size() << "-byte indent";
  }
}

// A document of 260 MiB of text, parsed and written back whole, indented and compact: its text is as long
// as the document is. A quote mark in text is written as itself, so a text of quotes is no heavier than one
// of letters.
constexpr const char* kSerializeLarge = R"lua(
  local size, filler = ...
  local document = assert(xml.parse("<a b='&quot;'>" .. filler:rep(size) .. "</a>"))
  collectgarbage()
  for _, options in ipairs({ {}, { compact = true } }) do
    local ok, text = pcall(document.serialize, document, options)
    if not ok then return false, text end
    if #text ~= size + 18 then return false, "a text of " .. #text .. " bytes" end
    local head = '<a b="&quot;">' .. filler:rep(2)
    if text:sub(1, 16) ~= head or text:sub(-6) ~= filler:rep(2) .. "</a>" then
      return false, "the text begins " .. text:sub(1, 16)
    end
  end
  return true
)lua";

TEST(XmlSerialize, ADocumentPastTwoHundredFiftySixMebibytesIsWrittenWhole) {
  for (const char* filler : {"x", "\""}) {
    EXPECT_EQ(runLimited(kSerializeLarge,
                         [&](lua_State* L) {
                           lua_pushinteger(L, lua_Integer{260} << 20);
                           lua_pushstring(L, filler);
                           return 2;
                         }),
              0)
        << "a text of " << filler;
  }
}

// A document in a character set written back whole when its text fits: the most a set can write for a byte of
// UTF-8 (a reference after a shift) is eight bytes, far more than a document read from it makes, so its text is
// counted before it is refused. 80 MiB of windows-1252 (96 MiB once decoded) in a 1 GiB address space, where
// eight bytes for each byte of UTF-8 would not fit.
constexpr const char* kSerializeCharset = R"lua(
  local size = ...
  local declaration = '<?xml version="1.0" encoding="windows-1252"?>'
  local source = declaration .. "<a>" .. ("caf\xe9 "):rep(size // 5) .. "</a>"
  local document = assert(xml.parse(source, { full = true }))
  collectgarbage()
  local ok, text = pcall(document.serialize, document, { compact = true })
  if not ok then return false, text end
  return text == source, "a text of " .. #text .. " bytes"
)lua";

// A million levels in the set, indented, are still refused without being written: their UTF-8 alone would not fit.
constexpr const char* kSerializeDeepCharset = R"lua(
  local depth = ...
  local source = '<?xml version="1.0" encoding="windows-1252"?>' .. ("<a>"):rep(depth) .. ("</a>"):rep(depth)
  local document = assert(xml.parse(source, { full = true }))
  local compact = source:gsub("<a></a>", "<a/>", 1)
  if document:serialize({ compact = true }) ~= compact then return false, "the compact text differs" end
  local ok, text = pcall(document.serialize, document)
  if ok then return false, "an indented text of " .. #text .. " bytes" end
  return text == "not enough memory to serialize XML", text
)lua";

TEST(XmlSerialize, ADocumentInACharacterSetIsWrittenWholeWhenItsTextFits) {
  EXPECT_EQ(runLimited(
                kSerializeCharset,
                [](lua_State* L) {
                  lua_pushinteger(L, lua_Integer{80} << 20);
                  return 1;
                },
                size_t{1} << 30),
            0);
  EXPECT_EQ(runLimited(kSerializeDeepCharset,
                       [](lua_State* L) {
                         lua_pushinteger(L, 1000000);
                         return 1;
                       }),
            0);
}

// The core refuses an indent that pugixml would cut at its zero byte.
TEST(XmlSerialize, AnIndentHoldingAZeroByteIsRefused) {
  std::string error;
  const ParsedXml document = parseXmlDocument("<a><b/></a>", XmlParseMode::Default, error);
  ASSERT_TRUE(document.tree) << error;
  std::string text = "old";
  EXPECT_FALSE(serializeXmlDocument(document, std::string_view("\t\0x", 3), false, text, error));
  EXPECT_EQ(error, "XML indent contains a zero byte");
  EXPECT_EQ(text, "");
  EXPECT_TRUE(serializeXmlDocument(document, "\t", false, text, error)) << error;
  EXPECT_EQ(text, "<a>\n\t<b />\n</a>");
}

// Past the size below which no check is made, the text never holds room for more than the most the document
// can make: grown by doubling, it could hold nearly twice its length, and three times while it moves.
TEST(XmlSerialize, ALargeTextNeverHoldsMoreRoomThanTheDocumentCanMake) {
  const size_t letters = size_t{40} << 20;
  std::string utf16("\xFF\xFE<\0a\0>\0", 8);
  for (size_t i = 0; i < letters; ++i) utf16.append("x\0", 2);
  utf16.append(std::string("<\0/\0a\0>\0", 8));
  const std::string utf8 = "<a>" + std::string(2 * letters, 'x') + "</a>";
  const struct {
    const std::string& source;
    XmlParseMode mode;
    size_t size;
  } cases[] = {{utf8, XmlParseMode::Default, utf8.size()},
               {utf8, XmlParseMode::Full, utf8.size()},
               {utf16, XmlParseMode::Full, utf16.size()}};
  for (const auto& each : cases) {
    std::string error;
    const ParsedXml document = parseXmlDocument(each.source, each.mode, error);
    ASSERT_TRUE(document.tree) << error;
    std::string text;
    ASSERT_TRUE(serializeXmlDocument(document, "\t", true, text, error)) << error;
    EXPECT_EQ(text.size(), each.size);
    EXPECT_LE(text.capacity(), serializedXmlTextBound(document, 1, true, UINT64_MAX))
        << (each.mode == XmlParseMode::Full ? "full mode, " : "default mode, ") << text.size() << " bytes";
  }
}

}  // namespace
