// Reading the encoding a document's declaration names, and deciding from it how the text is read.
#include "services/xml_declared_encoding.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <optional>

#include "services/xml_charset.h"

namespace {

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

bool startsIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool namedAmong(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::any_of(names.begin(), names.end(), [&](std::string_view each) { return equalsIgnoringCase(name, each); });
}

// The declaration that opens the text once what stands before its first '<' is dropped, up to its "?>"; none
// when it has no end (the text cannot be read then).
std::optional<std::string_view> openingDeclaration(std::string_view text) {
  text.remove_prefix(std::min(text.find('<'), text.size()));
  if (text.substr(0, 5) != "<?xml" || text.size() < 6 || !isXmlSpace(text[5])) return std::nullopt;
  const size_t end = text.find("?>");
  if (end == std::string_view::npos) return std::nullopt;
  return text.substr(0, end);
}

// Whether pugixml reads a text that opens with the declaration as Latin-1. It finds the name its own way (at
// the first "en" of the declaration, even inside another name), and a copy saved with this declaration at its
// start is read that way, so a text whose declaration stands after dropped text must be read alike.
bool pugixmlReadsAsLatin1(std::string_view declaration) {
  pugi::xml_document probe;
  return probe.load_buffer(declaration.data(), declaration.size(), pugi::parse_minimal, pugi::encoding_auto).encoding ==
         pugi::encoding_latin1;
}

// The value of the declaration's encoding pseudo-attribute, when it has one.
std::optional<std::string_view> encodingName(std::string_view declaration) {
  for (size_t at = declaration.find("encoding"); at != std::string_view::npos;
       at = declaration.find("encoding", at + 1)) {
    if (!isXmlSpace(declaration[at - 1])) continue;
    size_t cursor = at + 8;
    while (cursor < declaration.size() && isXmlSpace(declaration[cursor])) ++cursor;
    if (cursor >= declaration.size() || declaration[cursor] != '=') continue;
    ++cursor;
    while (cursor < declaration.size() && isXmlSpace(declaration[cursor])) ++cursor;
    if (cursor >= declaration.size() || (declaration[cursor] != '"' && declaration[cursor] != '\'')) continue;
    const size_t end = declaration.find(declaration[cursor], cursor + 1);
    if (end == std::string_view::npos) return std::nullopt;
    return declaration.substr(cursor + 1, end - cursor - 1);
  }
  return std::nullopt;
}

// Whether every byte is ASCII and none is the escape that switches an ISO-2022 text to another character set.
bool plainAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != 27; });
}

}  // namespace

pugi::xml_encoding xmlDetectedEncoding(std::string_view text) {
  // pugixml looks at the first four bytes, and at a declaration there up to its first '?' after "<?xml ".
  size_t probe = std::min<size_t>(text.size(), 4);
  if (text.substr(0, 4) == "<?xm") probe = std::min(text.size() - 1, text.find('?', 6)) + 1;
  pugi::xml_document document;
  return document.load_buffer(text.data(), probe, pugi::parse_minimal, pugi::encoding_auto).encoding;
}

namespace {

// "<?xm" in EBCDIC, which opens a document in any EBCDIC set. The characters of a declaration are the same in
// all of them but the quotation mark, which the Turkish sets (IBM1026, IBM905) keep where the others keep 'Ü', so
// it is read in one of each (IBM037, then IBM1026) to find the name of the set the text is in.
constexpr std::string_view kEbcdicOpening = "\x4C\x6F\xA7\x94";

XmlDeclaredEncoding ebcdicDeclaredEncoding(std::string_view text) {
  using Reading = XmlDeclaredEncoding::Reading;
  const size_t end = text.find("\x6F\x6E");  // "?>"
  if (end == std::string_view::npos) return {};
  const std::string_view bytes = text.substr(0, end);
  for (const char* reading : {"IBM037", "IBM1026"}) {
    const std::optional<std::string> declaration = xmlCharsetDecodedDeclaration(reading, bytes, bytes.size());
    if (!declaration || !plainAscii(*declaration) || declaration->size() < 6 || !isXmlSpace((*declaration)[5])) {
      continue;
    }
    const std::optional<std::string_view> name = encodingName(*declaration);
    if (!name) continue;
    const std::string charset(*name);
    if (!xmlCharsetIsKnown(charset)) return {Reading::Unsupported, charset};
    if (xmlCharsetDecodedDeclaration(charset, bytes, declaration->size() + 1) != *declaration) {
      return {Reading::NotInCharset, charset};
    }
    return {Reading::Charset, charset};
  }
  return {};
}

}  // namespace

XmlDeclaredEncoding xmlDeclaredEncoding(std::string_view text, pugi::xml_encoding detected) {
  using Reading = XmlDeclaredEncoding::Reading;
  if (detected == pugi::encoding_utf8 && text.substr(0, 4) == kEbcdicOpening) return ebcdicDeclaredEncoding(text);
  if (detected != pugi::encoding_utf8 || text.substr(0, 3) == "\xEF\xBB\xBF") return {};
  const std::optional<std::string_view> declaration = openingDeclaration(text);
  if (!declaration) return {};
  // pugixml looked at a declaration at the first byte already.
  if (declaration->data() != text.data() && pugixmlReadsAsLatin1(*declaration)) return {Reading::Latin1, {}};
  const std::optional<std::string_view> name = encodingName(*declaration);
  if (!name) return {};
  if (namedAmong(*name, {"UTF-8", "UTF8", "US-ASCII", "ASCII", "UTF-16", "UTF-16LE", "UTF-16BE", "UTF-32", "UTF-32LE",
                         "UTF-32BE"})) {
    return {};
  }
  if (namedAmong(*name, {"ISO-8859-1", "latin1", "ISO8859-1", "ISO_8859-1", "ISO_8859-1:1987", "iso-ir-100", "l1",
                         "IBM819", "CP819", "csISOLatin1"})) {
    return {Reading::Latin1, {}};
  }
  const std::string charset(*name);
  const bool known = xmlCharsetIsKnown(charset);
  // Room for one byte more than the declaration: a longer text is not the same.
  if (known && xmlCharsetDecodedDeclaration(charset, *declaration, declaration->size() + 1) == *declaration) {
    return {Reading::Charset, charset};
  }
  const bool spellsInAscii = startsIgnoringCase(*name, "UTF-7") || startsIgnoringCase(*name, "HZ");
  if (!spellsInAscii && plainAscii(text)) return {};
  return {known ? Reading::NotInCharset : Reading::Unsupported, charset};
}
