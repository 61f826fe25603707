// Fuzzes the SVG glyph document scanner alone: the first two bytes (little-endian) name the glyph, the rest is
// the document. The tag and element scanners must answer positions inside the text that hold what they claim,
// and a composed document must be the root tag, parts of the text (the defs and the glyph's element, which
// may overlap) and the closing tag.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fonts/svg_glyph_document.h"

namespace {

constexpr size_t npos = std::string_view::npos;

bool endsTagName(char c) { return std::string_view(" \t\n\v\f\r>/").find(c) != npos; }

void checkTagStart(std::string_view text, std::string_view name, size_t from) {
  const size_t at = findSvgTagStart(text, name, from);
  if (at == npos) return;
  const size_t after = at + 1 + name.size();
  if (at < from || after >= text.size() || text[at] != '<' || text.substr(at + 1, name.size()) != name ||
      !endsTagName(text[after])) {
    std::abort();
  }
}

void checkElementEnd(std::string_view text, size_t start, std::string_view name) {
  const size_t end = findSvgElementEnd(text, start, name);
  if (end != npos && (end <= start || end > text.size() || text[end - 1] != '>')) std::abort();
}

void checkComposed(std::string_view text, uint32_t glyph) {
  const std::optional<std::string> composed = composeSvgGlyphDocument(text, glyph);
  if (!composed) return;
  const std::string id = "glyph" + std::to_string(glyph);
  const std::string_view result = *composed;
  if (result.substr(0, 4) != "<svg" || result.size() < 10 || result.substr(result.size() - 6) != "</svg>" ||
      result.size() > 3 * text.size() + 6 ||
      (result.find("id=\"" + id + "\"") == npos && result.find("id='" + id + "'") == npos)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t glyph = data[0] | data[1] << 8;
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t from = glyph % (text.size() + 1);
  for (const std::string_view name : {"svg", "g", "defs"}) {
    checkTagStart(text, name, from);
    checkElementEnd(text, from, name);
  }
  checkComposed(text, glyph);
  return 0;
}
