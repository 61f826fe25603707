// XML documents over pugixml: parsing in the two modes the scripts use and writing a document back as UTF-8
// text. The default mode decodes entities and drops comments, processing instructions, the declaration and
// the doctype; the full mode keeps all of them and leaves entity references as written, and a document read
// that way is written without escaping, so its text survives a round trip.
#pragma once

#include <cstddef>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <string_view>

enum class XmlParseMode { Default, Full };

// The parsed document, or null with "XML parse failed[ at byte N][: description]" or
// "not enough memory to parse XML" in `error`.
std::unique_ptr<pugi::xml_document> parseXmlDocument(std::string_view text, XmlParseMode mode, std::string& error);

// The whole document without a declaration, indented with `indent` per level, or on one line when compact;
// an indented text loses its one final line feed. False with `error` set to "XML indent contains a zero byte"
// (pugixml would cut the indent there), or to "not enough memory to serialize XML" when the most text the
// document can make (its own text, escaped, and the indentation of each line by its depth) would not fit,
// with its copy, in the memory the process may use: indentation grows with the square of a document's depth
// (a 7 MB document a million levels deep would indent to about 10^12 bytes), so such a text is refused before
// it takes all memory, while any document that fits is written whole.
bool serializeXmlDocument(const pugi::xml_document& document, XmlParseMode mode, std::string_view indent, bool compact,
                          std::string& text, std::string& error);

// "document", "element", "text", "cdata", "comment", "pi", "declaration", "doctype" or "none".
const char* xmlNodeTypeName(pugi::xml_node_type type);
