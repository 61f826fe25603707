// XML documents over pugixml: parsing in the two modes the scripts use and writing a document back. The
// default mode decodes entities and drops comments, processing instructions, the declaration and the doctype,
// and writes UTF-8; the full mode keeps all of them, and white space between elements, and leaves entity
// references as written, and a document read that way is written without escaping and in the encoding it was
// read in, so that writing it again gives the same text and reading that text gives the same tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "services/xml_text_encoding.h"

enum class XmlParseMode { Default, Full };

struct ParsedXml {
  std::unique_ptr<pugi::xml_document> tree;  // null when the text could not be read
  XmlParseMode mode = XmlParseMode::Default;
  XmlTextEncoding source;  // how the text was encoded
};

// The parsed document, or one without a tree and with "XML parse failed[ at byte N][: description]" in
// `error`: pugixml's description, or for a text in a character set iconv decodes (the byte then counted in the
// source) "the encoding "NAME" is not supported" (a name no one decodes), "the declaration is not written in
// the encoding "NAME" it names", "not a character of the encoding "NAME"" or "the text ends inside a character
// of the encoding "NAME""; or "not enough memory to parse XML".
ParsedXml parseXmlDocument(std::string_view text, XmlParseMode mode, std::string& error);

// The whole document without a declaration of its own, indented with `indent` per level, or on one line when
// compact; an indented text loses its one final line feed. False with `error` set to "XML indent contains a
// zero byte" (pugixml would cut the indent there), or to "not enough memory to serialize XML" when the most
// text the document can make (each character weighed as it is written, and the indentation of each line by
// its depth) would not fit, with its copy, in the memory the process may use: indentation grows with the
// square of a document's depth (a 7 MB document a million levels deep would indent to about 10^12 bytes), so
// such a text is refused before it takes all memory, while any document that fits is written whole (one in a
// character set, whose weight for a byte is the most any text makes, is counted in it before it is refused).
// A text in a character set that does not read back as the document is written again character by character.
bool serializeXmlDocument(const ParsedXml& document, std::string_view indent, bool compact, std::string& text,
                          std::string& error);

// The most bytes serializeXmlDocument can write for the document; counting stops once it passes `ceiling`.
uint64_t serializedXmlTextBound(const ParsedXml& document, uint64_t indentLength, bool compact, uint64_t ceiling);

// "document", "element", "text", "cdata", "comment", "pi", "declaration", "doctype" or "none".
const char* xmlNodeTypeName(pugi::xml_node_type type);
