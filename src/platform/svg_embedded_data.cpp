// The embedded-data check of SVG documents: the document is spelled out as its XML and CSS parsers would
// read it, lower-cased and without tabs and line breaks, and searched for "data:".
#include "platform/svg_embedded_data.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace {

constexpr int kMostEntityDepth = 8;
// Spelled-out text past this many times the document's size (entities within entities) is refused.
constexpr size_t kMostSpelledOutFactor = 16;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isHex(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; }

// Appends a code point as the URL parser would see it: ASCII as itself, anything else as a byte that is none
// of the letters searched for.
void appendCodePoint(std::string& out, unsigned long code) {
  if (code == '\t' || code == '\n' || code == '\r') return;  // dropped inside URLs
  out.push_back(code < 0x80 ? lower(static_cast<char>(code)) : '\x80');
}

class Speller {
 public:
  explicit Speller(const std::map<std::string, std::string>& entities, size_t budget)
      : entities_(entities), budget_(budget) {}

  // False when the spelled-out text would pass the budget or entities nest too deep.
  bool spell(std::string_view text, int depth, std::string& out) {
    if (depth > kMostEntityDepth) return false;
    for (size_t at = 0; at < text.size(); ++at) {
      if (out.size() > budget_) return false;
      if (text[at] != '&') {
        appendCodePoint(out, static_cast<unsigned char>(text[at]));
        continue;
      }
      const size_t end = text.find(';', at);
      if (end == std::string_view::npos || end - at > 64) {
        out.push_back('&');
        continue;
      }
      const std::string_view name = text.substr(at + 1, end - at - 1);
      if (!name.empty() && name[0] == '#') {
        const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
        const std::string digits(name.substr(hex ? 2 : 1));
        appendCodePoint(out, std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10));
      } else if (const auto entity = entities_.find(std::string(name)); entity != entities_.end()) {
        if (!spell(entity->second, depth + 1, out)) return false;
      } else {
        out.push_back('&');
        continue;
      }
      at = end;
    }
    return true;
  }

 private:
  const std::map<std::string, std::string>& entities_;
  size_t budget_;
};

// The general entities the document declares as quoted text; none when a declaration takes another form
// (a parameter entity, or one naming a file).
std::optional<std::map<std::string, std::string>> declaredEntities(std::string_view document) {
  std::map<std::string, std::string> entities;
  for (size_t at = document.find("<!ENTITY"); at != std::string_view::npos; at = document.find("<!ENTITY", at + 1)) {
    size_t i = at + 8;
    while (i < document.size() && isSpace(document[i])) ++i;
    const size_t nameStart = i;
    while (i < document.size() && !isSpace(document[i]) && document[i] != '%') ++i;
    const std::string name(document.substr(nameStart, i - nameStart));
    while (i < document.size() && isSpace(document[i])) ++i;
    if (name.empty() || i == document.size() || (document[i] != '"' && document[i] != '\'')) return std::nullopt;
    const size_t close = document.find(document[i], i + 1);
    if (close == std::string_view::npos) return std::nullopt;
    entities[name] = std::string(document.substr(i + 1, close - i - 1));
  }
  return entities;
}

// CSS escapes undone: a backslash and up to six hex digits (and one space after them) name a code point, a
// backslash before anything else stands for that character.
std::string cssUnescaped(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '\\' || at + 1 == text.size()) {
      out.push_back(text[at]);
      continue;
    }
    size_t digits = 0;
    while (digits < 6 && at + 1 + digits < text.size() && isHex(text[at + 1 + digits])) ++digits;
    if (digits == 0) {
      out.push_back(text[++at]);
      continue;
    }
    appendCodePoint(out, std::stoul(std::string(text.substr(at + 1, digits)), nullptr, 16));
    at += digits;
    if (at + 1 < text.size() && text[at + 1] == ' ') ++at;
  }
  return out;
}

// Whether the document's bytes read as ASCII does: no zero bytes or UTF-16 and UTF-32 marks, and no declared
// encoding but UTF-8, ASCII and Latin-1.
bool asciiCompatible(std::string_view document) {
  if (document.find('\0') != std::string_view::npos) return false;
  if (document.substr(0, 2) == "\xfe\xff" || document.substr(0, 2) == "\xff\xfe") return false;
  if (document.substr(0, 5) != "<?xml") return true;
  const size_t end = document.find("?>");
  std::string declaration(document.substr(0, end));
  std::transform(declaration.begin(), declaration.end(), declaration.begin(), lower);
  const size_t at = declaration.find("encoding");
  if (at == std::string::npos) return true;
  const size_t quote = declaration.find_first_of("\"'", at);
  if (quote == std::string::npos) return false;
  const size_t close = declaration.find(declaration[quote], quote + 1);
  const std::string name = declaration.substr(quote + 1, close - quote - 1);
  for (const char* known : {"utf-8", "utf8", "us-ascii", "ascii", "iso-8859-1", "latin1"}) {
    if (name == known) return true;
  }
  return false;
}

// The document without comments and CDATA markers, whose text on either side a parser joins; and, for the text
// around and between elements that an element's content joins, also without any tag.
std::string withoutMarkup(std::string_view document, bool tags) {
  std::string out;
  for (size_t at = 0; at < document.size();) {
    if (document.substr(at, 4) == "<!--") {
      const size_t end = document.find("-->", at + 4);
      at = end == std::string_view::npos ? document.size() : end + 3;
    } else if (document.substr(at, 9) == "<![CDATA[") {
      at += 9;
    } else if (document.substr(at, 3) == "]]>") {
      at += 3;
    } else if (tags && document[at] == '<') {
      const size_t end = document.find('>', at);
      at = end == std::string_view::npos ? document.size() : end + 1;
    } else {
      out.push_back(document[at++]);
    }
  }
  return out;
}

bool spellsData(Speller& speller, std::string_view text) {
  std::string spelled;
  if (!speller.spell(text, 0, spelled)) return true;
  return spelled.find("data:") != std::string::npos || cssUnescaped(spelled).find("data:") != std::string::npos;
}

}  // namespace

bool svgDocumentEmbedsData(std::string_view document) {
  if (document.substr(0, 2) == "\x1f\x8b" || !asciiCompatible(document)) return true;
  const std::optional<std::map<std::string, std::string>> entities = declaredEntities(document);
  if (!entities) return true;
  Speller speller(*entities, kMostSpelledOutFactor * document.size() + 4096);
  return spellsData(speller, document) || spellsData(speller, withoutMarkup(document, false)) ||
         spellsData(speller, withoutMarkup(document, true));
}
