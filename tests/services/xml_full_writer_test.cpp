// The full mode's own writer against pugixml's: laid out alike wherever pugixml's text reads back, each value
// weighed as pugixml escapes it, and text encoded back into the encoding it was read in even when it arrives cut
// inside a character.
#include "services/xml_full_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/xml_document.h"
#include "services/xml_text_encoding.h"

namespace {

struct StringWriter : pugi::xml_writer {
  std::string text;
  void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
};

ParsedXml parsed(const std::string& text, XmlParseMode mode) {
  std::string error;
  ParsedXml document = parseXmlDocument(text, mode, error);
  EXPECT_TRUE(document.tree) << text << ": " << error;
  return document;
}

// Documents whose attribute values hold no '"', so that pugixml's own unescaped text reads back.
const std::vector<std::string> kDocuments = {
    "<a/>",
    "<a><b/><c>t</c></a>",
    "<a>x<b/>y<c>z</c><d/><!--k--></a>",
    "<?xml version='1.0' encoding='UTF-8'?><!DOCTYPE a [<!ENTITY e 'x'>]><!--c--><?p  q ?><a k='&e;'>&e;</a>",
    "<?p?><?q ?><!DOCTYPE  a  ><a><![CDATA[]]><!----><b><c><d>deep</d></c></b></a><!--after-->",
    "<a><![CDATA[p]]]]><![CDATA[>q]]><!--x- -y- --><?t u? >v?></a>",
    "<r>\n  <s a=\"1\" b='2'>  lead</s>\n  <t/>\n</r>",
    "<a>1<b>2<c>3</c>4</b>5</a>",
    "<a><!--only--></a>",
    "<a>t<!--c-->u<?p q?>v<![CDATA[w]]>x</a>",
    "<?xml version=\"1.0\" standalone='yes'?>\n<!DOCTYPE a SYSTEM \"a.dtd\">\n<a/>\n<!--end-->\n<?pi end?>",
    "<a><b><![CDATA[x]]></b><c><![CDATA[y]]>z<d/></c></a>",
    "<a> </a>",
    "<a><b>\t</b><c> <d/> </c></a>",
    "<a b=\"\" c='&amp;' d=\"'\" e='&lt;&gt;'/>",
    "<a><?p?><?q  r  ?><b/><b/>t<b/></a>",
    "<a><b><c/></b><d>x<e/></d><f><g><h/></g>y</f></a>",
    "<\xc3\xa9l \xc3\xa0='\xe4\xb8\xad'>\xf0\x9f\x98\x80</\xc3\xa9l>",
    "<!DOCTYPE a [\n<!ELEMENT a (#PCDATA)>\n<!ATTLIST a x CDATA '1'>\n]><a x='2'>&#233;&amp;</a>",
};

// Whether an element holds text (white space included) beside other nodes.
bool holdsMixedContent(pugi::xml_node node) {
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (holdsMixedContent(child)) return true;
  }
  bool text = false, other = false;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata ? text : other) = true;
  }
  return text && other;
}

// Compact, and indented where no element holds mixed content (where pugixml would add line breaks to the text).
TEST(XmlFullWriter, LaysOutADocumentAsPugixmlDoes) {
  for (const std::string& source : kDocuments) {
    const ParsedXml document = parsed(source, XmlParseMode::Full);
    for (const bool compact : {false, true}) {
      if (!compact && holdsMixedContent(*document.tree)) continue;
      for (const char* indent : {"\t", "  ", ""}) {
        StringWriter expected;
        const unsigned flags =
            pugi::format_no_declaration | pugi::format_no_escapes | (compact ? pugi::format_raw : pugi::format_indent);
        document.tree->save(expected, indent, flags, pugi::encoding_utf8);
        if (!compact && !expected.text.empty() && expected.text.back() == '\n') expected.text.pop_back();
        StringWriter written;
        writeFullXmlDocument(*document.tree, indent, compact, written);
        EXPECT_EQ(written.text, expected.text) << source << (compact ? " compact" : " indented by ") << indent;
      }
    }
  }
}

// An element that holds text is written as it stands when indenting, its descendants too, while the elements
// around it are laid out as pugixml lays them out.
TEST(XmlFullWriter, WritesMixedContentAsItStands) {
  const struct {
    const char* source;
    const char* indented;
  } cases[] = {
      {"<a>x<b/>y<c>z</c><d/><!--k--></a>", "<a>x<b />y<c>z</c><d /><!--k--></a>"},
      {"<r>\n  <s a=\"1\" b='2'>  lead</s>\n  <t/>\n</r>", "<r>\n  <s a=\"1\" b=\"2\">  lead</s>\n  <t />\n</r>"},
      {"<a><b><c/></b><d>x<e><f/></e></d></a>", "<a>\n\t<b>\n\t\t<c />\n\t</b>\n\t<d>x<e><f /></e></d>\n</a>"},
      {"<a><b><![CDATA[x]]></b><c><![CDATA[y]]>z<d/></c></a>",
       "<a>\n\t<b><![CDATA[x]]></b>\n\t<c><![CDATA[y]]>z<d /></c>\n</a>"},
      {"<?p?><a><b> </b><c> <d/> </c></a><!--e-->", "<?p?>\n<a>\n\t<b> </b>\n\t<c> <d /> </c>\n</a>\n<!--e-->"},
  };
  for (const auto& each : cases) {
    const ParsedXml document = parsed(each.source, XmlParseMode::Full);
    StringWriter written;
    writeFullXmlDocument(*document.tree, "\t", false, written);
    EXPECT_EQ(written.text, each.indented) << each.source;
  }
}

TEST(XmlFullWriter, QuotesEachAttributeWithTheMarkItsValueDoesNotHold) {
  const ParsedXml document = parsed(R"(<a v='say "hi"' w="it's" x="plain"/>)", XmlParseMode::Full);
  StringWriter written;
  writeFullXmlDocument(*document.tree, "", true, written);
  EXPECT_EQ(written.text, R"(<a v='say "hi"' w="it's" x="plain"/>)");
}

// One byte in text or in an attribute weighs what pugixml writes for it, in either mode; the bound is the
// text's own length plus what does not depend on the byte.
TEST(XmlSerialize, EachByteIsWeighedAsTheWriterWritesIt) {
  for (const XmlParseMode mode : {XmlParseMode::Default, XmlParseMode::Full}) {
    for (int byte = 1; byte < 256; ++byte) {
      if (byte == '<' || byte == '&' || byte == '"' || byte == '\'') continue;  // not read raw from a text
      const std::string c(1, static_cast<char>(byte));
      for (const std::string& shape : {std::string("<a>#</a>"), std::string("<a b=\"#\"/>")}) {
        std::string withByte = shape, withLetter = shape;
        withByte.replace(shape.find('#'), 1, c + "x");
        withLetter.replace(shape.find('#'), 1, "xx");
        const ParsedXml a = parsed(withByte, mode), b = parsed(withLetter, mode);
        std::string textA, textB, error;
        ASSERT_TRUE(serializeXmlDocument(a, "", true, textA, error));
        ASSERT_TRUE(serializeXmlDocument(b, "", true, textB, error));
        const int64_t written = static_cast<int64_t>(textA.size()) - static_cast<int64_t>(textB.size());
        const int64_t weighed = static_cast<int64_t>(serializedXmlTextBound(a, 0, true, UINT64_MAX)) -
                                static_cast<int64_t>(serializedXmlTextBound(b, 0, true, UINT64_MAX));
        EXPECT_EQ(weighed, written) << "byte " << byte << " in " << shape;
      }
    }
  }
  // Quote marks and markup characters held in the tree, as entities decode to them in the default mode, against
  // the same document with letters in their place.
  const struct {
    const char* source;
    const char* letters;
    int64_t extra;
  } decoded[] = {{"<a>&quot;&apos;</a>", "<a>xx</a>", 0},
                 {"<a>&amp;&lt;&gt;</a>", "<a>xxx</a>", 4 + 3 + 3},
                 {"<a b='&quot;'/>", "<a b='x'/>", 5},
                 {"<a b='&apos;&lt;&gt;'/>", "<a b='xxx'/>", 3}};
  for (const auto& each : decoded) {
    const ParsedXml document = parsed(each.source, XmlParseMode::Default);
    const ParsedXml letters = parsed(each.letters, XmlParseMode::Default);
    std::string text, lettersText, error;
    ASSERT_TRUE(serializeXmlDocument(document, "", true, text, error));
    ASSERT_TRUE(serializeXmlDocument(letters, "", true, lettersText, error));
    EXPECT_EQ(static_cast<int64_t>(text.size()) - static_cast<int64_t>(lettersText.size()), each.extra) << text;
    EXPECT_EQ(static_cast<int64_t>(serializedXmlTextBound(document, 0, true, UINT64_MAX)) -
                  static_cast<int64_t>(serializedXmlTextBound(letters, 0, true, UINT64_MAX)),
              each.extra)
        << each.source;
  }
}

// A CDATA section, comment or processing instruction weighs what the writer makes of its value: each "]]>"
// splits a section (which a value read from a document never holds), a '-' before another or at the end of a
// comment gets a space, each "?>" of an instruction gets one; every other character is written as itself.
TEST(XmlSerialize, MarkupValuesAreWeighedAsTheWriterWritesThem) {
  const struct {
    XmlParseMode mode;
    const char* source;
    const char* letters;
  } cases[] = {
      {XmlParseMode::Full, "<a><![CDATA[]]]]]]]]></a>", "<a><![CDATA[xxxxxx]]></a>"},
      {XmlParseMode::Default, "<a><![CDATA[]]]]]]]]></a>", "<a><![CDATA[xxxxxx]]></a>"},
      {XmlParseMode::Full, "<a><![CDATA[x]]]]></a>", "<a><![CDATA[xxx]]></a>"},
      {XmlParseMode::Full, "<a><!--x-y-z--></a>", "<a><!--xxyxz--></a>"},
      {XmlParseMode::Full, "<a><!--a--b---></a>", "<a><!--axxbx--></a>"},
      {XmlParseMode::Full, "<a><?p a?b??c?></a>", "<a><?p axbxxc?></a>"},
  };
  for (const auto& each : cases) {
    const ParsedXml document = parsed(each.source, each.mode);
    const ParsedXml letters = parsed(each.letters, each.mode);
    for (const bool compact : {false, true}) {
      std::string text, lettersText, error;
      ASSERT_TRUE(serializeXmlDocument(document, "\t", compact, text, error));
      ASSERT_TRUE(serializeXmlDocument(letters, "\t", compact, lettersText, error));
      EXPECT_EQ(static_cast<int64_t>(serializedXmlTextBound(document, 1, compact, UINT64_MAX)) -
                    static_cast<int64_t>(serializedXmlTextBound(letters, 1, compact, UINT64_MAX)),
                static_cast<int64_t>(text.size()) - static_cast<int64_t>(lettersText.size()))
          << each.source << " written as " << text;
    }
  }
}

// Indentation weighs what the writer indents: a node that follows text or CDATA starts no line of its own, and
// an element whose last child is text or CDATA closes on that line. A deep document whose every level holds
// text first opens every level on one line, and indents only its closing tags.
TEST(XmlSerialize, IndentationIsWeighedAsTheWriterIndents) {
  std::string deep;
  for (int level = 0; level < 200; ++level) deep += "<a>x";
  for (int level = 0; level < 200; ++level) deep += "</a>";
  for (const std::string& source : kDocuments) {
    for (const XmlParseMode mode : {XmlParseMode::Default, XmlParseMode::Full}) {
      for (const std::string& each : {source, deep}) {
        const ParsedXml document = parsed(each, mode);
        std::string flat, indented, error;
        ASSERT_TRUE(serializeXmlDocument(document, "", false, flat, error));
        ASSERT_TRUE(serializeXmlDocument(document, "12345678", false, indented, error));
        EXPECT_EQ(static_cast<int64_t>(serializedXmlTextBound(document, 8, false, UINT64_MAX)) -
                      static_cast<int64_t>(serializedXmlTextBound(document, 0, false, UINT64_MAX)),
                  static_cast<int64_t>(indented.size()) - static_cast<int64_t>(flat.size()))
            << each.substr(0, 80) << (mode == XmlParseMode::Full ? " in full mode" : "");
      }
    }
  }
}

// The same characters in every encoding, whatever the pieces they arrive in.
TEST(XmlEncodedText, EncodesTextCutAnywhere) {
  const std::string utf8 = "a\u00e9\u4e2d\U0001F600z";
  const struct {
    XmlTextEncoding encoding;
    std::string expected;
  } cases[] = {
      {{pugi::encoding_utf8, true, {}}, "\xEF\xBB\xBF" + utf8},
      {{pugi::encoding_latin1, false, {}}, "a\xe9??z"},
      {{pugi::encoding_utf16_le, true, {}},
       std::string("\xFF\xFE"
                   "a\0\xE9\0\x2D\x4E\x3D\xD8\x00\xDE"
                   "z\0",
                   14)},
      {{pugi::encoding_utf16_be, false, {}}, std::string("\0a\0\xE9\x4E\x2D\xD8\x3D\xDE\x00\0z", 12)},
      {{pugi::encoding_utf32_be, false, {}}, std::string("\0\0\0a\0\0\0\xE9\0\0\x4E\x2D\0\x01\xF6\x00\0\0\0z", 20)},
  };
  for (const auto& each : cases) {
    for (size_t cut = 0; cut <= utf8.size(); ++cut) {
      for (size_t second = cut; second <= utf8.size(); ++second) {
        std::string out;
        XmlEncodedText encoded(each.encoding, out);
        encoded.append(utf8.substr(0, cut));
        encoded.append(utf8.substr(cut, second - cut));
        encoded.append(utf8.substr(second));
        encoded.finish();
        EXPECT_EQ(out, each.expected) << each.encoding.encoding << " cut at " << cut << " and " << second;
      }
    }
  }
  // Malformed UTF-8 (a stray continuation byte, a cut character at the very end) becomes U+FFFD.
  std::string out;
  XmlEncodedText encoded({pugi::encoding_utf16_le, false, {}}, out);
  encoded.append("\x80x\xE4\xB8");
  encoded.finish();
  EXPECT_EQ(out, std::string("\xFD\xFFx\0\xFD\xFF", 6));
}

}  // namespace
