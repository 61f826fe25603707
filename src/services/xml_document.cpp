// Parsing and writing XML documents with pugixml's own parser and writer; the flags of each mode are fixed
// here so the binding, the tests and the benchmark all read and write alike.
#include "services/xml_document.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <new>

#include "platform/process_memory.h"

namespace {

constexpr unsigned kDefaultParseFlags = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol |
                                        pugi::parse_wconv_attribute | pugi::parse_ws_pcdata_single;
constexpr unsigned kFullParseFlags = pugi::parse_pi | pugi::parse_comments | pugi::parse_cdata | pugi::parse_eol |
                                     pugi::parse_wconv_attribute | pugi::parse_declaration | pugi::parse_doctype |
                                     pugi::parse_ws_pcdata_single;
static_assert(kDefaultParseFlags == 0x474 && kFullParseFlags == 0x767);

// The text below which a document is written without asking how much memory the process may use.
constexpr uint64_t kUncheckedTextBytes = uint64_t{64} << 20;

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }
uint64_t saturatingMultiply(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// The most bytes pugixml writes for a string: an escaped character (in the default mode) becomes at most six
// ("&quot;", "&#31;"), and each "]]>" of a CDATA section five characters more per ']' it holds.
class StringBound {
 public:
  explicit StringBound(XmlParseMode mode) {
    weights_.fill(1);
    if (mode == XmlParseMode::Default) {
      for (int c = 0; c < 32; ++c) weights_[c] = 6;
      for (const unsigned char c : {'&', '<', '>', '"', '\''}) weights_[c] = 6;
    }
  }
  uint64_t operator()(const char* text, bool cdata) const {
    uint64_t bytes = 0;
    for (const auto* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
      bytes += cdata ? (*c == ']' ? 7 : 1) : weights_[*c];
    }
    return bytes;
  }

 private:
  std::array<uint8_t, 256> weights_{};
};

// The most text the document makes: for each node its markup, name, value and attributes, and, indented,
// an opening and a closing line, each as deep as the node. Counting stops once the sum passes `ceiling`.
uint64_t serializedTextBound(const pugi::xml_document& document, XmlParseMode mode, uint64_t indentLength, bool compact,
                             uint64_t ceiling) {
  const StringBound bound(mode);
  uint64_t total = 0;
  uint64_t depth = 0;
  for (pugi::xml_node node = document.first_child(); node && total <= ceiling;) {
    const bool cdata = node.type() == pugi::node_cdata;
    uint64_t bytes = 16 + 2 * bound(node.name(), false) + bound(node.value(), cdata);
    for (const pugi::xml_attribute& attribute : node.attributes()) {
      bytes = saturatingAdd(bytes, 4 + bound(attribute.name(), false) + bound(attribute.value(), false));
    }
    if (!compact)
      bytes = saturatingAdd(bytes, saturatingMultiply(2, saturatingAdd(saturatingMultiply(depth, indentLength), 1)));
    total = saturatingAdd(total, bytes);
    if (pugi::xml_node child = node.first_child()) {
      node = child;
      ++depth;
      continue;
    }
    while (!node.next_sibling() && depth > 0) {
      node = node.parent();
      --depth;
    }
    node = node.next_sibling();
  }
  return total;
}

// Thrown out of the writer to end a save whose text would not fit; the save itself holds nothing that needs
// releasing.
struct SerializedTextTooLong {};

// Appends the text to a string. Once the text grows past kUncheckedTextBytes, the most the document can make
// must fit, with its copy, in the memory the process may use; the string then makes room for all of it at once.
class XmlStringWriter : public pugi::xml_writer {
 public:
  XmlStringWriter(const pugi::xml_document& document, XmlParseMode mode, uint64_t indentLength, bool compact,
                  std::string& text)
      : document_(document), mode_(mode), indentLength_(indentLength), compact_(compact), text_(text) {}

  void write(const void* data, size_t size) override {
    if (!checked_ && size > kUncheckedTextBytes - std::min<uint64_t>(text_.size(), kUncheckedTextBytes)) {
      checked_ = true;
      const uint64_t room = memoryTheProcessMayUse() / 2;
      const uint64_t bound = serializedTextBound(document_, mode_, indentLength_, compact_, room);
      if (bound > room || bound > text_.max_size()) throw SerializedTextTooLong{};
      text_.reserve(bound);
    }
    text_.append(static_cast<const char*>(data), size);
  }

 private:
  const pugi::xml_document& document_;
  XmlParseMode mode_;
  uint64_t indentLength_;
  bool compact_;
  std::string& text_;
  bool checked_ = false;
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

bool serializeXmlDocument(const pugi::xml_document& document, XmlParseMode mode, std::string_view indent, bool compact,
                          std::string& text, std::string& error) {
  error.clear();
  text.clear();
  if (indent.find('\0') != std::string_view::npos) {
    error = "XML indent contains a zero byte";
    return false;
  }
  unsigned flags = pugi::format_no_declaration | (compact ? pugi::format_raw : pugi::format_indent);
  if (mode == XmlParseMode::Full) flags |= pugi::format_no_escapes;
  XmlStringWriter writer(document, mode, indent.size(), compact, text);
  try {
    document.save(writer, std::string(indent).c_str(), flags, pugi::encoding_utf8);
  } catch (const SerializedTextTooLong&) {
    text.clear();
    text.shrink_to_fit();
    error = "not enough memory to serialize XML";
    return false;
  }
  if (!compact && !text.empty() && text.back() == '\n') text.pop_back();
  return true;
}

const char* xmlNodeTypeName(pugi::xml_node_type type) {
  // Indexed by pugixml's node types, node_null first.
  static constexpr const char* kNames[] = {"none",    "document", "element",     "text",   "cdata",
                                           "comment", "pi",       "declaration", "doctype"};
  static_assert(pugi::node_null == 0 && pugi::node_doctype == 8);
  const auto index = static_cast<size_t>(type);
  return index < std::size(kNames) ? kNames[index] : "none";
}
