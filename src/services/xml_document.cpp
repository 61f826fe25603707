// Parsing and writing XML documents with pugixml's own parser and writer; the flags of each mode are fixed
// here so the binding, the tests and the benchmark all read and write alike. A document read in the full mode
// is written by writeFullXmlDocument, which quotes each attribute as its value needs, and is encoded back into
// the encoding it was read in.
#include "services/xml_document.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string_view>

#include "platform/process_memory.h"
#include "services/xml_charset.h"
#include "services/xml_declared_encoding.h"
#include "services/xml_full_writer.h"

namespace {

constexpr unsigned kDefaultParseFlags = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol |
                                        pugi::parse_wconv_attribute | pugi::parse_ws_pcdata_single;
// The full mode keeps every text of white space alone (pugixml would keep only an element's single child with
// parse_ws_pcdata_single beside it), so that the text between elements comes back.
constexpr unsigned kFullParseFlags = pugi::parse_pi | pugi::parse_comments | pugi::parse_cdata | pugi::parse_eol |
                                     pugi::parse_wconv_attribute | pugi::parse_declaration | pugi::parse_doctype |
                                     pugi::parse_ws_pcdata;
static_assert(kDefaultParseFlags == 0x474 && kFullParseFlags == 0x36F);

// The text below which a document is written without asking how much memory the process may use.
constexpr uint64_t kUncheckedTextBytes = uint64_t{64} << 20;

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }
uint64_t saturatingMultiply(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

using Weights = std::array<uint8_t, 256>;

// How many bytes pugixml writes for each byte of a string, by where the string stands.
struct WeightTables {
  Weights raw{};
  Weights text{};       // escaped text: "&amp;", "&lt;", "&gt;", "&#NN;" for control characters but tab and line ends
  Weights attribute{};  // escaped attribute values: "&amp;", "&lt;", "&quot;", "&#NN;" for every control character
  Weights quoted{};     // a full-mode value holding both quote marks: '"' becomes "&quot;"

  WeightTables() {
    for (Weights* table : {&raw, &text, &attribute, &quoted}) table->fill(1);
    for (int c = 1; c < 32; ++c) {
      attribute[c] = 5;
      if (c != '\t' && c != '\n' && c != '\r') text[c] = 5;
    }
    text['&'] = attribute['&'] = 5;
    text['<'] = attribute['<'] = 4;
    text['>'] = 4;
    attribute['"'] = quoted['"'] = 6;
  }
};

const WeightTables& weightTables() {
  static const WeightTables tables;
  return tables;
}

uint64_t weighed(const char* text, const Weights& weights) {
  uint64_t bytes = 0;
  for (const auto* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) bytes += weights[*c];
  return bytes;
}

uint64_t occurrences(std::string_view text, std::string_view what) {
  uint64_t count = 0;
  for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

// The bytes pugixml writes for a node's value. A CDATA section is split at each "]]>" (12 bytes more:
// "]]><![CDATA["), a '-' before another or at the end of a comment gets a space, and so does the '?' of each
// "?>" of an instruction; text is escaped in the default mode.
uint64_t valueBytes(pugi::xml_node node, bool escaped) {
  const std::string_view value = node.value();
  switch (node.type()) {
    case pugi::node_pcdata:
      return escaped ? weighed(value.data(), weightTables().text) : value.size();
    case pugi::node_cdata:
      return value.size() + 12 * occurrences(value, "]]>");
    case pugi::node_comment: {
      uint64_t bytes = value.size();
      for (size_t at = value.find('-'); at != std::string_view::npos; at = value.find('-', at + 1)) {
        if (at + 1 == value.size() || value[at + 1] == '-') ++bytes;
      }
      return bytes;
    }
    case pugi::node_pi:
      return value.size() + occurrences(value, "?>");
    default:
      return value.size();
  }
}

const Weights& attributeWeights(const char* value, bool escaped) {
  const WeightTables& tables = weightTables();
  if (escaped) return tables.attribute;
  return std::strchr(value, '"') != nullptr && std::strchr(value, '\'') != nullptr ? tables.quoted : tables.raw;
}

bool isInlineText(pugi::xml_node node) { return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata; }

// The lines the writer starts for a node when it indents: none for text, which stays on the line it follows;
// one for any other node unless it follows text, and one more for an element's closing tag unless its last
// child is text. The full mode's writer starts none inside mixed content, nor for the closing tag of the
// element that holds it.
uint64_t linesOf(pugi::xml_node node, bool full, bool insideMixedContent) {
  if (isInlineText(node) || insideMixedContent) return 0;
  uint64_t lines = node.previous_sibling() && isInlineText(node.previous_sibling()) ? 0 : 1;
  if (node.type() == pugi::node_element && node.first_child() && !isInlineText(node.last_child()) &&
      !(full && xmlElementHoldsText(node))) {
    ++lines;
  }
  return lines;
}

// A line break and the indentation of a line `depth` levels deep.
uint64_t lineBytes(uint64_t depth, uint64_t indentLength) {
  return saturatingAdd(saturatingMultiply(depth, indentLength), 1);
}

// The most bytes of UTF-8 text the writer makes for the document; counting stops once it passes `ceiling`.
uint64_t utf8TextBound(const ParsedXml& document, uint64_t indentLength, bool compact, uint64_t ceiling) {
  const bool escaped = document.mode == XmlParseMode::Default;
  uint64_t total = 4;  // a byte-order mark
  uint64_t depth = 0;
  pugi::xml_node mixed;  // in the full mode, the outermost element of the mixed content being weighed
  for (pugi::xml_node node = document.tree->first_child(); node && total <= ceiling;) {
    uint64_t bytes = 16 + 2 * std::strlen(node.name()) + valueBytes(node, escaped);
    for (const pugi::xml_attribute& attribute : node.attributes()) {
      bytes = saturatingAdd(bytes, 4 + std::strlen(attribute.name()) +
                                       weighed(attribute.value(), attributeWeights(attribute.value(), escaped)));
    }
    if (!compact) {
      bytes = saturatingAdd(bytes, saturatingMultiply(linesOf(node, !escaped, mixed), lineBytes(depth, indentLength)));
    }
    total = saturatingAdd(total, bytes);
    if (pugi::xml_node child = node.first_child()) {
      if (!escaped && !mixed && xmlElementHoldsText(node)) mixed = node;
      node = child;
      ++depth;
      continue;
    }
    while (!node.next_sibling() && depth > 0) {
      if (node == mixed) mixed = pugi::xml_node();
      node = node.parent();
      --depth;
    }
    if (node == mixed) mixed = pugi::xml_node();
    node = node.next_sibling();
  }
  return total;
}

// Counts the bytes a text makes in an encoding, writing them nowhere; stops once the count passes a ceiling.
class EncodedTextCounter : public pugi::xml_writer {
 public:
  EncodedTextCounter(const XmlTextEncoding& output, XmlCharsetWriting writing, uint64_t ceiling)
      : encoded_(output, piece_, writing), ceiling_(ceiling) {}

  void write(const void* data, size_t size) override {
    const std::string_view text(static_cast<const char*>(data), size);
    for (size_t at = 0; at < text.size(); at += kSliceBytes) {
      encoded_.append(text.substr(at, kSliceBytes));
      take();
    }
  }

  uint64_t finish() {
    encoded_.finish();
    take();
    return count_;
  }

  struct Passed {};

 private:
  static constexpr size_t kSliceBytes = 64 * 1024;

  void take() {
    count_ += piece_.size();
    piece_.clear();
    if (count_ > ceiling_) throw Passed{};
  }

  std::string piece_;  // what a slice of a write makes
  XmlEncodedText encoded_;
  uint64_t ceiling_;
  uint64_t count_ = 0;
};

// The bytes of a full-mode document's text in its encoding, or UINT64_MAX once past `ceiling`.
uint64_t encodedTextBytes(const ParsedXml& document, XmlCharsetWriting writing, std::string_view indent, bool compact,
                          uint64_t ceiling) {
  EncodedTextCounter counter(document.source, writing, ceiling);
  try {
    writeFullXmlDocument(*document.tree, indent, compact, counter);
    return counter.finish();
  } catch (const EncodedTextCounter::Passed&) {
    return UINT64_MAX;
  }
}

// Encodes the text as it is written into the encoding the document is written in, and once it grows past
// kUncheckedTextBytes, makes sure that the most the document can make fits, with its copy, in the memory the
// process may use. The string grows as the text is written, doubling its room but never past that most, so
// that it holds and moves no more than the document can make.
class XmlStringWriter : public pugi::xml_writer {
 public:
  XmlStringWriter(const ParsedXml& document, XmlTextEncoding output, XmlCharsetWriting writing, std::string_view indent,
                  bool compact, std::string& text)
      : document_(document),
        writing_(writing),
        charset_(!output.charset.empty()),
        indent_(indent),
        compact_(compact),
        text_(text),
        encoded_(output, text, writing),
        bytesPerByte_(xmlEncodedBytesPerByte(output)) {}

  void write(const void* data, size_t size) override {
    // The most this piece can add, with a character cut off at the end of the last piece.
    const uint64_t most = saturatingAdd(text_.size(), saturatingMultiply(size + 4, bytesPerByte_));
    if (!bound_ && most > kUncheckedTextBytes) {
      const uint64_t room = memoryTheProcessMayUse() / 2;
      bound_ = serializedXmlTextBound(document_, indent_.size(), compact_, room);
      // A character set's most for a byte is far above what a document read from it makes: its text is counted
      // before it is refused, unless its UTF-8 alone would not fit.
      if (*bound_ > room && charset_ && utf8TextBound(document_, indent_.size(), compact_, room) <= room) {
        bound_ = encodedTextBytes(document_, writing_, indent_, compact_, room);
      }
      if (*bound_ > room || *bound_ > text_.max_size()) throw SerializedTextTooLong{};
    }
    if (bound_ && most > text_.capacity())
      grow(std::min<uint64_t>(*bound_, std::max<uint64_t>(most, 2 * text_.capacity())));
    encoded_.append({static_cast<const char*>(data), size});
    if (!encoded_.readsBack()) throw WrittenOtherwise{};
  }

  void finish() {
    encoded_.finish();
    if (!encoded_.readsBack()) throw WrittenOtherwise{};
  }

  // Thrown out of the writer to end a save whose text would not fit; the save holds nothing that needs
  // releasing.
  struct SerializedTextTooLong {};
  // Thrown out of the writer when the text written in one run of a character set does not read back as the
  // document, which is then written again character by character.
  struct WrittenOtherwise {};

 private:
  // Moves the text into a string with room for `bytes`: a string's own reserve would take at least twice the
  // room it had.
  void grow(uint64_t bytes) {
    std::string grown;
    grown.reserve(bytes);
    grown.append(text_);
    text_.swap(grown);
  }

  const ParsedXml& document_;
  XmlCharsetWriting writing_;
  bool charset_;  // whether the text is written in a character set through iconv
  std::string_view indent_;
  bool compact_;
  std::string& text_;
  XmlEncodedText encoded_;
  uint64_t bytesPerByte_;
  std::optional<uint64_t> bound_;  // the most the document can make, once the text is past the unchecked size
};

// "XML parse failed[ at byte N][: description]", the byte counted from 0 and named from 1 on.
std::string parseFailure(size_t offset, std::string_view description) {
  std::string message = "XML parse failed";
  if (offset >= 1) message += " at byte " + std::to_string(offset);
  if (!description.empty()) message.append(": ").append(description);
  return message;
}

// An encoding name as a message quotes it: at most 64 bytes of it, so that a document cannot make its own error
// as large as itself.
std::string quotedEncodingName(std::string_view name) {
  constexpr size_t kMostQuoted = 64;
  if (name.size() <= kMostQuoted) return "\"" + std::string(name) + "\"";
  size_t cut = kMostQuoted;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // whole characters only
  return "\"" + std::string(name.substr(0, cut)) + "...\"";
}

// The message for a text that is not read in the encoding its declaration names.
std::string encodingFailure(const XmlDeclaredEncoding& declared) {
  const std::string quoted = quotedEncodingName(declared.name);
  if (declared.reading == XmlDeclaredEncoding::NotInCharset) {
    return parseFailure(0, "the declaration is not written in the encoding " + quoted + " it names");
  }
  return parseFailure(0, "the encoding " + quoted + " is not supported");
}

std::string decodingFailure(const XmlDecodingFailure& failure, const std::string& charset) {
  const std::string quoted = quotedEncodingName(charset);
  switch (failure.kind) {
    case XmlDecodingFailure::UnknownCharset:
      return parseFailure(0, "the encoding " + quoted + " is not supported");
    case XmlDecodingFailure::InvalidSequence:
      return parseFailure(failure.offset, "not a character of the encoding " + quoted);
    case XmlDecodingFailure::CutSequence:
      return parseFailure(failure.offset, "the text ends inside a character of the encoding " + quoted);
    default:
      return "not enough memory to parse XML";
  }
}

// The UTF-8 text a decoded document may grow to without asking how much memory the process may use.
constexpr uint64_t kUncheckedDecodedBytes = uint64_t{64} << 20;

}  // namespace

ParsedXml parseXmlDocument(std::string_view text, XmlParseMode mode, std::string& error) {
  error.clear();
  ParsedXml parsed;
  parsed.mode = mode;
  parsed.tree.reset(new (std::nothrow) pugi::xml_document);
  if (!parsed.tree) {
    error = "not enough memory to parse XML";
    return parsed;
  }
  const unsigned flags = mode == XmlParseMode::Full ? kFullParseFlags : kDefaultParseFlags;
  const XmlDeclaredEncoding declared = xmlDeclaredEncoding(text, xmlDetectedEncoding(text));
  pugi::xml_parse_result result;
  switch (declared.reading) {
    case XmlDeclaredEncoding::AsDetected:
      result = parsed.tree->load_buffer(text.data(), text.size(), flags, pugi::encoding_auto);
      break;
    case XmlDeclaredEncoding::Latin1:
      result = parsed.tree->load_buffer(text.data(), text.size(), flags, pugi::encoding_latin1);
      break;
    case XmlDeclaredEncoding::Charset: {
      XmlDecodedText decoded =
          decodeXmlCharset(text, declared.name, XmlDecodingRoom{kUncheckedDecodedBytes, memoryTheProcessMayUse});
      if (!decoded.text) {
        parsed.tree.reset();
        error = decodingFailure(decoded.failure, declared.name);
        return parsed;
      }
      // The document parses in the decoded text and owns it.
      result = parsed.tree->load_buffer_inplace_own(decoded.text.release(), decoded.size, flags, pugi::encoding_utf8);
      if (!result && result.offset >= 1) {
        const size_t offset = xmlCharsetSourceOffset(text, declared.name, static_cast<size_t>(result.offset));
        result.offset = static_cast<ptrdiff_t>(offset);
      }
      break;
    }
    default:
      parsed.tree.reset();
      error = encodingFailure(declared);
      return parsed;
  }
  if (!result) {
    parsed.tree.reset();
    const char* description = result.description();
    error = parseFailure(static_cast<size_t>(std::max<ptrdiff_t>(result.offset, 0)),
                         description != nullptr ? description : "");
    return parsed;
  }
  parsed.source = xmlTextEncoding(text, result.encoding);
  if (declared.reading == XmlDeclaredEncoding::Charset) parsed.source.charset = declared.name;
  return parsed;
}

uint64_t serializedXmlTextBound(const ParsedXml& document, uint64_t indentLength, bool compact, uint64_t ceiling) {
  const uint64_t perByte = document.mode == XmlParseMode::Default ? 1 : xmlEncodedBytesPerByte(document.source);
  return saturatingMultiply(utf8TextBound(document, indentLength, compact, ceiling / perByte), perByte);
}

bool serializeXmlDocument(const ParsedXml& document, std::string_view indent, bool compact, std::string& text,
                          std::string& error) {
  error.clear();
  text.clear();
  if (indent.find('\0') != std::string_view::npos) {
    error = "XML indent contains a zero byte";
    return false;
  }
  const bool full = document.mode == XmlParseMode::Full;
  for (const XmlCharsetWriting writing : {XmlCharsetWriting::InOneRun, XmlCharsetWriting::CharacterByCharacter}) {
    text.clear();
    XmlStringWriter writer(document, full ? document.source : XmlTextEncoding{}, writing, indent, compact, text);
    try {
      if (full) {
        writeFullXmlDocument(*document.tree, indent, compact, writer);
      } else {
        const unsigned flags = pugi::format_no_declaration | (compact ? pugi::format_raw : pugi::format_indent);
        document.tree->save(writer, std::string(indent).c_str(), flags, pugi::encoding_utf8);
        if (!compact && !text.empty() && text.back() == '\n') text.pop_back();
      }
      writer.finish();
      return true;
    } catch (const XmlStringWriter::WrittenOtherwise&) {
    } catch (const XmlStringWriter::SerializedTextTooLong&) {
      break;
    }
  }
  text.clear();
  text.shrink_to_fit();
  error = "not enough memory to serialize XML";
  return false;
}

const char* xmlNodeTypeName(pugi::xml_node_type type) {
  // Indexed by pugixml's node types, node_null first.
  static constexpr const char* kNames[] = {"none",    "document", "element",     "text",   "cdata",
                                           "comment", "pi",       "declaration", "doctype"};
  static_assert(pugi::node_null == 0 && pugi::node_doctype == 8);
  const auto index = static_cast<size_t>(type);
  return index < std::size(kNames) ? kNames[index] : "none";
}
