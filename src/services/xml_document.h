// XML documents over pugixml: parsing in the two modes the scripts use and writing a document back as UTF-8
// text. The default mode decodes entities and drops comments, processing instructions, the declaration and
// the doctype; the full mode keeps all of them and leaves entity references as written, and a document read
// that way is written without escaping, so its text survives a round trip.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>

enum class XmlParseMode { Default, Full };

// The parsed document, or null with "XML parse failed[ at byte N][: description]" or
// "not enough memory to parse XML" in `error`.
std::unique_ptr<pugi::xml_document> parseXmlDocument(std::string_view text, XmlParseMode mode, std::string& error);

// The most a serialized text may hold: 256 MiB, far beyond any settings, syntax or project file. Indentation
// makes a deep document's text grow with the square of its depth (a 7 MB document a million levels deep would
// indent to about 10^12 bytes), so the text is refused there instead of taking all memory.
inline constexpr size_t kMaxSerializedXmlBytes = size_t{256} << 20;

// The whole document without a declaration, indented with `indent` per level, or on one line when compact;
// an indented text loses its one final line feed. Null when the text would pass kMaxSerializedXmlBytes.
std::optional<std::string> serializeXmlDocument(const pugi::xml_document& document, XmlParseMode mode,
                                                const std::string& indent, bool compact);

// "document", "element", "text", "cdata", "comment", "pi", "declaration", "doctype" or "none".
const char* xmlNodeTypeName(pugi::xml_node_type type);
