// The walk follows pugixml's own: text and CDATA sit inline, every other node starts a new line indented by
// its depth, and an element's closing tag gets its own line unless text came last. An element that holds text
// (white space included, which the full mode keeps) is mixed content: it is written as it stands, with nothing
// added inside it, since a line break there would be text of its own. Text is written as it stands; CDATA sections,
// comments, processing instructions and doctypes are written by pugixml itself, one at a time, so their special cases
// (a "--" in a comment, a "]]>" in a CDATA section) come out as pugixml writes them.
#include "services/xml_full_writer.h"

#include <cstring>
#include <memory>

namespace {

constexpr unsigned kSingleNodeFlags = pugi::format_raw | pugi::format_no_escapes | pugi::format_no_declaration;
constexpr size_t kBufferBytes = 64 * 1024;

enum LineBreak : unsigned { kNewLine = 1, kIndent = 2 };

class FullDocumentWriter {
 public:
  FullDocumentWriter(pugi::xml_writer& out, std::string_view indent, bool compact)
      : out_(out), indent_(compact ? std::string_view() : indent), compact_(compact), buffer_(new char[kBufferBytes]) {}

  void write(const pugi::xml_document& document) {
    unsigned lineBreak = kIndent;
    size_t depth = 0;
    pugi::xml_node node = document;
    do {
      const pugi::xml_node_type type = node.type();
      if (type == pugi::node_pcdata || type == pugi::node_cdata) {
        single(node);
        lineBreak = 0;
      } else {
        breakLine(lineBreak, depth);
        if (type == pugi::node_element) {
          lineBreak = kNewLine | kIndent;
          if (start(node)) {
            if (!mixed_ && xmlElementHoldsText(node)) mixed_ = node;
            node = node.first_child();
            ++depth;
            continue;
          }
        } else if (type == pugi::node_document) {
          lineBreak = kIndent;
          if (node.first_child()) {
            node = node.first_child();
            continue;
          }
        } else {
          single(node);
          lineBreak = kNewLine | kIndent;
        }
      }
      while (node != document) {
        if (node.next_sibling()) {
          node = node.next_sibling();
          break;
        }
        node = node.parent();
        if (node.type() == pugi::node_element) {
          --depth;
          breakLine(lineBreak, depth);
          text("</");
          text(node.name());
          text(">");
          if (node == mixed_) mixed_ = pugi::xml_node();
          lineBreak = kNewLine | kIndent;
        }
      }
    } while (node != document);
    flush();  // without the line feed that would end the last line, as a saved text is returned
  }

 private:
  void text(std::string_view piece) {
    if (piece.size() > kBufferBytes - used_) {
      flush();
      if (piece.size() >= kBufferBytes) {
        out_.write(piece.data(), piece.size());
        return;
      }
    }
    std::memcpy(buffer_.get() + used_, piece.data(), piece.size());
    used_ += piece.size();
  }

  void flush() {
    if (used_ != 0) out_.write(buffer_.get(), used_);
    used_ = 0;
  }

  void breakLine(unsigned lineBreak, size_t depth) {
    if (mixed_) return;
    if ((lineBreak & kNewLine) != 0 && !compact_) text("\n");
    if ((lineBreak & kIndent) != 0 && !indent_.empty()) {
      for (size_t level = 0; level < depth; ++level) text(indent_);
    }
  }

  // A node without children of its own (text, CDATA, comment, processing instruction, doctype).
  void single(pugi::xml_node node) {
    if (node.type() == pugi::node_pcdata) {
      text(node.value());
      return;
    }
    if (node.type() == pugi::node_declaration) {
      text("<?");
      text(node.name());
      attributes(node);
      text("?>");
      return;
    }
    flush();
    node.print(out_, "", kSingleNodeFlags, pugi::encoding_utf8);
  }

  void attributes(pugi::xml_node node) {
    for (pugi::xml_attribute attribute = node.first_attribute(); attribute; attribute = attribute.next_attribute()) {
      const std::string_view value = attribute.value();
      const bool holdsDouble = value.find('"') != std::string_view::npos;
      const bool holdsSingle = holdsDouble && value.find('\'') != std::string_view::npos;
      const std::string_view quote = holdsDouble && !holdsSingle ? "'" : "\"";
      text(" ");
      text(attribute.name());
      text(holdsDouble && !holdsSingle ? "='" : "=\"");
      if (holdsDouble && holdsSingle) {
        // Never read from a document (a value is quoted with one mark), but written so it still reads back.
        for (size_t at = 0; at < value.size();) {
          const size_t mark = value.find('"', at);
          text(value.substr(at, mark - at));
          if (mark == std::string_view::npos) break;
          text("&quot;");
          at = mark + 1;
        }
      } else {
        text(value);
      }
      text(quote);
    }
  }

  // The element's start tag, or the whole of an empty element; true when its children follow.
  bool start(pugi::xml_node element) {
    text("<");
    text(element.name());
    attributes(element);
    if (element.first_child()) {
      text(">");
      return true;
    }
    text(compact_ ? "/>" : " />");
    return false;
  }

  pugi::xml_writer& out_;
  std::string_view indent_;
  bool compact_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  pugi::xml_node mixed_;  // the outermost element of the mixed content being written, if any
};

}  // namespace

bool xmlElementHoldsText(pugi::xml_node element) {
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) return true;
  }
  return false;
}

void writeFullXmlDocument(const pugi::xml_document& document, std::string_view indent, bool compact,
                          pugi::xml_writer& writer) {
  FullDocumentWriter(writer, indent, compact).write(document);
}
