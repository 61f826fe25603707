// Parsing and writing XML documents with pugixml's own parser and writer; the flags of each mode are fixed
// here so the binding, the tests and the benchmark all read and write alike.
#include "services/xml_document.h"

#include <iterator>
#include <new>

namespace {

constexpr unsigned kDefaultParseFlags = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol |
                                        pugi::parse_wconv_attribute | pugi::parse_ws_pcdata_single;
constexpr unsigned kFullParseFlags = pugi::parse_pi | pugi::parse_comments | pugi::parse_cdata | pugi::parse_eol |
                                     pugi::parse_wconv_attribute | pugi::parse_declaration | pugi::parse_doctype |
                                     pugi::parse_ws_pcdata_single;
static_assert(kDefaultParseFlags == 0x474 && kFullParseFlags == 0x767);

// Thrown out of the writer to end a save whose text would pass the limit; the save itself holds nothing that
// needs releasing.
struct SerializedTextTooLong {};

class XmlStringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override {
    if (size > kMaxSerializedXmlBytes - text.size()) throw SerializedTextTooLong{};
    text.append(static_cast<const char*>(data), size);
  }
  std::string text;
};

}  // namespace

std::unique_ptr<pugi::xml_document> parseXmlDocument(std::string_view text, XmlParseMode mode, std::string& error) {
  error.clear();
  std::unique_ptr<pugi::xml_document> document(new (std::nothrow) pugi::xml_document);
  if (!document) {
    error = "not enough memory to parse XML";
    return nullptr;
  }
  const unsigned flags = mode == XmlParseMode::Full ? kFullParseFlags : kDefaultParseFlags;
  const pugi::xml_parse_result result = document->load_buffer(text.data(), text.size(), flags, pugi::encoding_auto);
  if (result) return document;
  error = "XML parse failed";
  if (result.offset >= 1) error += " at byte " + std::to_string(result.offset);
  const char* description = result.description();
  if (description != nullptr && *description != '\0') error += std::string(": ") + description;
  return nullptr;
}

std::optional<std::string> serializeXmlDocument(const pugi::xml_document& document, XmlParseMode mode,
                                                const std::string& indent, bool compact) {
  unsigned flags = pugi::format_no_declaration | (compact ? pugi::format_raw : pugi::format_indent);
  if (mode == XmlParseMode::Full) flags |= pugi::format_no_escapes;
  XmlStringWriter writer;
  try {
    document.save(writer, indent.c_str(), flags, pugi::encoding_utf8);
  } catch (const SerializedTextTooLong&) {
    return std::nullopt;
  }
  if (!compact && !writer.text.empty() && writer.text.back() == '\n') writer.text.pop_back();
  return std::move(writer.text);
}

const char* xmlNodeTypeName(pugi::xml_node_type type) {
  // Indexed by pugixml's node types, node_null first.
  static constexpr const char* kNames[] = {"none",    "document", "element",     "text",   "cdata",
                                           "comment", "pi",       "declaration", "doctype"};
  static_assert(pugi::node_null == 0 && pugi::node_doctype == 8);
  const auto index = static_cast<size_t>(type);
  return index < std::size(kNames) ? kNames[index] : "none";
}
