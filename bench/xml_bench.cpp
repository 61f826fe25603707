// xml.parse of a 20 MiB document through the Lua module, next to the parse alone (pugixml's load_buffer with
// the default mode's flags): the difference is what the binding adds (argument checks, the document userdata).
// Then the same document written back: in the default mode by pugixml's writer, in the full mode by our own,
// next to pugixml writing the full-mode tree without escapes (the layout our writer follows). Then a document
// in Shift_JIS, decoded by iconv before it is parsed and encoded back as the full mode writes it, next to iconv
// alone over the same text and the parse of its UTF-8.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <memory>
#include <string>

#include "host/lua_api.h"
#include "services/xml_document.h"
#include "services/xml_lua.h"

namespace {

constexpr size_t kDocumentSize = 20u << 20;

// A settings-like document: nested elements with attributes, text, entities and comments.
const std::string& document() {
  static const std::string text = [] {
    std::string out = "<?xml version=\"1.0\"?>\n<settings>\n";
    for (int group = 0; out.size() < kDocumentSize; ++group) {
      out += "  <group name=\"g" + std::to_string(group) + "\" enabled=\"true\">\n    <!-- group -->\n";
      for (int item = 0; item < 16; ++item) {
        out += "    <item key=\"k" + std::to_string(item) + "\" type=\"string\">value &amp; text " +
               std::to_string(group * 16 + item) + "</item>\n";
      }
      out += "  </group>\n";
    }
    return out + "</settings>\n";
  }();
  return text;
}

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

void BM_XmlParseLua(benchmark::State& state) {
  std::unique_ptr<lua_State, LuaStateCloser> owner(luaL_newstate());
  lua_State* L = owner.get();
  luaL_openlibs(L);
  luaL_requiref(L, "xml", luaopen_xml, 1);
  lua_pop(L, 1);
  lua_pushlstring(L, document().data(), document().size());
  lua_setglobal(L, "text");
  luaL_loadstring(L, "local doc = xml.parse(text); debug.getmetatable(doc).__gc(doc)");
  for (auto _ : state) {
    lua_pushvalue(L, -1);
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) state.SkipWithError(lua_tostring(L, -1));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document().size()));
}

void BM_XmlParseDocument(benchmark::State& state) {
  std::string error;
  for (auto _ : state) {
    if (!parseXmlDocument(document(), XmlParseMode::Default, error).tree) state.SkipWithError(error.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document().size()));
}

struct StringWriter : pugi::xml_writer {
  std::string text;
  void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
};

// The document of `text` parsed in `mode` and written back by our writer, over and over.
void serializeAgain(benchmark::State& state, const std::string& text, XmlParseMode mode) {
  std::string error;
  const ParsedXml document = parseXmlDocument(text, mode, error);
  std::string written;
  for (auto _ : state) {
    if (!serializeXmlDocument(document, "\t", false, written, error)) state.SkipWithError(error.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * written.size()));
}

// The full-mode tree of `text` written back by pugixml without escapes in `encoding`, over and over.
void savePugixmlUnescaped(benchmark::State& state, const std::string& text, unsigned int flags,
                          pugi::xml_encoding encoding) {
  std::string error;
  const ParsedXml document = parseXmlDocument(text, XmlParseMode::Full, error);
  size_t bytes = 0;
  for (auto _ : state) {
    StringWriter writer;
    document.tree->save(writer, "\t",
                        pugi::format_indent | pugi::format_no_declaration | pugi::format_no_escapes | flags, encoding);
    bytes = writer.text.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_XmlSerialize(benchmark::State& state) {
  serializeAgain(state, document(), static_cast<XmlParseMode>(state.range(0)));
}

// The same document in UTF-16, little-endian with its byte-order mark (the document is ASCII).
const std::string& utf16Document() {
  static const std::string text = [] {
    std::string out("\xFF\xFE", 2);
    for (const char c : document()) out.append({c, '\0'});
    return out;
  }();
  return text;
}

// The UTF-16 document written back in full mode: the text is encoded back from UTF-8 as it is written.
void BM_XmlSerializeUtf16(benchmark::State& state) { serializeAgain(state, utf16Document(), XmlParseMode::Full); }

// pugixml writing the UTF-16 document's tree back in UTF-16, converting as it writes.
void BM_XmlSavePugixmlUnescapedUtf16(benchmark::State& state) {
  savePugixmlUnescaped(state, utf16Document(), pugi::format_write_bom, pugi::encoding_utf16_le);
}

void BM_XmlSavePugixmlUnescaped(benchmark::State& state) {
  savePugixmlUnescaped(state, document(), 0, pugi::encoding_utf8);
}

// The settings document with Japanese text in its values, in UTF-8 and in Shift_JIS under a declaration.
struct JapaneseDocument {
  std::string utf8;
  std::string shiftJis;
};

// The text converted by iconv from one set to the other, in one call.
std::string iconvWhole(const std::string& text, const char* to, const char* from) {
  iconv_t handle = iconv_open(to, from);
  std::string out(text.size() * 2 + 16, '\0');
  auto* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* next = out.data();
  size_t outLeft = out.size();
  iconv(handle, &in, &inLeft, &next, &outLeft);
  iconv_close(handle);
  out.resize(out.size() - outLeft);
  return out;
}

const JapaneseDocument& japaneseDocument() {
  static const JapaneseDocument documents = [] {
    JapaneseDocument out;
    out.utf8 = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<settings>\n";
    for (int group = 0; out.utf8.size() < kDocumentSize; ++group) {
      out.utf8 += "  <group name=\"\u8a2d\u5b9a" + std::to_string(group) + "\">\n";
      for (int item = 0; item < 16; ++item) {
        out.utf8 += "    <item key=\"k" + std::to_string(item) + "\">\u65e5\u672c\u8a9e\u306e\u6587\u7ae0 " +
                    std::to_string(group * 16 + item) + "</item>\n";
      }
      out.utf8 += "  </group>\n";
    }
    out.utf8 += "</settings>\n";
    out.shiftJis = iconvWhole(out.utf8, "SHIFT_JIS", "UTF-8");
    return out;
  }();
  return documents;
}

void BM_XmlParseShiftJis(benchmark::State& state) {
  const std::string& text = japaneseDocument().shiftJis;
  std::string error;
  for (auto _ : state) {
    if (!parseXmlDocument(text, XmlParseMode::Default, error).tree) state.SkipWithError(error.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_XmlIconvShiftJisAlone(benchmark::State& state) {
  const std::string& text = japaneseDocument().shiftJis;
  for (auto _ : state) benchmark::DoNotOptimize(iconvWhole(text, "UTF-8", "SHIFT_JIS"));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The UTF-8 text parsed by pugixml alone with the default mode's flags (its declaration still names
// Shift_JIS, so the encoding is given).
void BM_XmlParseUtf8OfShiftJis(benchmark::State& state) {
  const std::string& text = japaneseDocument().utf8;
  for (auto _ : state) {
    pugi::xml_document document;
    document.load_buffer(text.data(), text.size(),
                         pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol | pugi::parse_wconv_attribute |
                             pugi::parse_ws_pcdata_single,
                         pugi::encoding_utf8);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * japaneseDocument().shiftJis.size()));
}

// The Shift_JIS document written back by the full mode, encoding each piece as it is written.
void BM_XmlSerializeShiftJis(benchmark::State& state) {
  serializeAgain(state, japaneseDocument().shiftJis, XmlParseMode::Full);
}

void BM_XmlIconvToShiftJisAlone(benchmark::State& state) {
  const std::string& text = japaneseDocument().utf8;
  size_t bytes = 0;
  for (auto _ : state) bytes = iconvWhole(text, "SHIFT_JIS", "UTF-8").size();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

}  // namespace

BENCHMARK(BM_XmlParseShiftJis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlIconvShiftJisAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlParseUtf8OfShiftJis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlSerializeShiftJis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlIconvToShiftJisAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlSerialize)
    ->Arg(static_cast<int>(XmlParseMode::Default))
    ->Arg(static_cast<int>(XmlParseMode::Full))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlSerializeUtf16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlSavePugixmlUnescaped)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlSavePugixmlUnescapedUtf16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlParseLua)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlParseDocument)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
