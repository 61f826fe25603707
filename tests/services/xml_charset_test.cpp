// Character sets through iconv: a document decodes whole within its room, a parser's offset in the decoded
// text leads back to the byte of the source, and UTF-8 text arriving in pieces is encoded back, with character
// references for what the set cannot hold.
#include "services/xml_charset.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "services/xml_document.h"
#include "services/xml_text_encoding.h"

namespace {

uint64_t gRoom = 0;
uint64_t testRoom() { return gRoom; }

std::string decoded(const XmlDecodedText& text) { return text.text ? std::string(text.text.get(), text.size) : ""; }

// The decoded text may grow to exactly its room, and no further; below the unchecked size the room is not asked.
TEST(XmlCharset, DecodedTextGrowsNoFurtherThanItsRoom) {
  const std::string euros(1000, '\x80');  // each three bytes of UTF-8
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected += "\u20ac";
  const struct {
    uint64_t unchecked;
    uint64_t room;
    bool whole;
  } cases[] = {{0, 3000, true}, {0, 2999, false}, {0, 100, false}, {4096, 0, true}, {1024, 1024, false}};
  for (const auto& each : cases) {
    gRoom = each.room;
    const XmlDecodedText text = decodeXmlCharset(euros, "windows-1252", {each.unchecked, testRoom});
    EXPECT_EQ(decoded(text), each.whole ? expected : "") << each.unchecked << " unchecked, room " << each.room;
    EXPECT_EQ(text.failure.kind, each.whole ? XmlDecodingFailure::None : XmlDecodingFailure::OutOfRoom);
  }
}

TEST(XmlCharset, DecodingFailsAtTheByteThatIsNoCharacter) {
  const struct {
    const char* charset;
    std::string text;
    XmlDecodingFailure::Kind kind;
    size_t offset;
  } cases[] = {
      {"Shift_JIS", "ab\x82\xa0\xff", XmlDecodingFailure::InvalidSequence, 4},
      {"Shift_JIS", "ab\x82\xa0\x82", XmlDecodingFailure::CutSequence, 4},
      {"ISO-2022-JP", "a\x1b$B$\"\x1b(", XmlDecodingFailure::CutSequence, 6},
      {"EUC-JP", std::string("a\0\xa4", 3), XmlDecodingFailure::CutSequence, 2},
      {"no-such-set", "a", XmlDecodingFailure::UnknownCharset, 0},
      {"UTF-8//IGNORE", "a", XmlDecodingFailure::UnknownCharset, 0},
  };
  for (const auto& each : cases) {
    const XmlDecodedText text = decodeXmlCharset(each.text, each.charset, {});
    EXPECT_FALSE(text.text) << each.charset;
    EXPECT_EQ(text.failure.kind, each.kind) << each.charset;
    EXPECT_EQ(text.failure.offset, each.offset) << each.charset;
  }
}

// A character's start in the decoded text leads back to the end of the character before it in the source (so
// to the shift that leads a stateful set's character), across the blocks the search walks in.
TEST(XmlCharset, EachOffsetOfTheDecodedTextLeadsBackToItsSourceByte) {
  struct Piece {
    std::string source;  // one character in the set, with the shifts between it and the last
    std::string utf8;    // what it decodes to
  };
  const struct {
    const char* charset;
    std::vector<Piece> pieces;
  } cases[] = {
      {"EUC-JP", {{"\xa4\xa2", "\u3042"}, {"a", "a"}, {"\xc6\xfc", "\u65e5"}, {"\x8e\xb1", "\uff71"}}},
      {"ISO-2022-JP", {{"\x1b$B$\"", "\u3042"}, {"F|", "\u65e5"}, {"\x1b(Ba", "a"}, {"b", "b"}}},
      {"UTF-7", {{"a", "a"}, {"+AOk", "\u00e9"}, {"-b", "b"}}},
  };
  for (const auto& each : cases) {
    std::string source, utf8;
    std::vector<std::pair<size_t, size_t>> starts;  // decoded offset, source offset
    while (source.size() < 9000) {
      for (const Piece& piece : each.pieces) {
        starts.emplace_back(utf8.size(), source.size());
        source += piece.source;
        utf8 += piece.utf8;
      }
    }
    const XmlDecodedText whole = decodeXmlCharset(source, each.charset, {});
    ASSERT_EQ(decoded(whole), utf8) << each.charset;
    for (size_t i = 0; i < starts.size(); ++i) {
      if (i % 13 != 0 && i + 20 < starts.size()) continue;
      const auto [utf8Offset, sourceOffset] = starts[i];
      EXPECT_EQ(xmlCharsetSourceOffset(source, each.charset, utf8Offset), sourceOffset)
          << each.charset << " at " << utf8Offset << " of " << utf8.size();
    }
  }
}

// The same characters in every set, whatever the pieces they arrive in; what a set cannot hold is a reference.
TEST(XmlCharset, EncodesTextCutAnywhere) {
  const std::string utf8 = "a\u00e9\u4e2d\U0001F600z";
  const struct {
    const char* charset;
    std::string expected;
  } cases[] = {
      {"ISO-8859-15", "a\xe9&#20013;&#128512;z"},
      {"Shift_JIS", "a&#233;\x92\x86&#128512;z"},
      {"ISO-2022-JP", "a&#233;\x1b$BCf\x1b(B&#128512;z"},
      {"UTF-7", "a+AOlOLdg93gA-z"},
  };
  for (const auto& each : cases) {
    for (size_t cut = 0; cut <= utf8.size(); ++cut) {
      for (size_t second = cut; second <= utf8.size(); ++second) {
        std::string out;
        XmlEncodedText encoded({pugi::encoding_utf8, false, each.charset}, out);
        encoded.append(utf8.substr(0, cut));
        encoded.append(utf8.substr(cut, second - cut));
        encoded.append(utf8.substr(second));
        encoded.finish();
        EXPECT_EQ(out, each.expected) << each.charset << " cut at " << cut << " and " << second;
      }
    }
  }
}

// ASCII that a set's encoder would shift for but its decoder reads as itself (the markup of UTF-7) is written
// as itself; a stateful set ends in its initial state, and writes its header once; malformed UTF-8 is "?".
TEST(XmlCharset, KeepsMarkupReadableAndEndsInTheInitialState) {
  const struct {
    const char* charset;
    std::string utf8;
    std::string expected;
  } cases[] = {
      {"UTF-7", "<a v=\"\u00e9\">\u00e9!+</a>", "<a v=\"+AOk-\">+AOk-!+-</a>"},
      {"ISO-2022-JP", "<a>\u3042</a>", "<a>\x1b$B$\"\x1b(B</a>"},
      {"ISO-2022-JP", "\u3042", "\x1b$B$\"\x1b(B"},
      // A header once at the start, whatever the resets.
      {"ISO-2022-KR", "<a v=\"\uac00\">\uac00</a>", "\x1b$)C<a v=\"\x0e\x30\x21\x0f\">\x0e\x30\x21\x0f</a>"},
      {"EUC-JP", "a\x80z\xe4\xb8", "a?z?"},
  };
  for (const auto& each : cases) {
    std::string out;
    XmlEncodedText encoded({pugi::encoding_utf8, false, each.charset}, out);
    encoded.append(each.utf8);
    encoded.finish();
    EXPECT_EQ(out, each.expected) << each.charset;
  }
}

// In one run, the encoder says whether what it wrote reads back as the text; character by character, a piece of
// text that does not read back alone is written one character at a time from the set's initial state and back to
// it, and a character whose bytes read as another is a reference.
TEST(XmlCharset, WhatIsWrittenReadsBackAsTheText) {
  const struct {
    const char* charset;
    std::string utf8;
    bool readsBackInOneRun;
    std::string eachCharacter;
  } cases[] = {
      {"ISO-2022-CN", "\u4e00\u4e00", true, "\x1b$)A\x0eR;R;\x0f"},
      // GB 2312, then CNS 11643 plane 1 without a new shift: read as GB 2312.
      {"ISO-2022-CN", "\u4e00\u2025", false, "\x1b$)A\x0eR;\x0f\x1b$)G\x0e!-\x0f"},
      {"CP1046", "\ufeb1 \u0633", false, "&#65201; \xd3"},
      {"Shift_JIS", "\u3042a", true, "\x82\xa0" "a"},
  };
  for (const auto& each : cases) {
    for (const XmlCharsetWriting writing : {XmlCharsetWriting::InOneRun, XmlCharsetWriting::CharacterByCharacter}) {
      std::string out;
      XmlCharsetEncoder encoder(each.charset, writing);
      encoder.append(each.utf8, out);
      encoder.finish(out);
      if (writing == XmlCharsetWriting::InOneRun) {
        EXPECT_EQ(encoder.readsBack(), each.readsBackInOneRun) << each.charset << " " << each.utf8;
      } else {
        EXPECT_TRUE(encoder.readsBack());
        EXPECT_EQ(out, each.eachCharacter) << each.charset;
      }
    }
  }
}

// UTF-8 text in the character set, by iconv in one call.
std::string inCharset(const std::string& utf8, const char* charset) {
  iconv_t handle = iconv_open(charset, "UTF-8");
  std::string out(utf8.size() * 4 + 16, '\0');
  auto* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* next = out.data();
  size_t left = out.size();
  const bool whole = iconv(handle, &in, &inLeft, &next, &left) != static_cast<size_t>(-1);
  iconv_close(handle);
  EXPECT_TRUE(whole) << charset;
  out.resize(out.size() - left);
  return out;
}

// A document in EBCDIC opens with "<?xml" in EBCDIC; its declaration is read in the characters every EBCDIC set
// shares, and names the set the text is decoded from and written back in.
TEST(XmlCharset, AnEbcdicDocumentIsReadInTheSetItNamesAndWrittenBackInIt) {
  for (const char* charset : {"IBM037", "IBM1047", "IBM500", "IBM1141", "IBM1026", "IBM905"}) {
    const std::string utf8 = std::string("<?xml version=\"1.0\" encoding=\"") + charset +
                             "\"?><a v=\"caf\u00e9 [1]\">caf\u00e9 &amp; {x}<b/></a>";
    const std::string source = inCharset(utf8, charset);
    for (const XmlParseMode mode : {XmlParseMode::Default, XmlParseMode::Full}) {
      std::string error;
      const ParsedXml document = parseXmlDocument(source, mode, error);
      ASSERT_TRUE(document.tree) << charset << ": " << error;
      const pugi::xml_node root = document.tree->document_element();
      EXPECT_STREQ(root.attribute("v").value(), "caf\u00e9 [1]") << charset;
      EXPECT_STREQ(root.first_child().value(), mode == XmlParseMode::Full ? "caf\u00e9 &amp; {x}" : "caf\u00e9 & {x}");
      std::string text;
      ASSERT_TRUE(serializeXmlDocument(document, "", true, text, error)) << error;
      EXPECT_EQ(text, mode == XmlParseMode::Full ? source : "<a v=\"caf\u00e9 [1]\">caf\u00e9 &amp; {x}<b/></a>")
          << charset;
    }
  }
  // An EBCDIC declaration that names a set the C library does not know, or one it is not written in.
  for (const auto& [name, message] :
       {std::pair<const char*, const char*>{"x-ebcdic", "the encoding \"x-ebcdic\" is not supported"},
        {"UTF-8", "the declaration is not written in the encoding \"UTF-8\" it names"}}) {
    std::string error;
    const std::string source =
        inCharset(std::string("<?xml version=\"1.0\" encoding=\"") + name + "\"?><a/>", "IBM037");
    EXPECT_FALSE(parseXmlDocument(source, XmlParseMode::Default, error).tree);
    EXPECT_EQ(error, std::string("XML parse failed: ") + message);
  }
}

TEST(XmlCharset, NamesAreTakenOnlyInTheShapeADeclarationGivesThem) {
  for (const char* name : {"Shift_JIS", "EUC-JP", "windows-1252", "ISO-8859-15", "cp1252", "UTF-7", "KOI8-R"}) {
    EXPECT_TRUE(xmlEncodingNameIsWellFormed(name)) << name;
    EXPECT_TRUE(xmlCharsetIsKnown(name)) << name;
  }
  for (const char* name : {"", "UTF-8//IGNORE", "SHIFT_JIS//TRANSLIT", "a/b", "_UTF-8", "-x", "1252", "UTF 8"}) {
    EXPECT_FALSE(xmlEncodingNameIsWellFormed(name)) << name;
    EXPECT_FALSE(xmlCharsetIsKnown(name)) << name;
  }
  EXPECT_FALSE(xmlCharsetIsKnown("x-no-such-set"));
}

}  // namespace
