// Widening a glyph document's view: the root start tag is read after the prolog (declaration, processing
// instructions, comments, a document type), its view box and aspect-ratio attributes are replaced by a view
// box over the wider viewport, which maps the document exactly as librsvg mapped the original onto the em
// square: a root without a view box (nor a size) in its own units, one with a view box, or with a size, fitted
// into the square by its preserveAspectRatio. Without style rules the root's content is then wrapped in an
// svg element of the root's own name over what was the root's viewport (the em square, the view box or the
// size), mapped onto itself and not clipped, so that lengths in percent are of that viewport as before; the
// root's end tag is found by the structure of the elements, whatever follows it. Anything else is left as it
// stands.
#include "render_process/svg_glyph_view.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <vector>

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct Attribute {
  std::string_view name;
  std::string_view value;
  size_t start;  // with the white space before it
  size_t end;
};

struct RootTag {
  std::string_view name;  // with its prefix
  size_t nameEnd = 0;
  size_t end = 0;  // past its '>'
  bool empty = false;
  std::vector<Attribute> attributes;
};

// The position after a document type declaration whose name starts at `at`, or npos: its literals, and the
// comments and processing instructions of its internal subset, may hold any character.
size_t pastDocumentType(std::string_view text, size_t at) {
  bool inSubset = false;
  while (at < text.size()) {
    const char c = text[at];
    size_t skipTo = std::string_view::npos;
    if (c == '"' || c == '\'') {
      skipTo = text.find(c, at + 1);
      if (skipTo != std::string_view::npos) ++skipTo;
    } else if (inSubset && text.substr(at, 4) == "<!--") {
      skipTo = text.find("-->", at + 4);
      if (skipTo != std::string_view::npos) skipTo += 3;
    } else if (inSubset && text.substr(at, 2) == "<?") {
      skipTo = text.find("?>", at + 2);
      if (skipTo != std::string_view::npos) skipTo += 2;
    } else {
      if (c == '>' && !inSubset) return at + 1;
      if (c == '[' || c == ']') inSubset = c == '[';
      skipTo = at + 1;
    }
    if (skipTo == std::string_view::npos) return skipTo;
    at = skipTo;
  }
  return std::string_view::npos;
}

// The position of the root element's '<' after the prolog, or npos.
size_t rootElementStart(std::string_view text) {
  size_t at = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  for (;;) {
    while (at < text.size() && isSpace(text[at])) ++at;
    if (at >= text.size() || text[at] != '<') return std::string_view::npos;
    const auto skipPast = [&](std::string_view end) {
      const size_t found = text.find(end, at + 2);
      at = found == std::string_view::npos ? found : found + end.size();
    };
    if (text.substr(at, 2) == "<?") {
      skipPast("?>");
    } else if (text.substr(at, 4) == "<!--") {
      skipPast("-->");
    } else if (text.substr(at, 9) == "<!DOCTYPE") {
      at = pastDocumentType(text, at + 9);
    } else {
      return at;
    }
    if (at == std::string_view::npos) return at;
  }
}

// The root start tag of an svg element (prefixed or not) at `open`; none when it cannot be read.
std::optional<RootTag> readRootTag(std::string_view text, size_t open) {
  RootTag tag;
  size_t at = open + 1;
  while (at < text.size() && !isSpace(text[at]) && text[at] != '/' && text[at] != '>') ++at;
  const std::string_view name = text.substr(open + 1, at - open - 1);
  const size_t colon = name.rfind(':');
  if ((colon == std::string_view::npos ? name : name.substr(colon + 1)) != "svg") return std::nullopt;
  tag.name = name;
  tag.nameEnd = at;
  for (;;) {
    const size_t start = at;
    while (at < text.size() && isSpace(text[at])) ++at;
    if (at >= text.size()) return std::nullopt;
    if (text[at] == '>' || text.substr(at, 2) == "/>") {
      tag.empty = text[at] == '/';
      tag.end = at + (tag.empty ? 2 : 1);
      return tag;
    }
    const size_t nameStart = at;
    while (at < text.size() && !isSpace(text[at]) && text[at] != '=' && text[at] != '>' && text[at] != '/') ++at;
    const std::string_view attribute = text.substr(nameStart, at - nameStart);
    while (at < text.size() && isSpace(text[at])) ++at;
    if (attribute.empty() || at >= text.size() || text[at] != '=') return std::nullopt;
    ++at;
    while (at < text.size() && isSpace(text[at])) ++at;
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return std::nullopt;
    const size_t close = text.find(text[at], at + 1);
    if (close == std::string_view::npos) return std::nullopt;
    tag.attributes.push_back({attribute, text.substr(at + 1, close - at - 1), start, close + 1});
    at = close + 1;
  }
}

// The position of the "</" that ends the root, counting the elements opened and closed after its start tag;
// npos when they do not close so. Comments, character data sections and processing instructions may hold
// any markup; quoted attribute values may hold '>'.
size_t rootEndTag(std::string_view text, const RootTag& tag) {
  size_t depth = 1;
  for (size_t at = text.find('<', tag.end); at != std::string_view::npos; at = text.find('<', at)) {
    const std::string_view rest = text.substr(at);
    const auto skipPast = [&](std::string_view end) {
      const size_t found = text.find(end, at);
      return found == std::string_view::npos ? found : found + end.size();
    };
    if (rest.substr(0, 4) == "<!--") {
      at = skipPast("-->");
    } else if (rest.substr(0, 9) == "<![CDATA[") {
      at = skipPast("]]>");
    } else if (rest.substr(0, 2) == "<?") {
      at = skipPast("?>");
    } else if (rest.substr(0, 2) == "<!") {
      return std::string_view::npos;  // no declaration belongs inside the root
    } else if (rest.substr(0, 2) == "</") {
      if (--depth == 0) {
        const std::string_view name = rest.substr(2, tag.name.size());
        const size_t after = at + 2 + tag.name.size();
        const bool named = name == tag.name && after < text.size() && (isSpace(text[after]) || text[after] == '>');
        return named ? at : std::string_view::npos;
      }
      at = skipPast(">");
    } else {
      size_t end = at + 1;
      while (end < text.size() && text[end] != '>') {
        end = text[end] == '"' || text[end] == '\'' ? text.find(text[end], end + 1) : end;
        if (end == std::string_view::npos) return end;
        ++end;
      }
      if (end >= text.size()) return std::string_view::npos;
      if (text[end - 1] != '/') ++depth;
      at = end + 1;
    }
    if (at == std::string_view::npos) return at;
  }
  return std::string_view::npos;
}

const Attribute* find(const RootTag& tag, std::string_view name) {
  for (const Attribute& attribute : tag.attributes) {
    if (attribute.name == name) return &attribute;
  }
  return nullptr;
}

// Four numbers apart by white space or a comma.
std::optional<std::array<double, 4>> viewBoxOf(std::string_view text) {
  std::array<double, 4> numbers{};
  for (double& number : numbers) {
    while (!text.empty() && (isSpace(text.front()) || text.front() == ',')) text.remove_prefix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || !std::isfinite(number)) return std::nullopt;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
  }
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  if (!text.empty()) return std::nullopt;
  return numbers;
}

// How a view box is fitted: where it lies along each axis in the space left (0, 0.5 or 1), and whether it
// fills the viewport (slice) or fits in it (meet); `stretched` for "none".
struct AspectRatio {
  double alignX = 0.5;
  double alignY = 0.5;
  bool slice = false;
  bool stretched = false;
};

std::optional<AspectRatio> aspectRatioOf(std::string_view text) {
  std::vector<std::string_view> words;
  for (size_t at = 0; at < text.size();) {
    while (at < text.size() && isSpace(text[at])) ++at;
    const size_t start = at;
    while (at < text.size() && !isSpace(text[at])) ++at;
    if (at > start) words.push_back(text.substr(start, at - start));
  }
  if (!words.empty() && words.front() == "defer") words.erase(words.begin());
  if (words.empty() || words.size() > 2) return std::nullopt;
  AspectRatio ratio;
  if (words.size() == 2) {
    if (words[1] != "meet" && words[1] != "slice") return std::nullopt;
    ratio.slice = words[1] == "slice";
  }
  const std::string_view align = words[0];
  if (align == "none") {
    ratio.stretched = true;
    return ratio;
  }
  const auto place = [](std::string_view word) -> std::optional<double> {
    if (word == "Min") return 0.0;
    if (word == "Mid") return 0.5;
    if (word == "Max") return 1.0;
    return std::nullopt;
  };
  if (align.size() != 8 || align[0] != 'x' || align[4] != 'Y') return std::nullopt;
  const std::optional<double> x = place(align.substr(1, 3)), y = place(align.substr(5, 3));
  if (!x || !y) return std::nullopt;
  ratio.alignX = *x;
  ratio.alignY = *y;
  return ratio;
}

// Document units to em-square units along each axis: scale, then offset; and the viewport the root's content
// was drawn in, in document units: the em square, the view box or the root's size.
struct Mapping {
  double scaleX = 1.0, scaleY = 1.0, offsetX = 0.0, offsetY = 0.0;
  std::array<double, 4> content{};
  bool boxed = false;  // the content viewport is a view box (else the content is in the units of its size)
};

std::optional<Mapping> mappingOf(const RootTag& tag, double unitsPerEm, const GlyphRootSizeReader& rootSize) {
  const Attribute* box = find(tag, "viewBox");
  std::optional<std::array<double, 4>> view;
  if (box != nullptr) {
    view = viewBoxOf(box->value);
  } else if (find(tag, "width") != nullptr || find(tag, "height") != nullptr) {
    // librsvg takes the size as the view box.
    const std::optional<GlyphRootSize> size = rootSize();
    if (size) view = {0.0, 0.0, size->width, size->height};
  } else {
    Mapping mapping;
    mapping.content = {0.0, 0.0, unitsPerEm, unitsPerEm};
    return mapping;
  }
  if (!view || !((*view)[2] > 0.0) || !((*view)[3] > 0.0)) return std::nullopt;
  const Attribute* fit = find(tag, "preserveAspectRatio");
  const std::optional<AspectRatio> ratio = fit != nullptr ? aspectRatioOf(fit->value) : AspectRatio{};
  if (!ratio) return std::nullopt;
  const auto [x, y, width, height] = *view;
  Mapping mapping{unitsPerEm / width, unitsPerEm / height};
  mapping.content = *view;
  mapping.boxed = box != nullptr;
  if (!ratio->stretched) {
    mapping.scaleX = mapping.scaleY =
        ratio->slice ? std::max(mapping.scaleX, mapping.scaleY) : std::min(mapping.scaleX, mapping.scaleY);
  }
  mapping.offsetX = -x * mapping.scaleX + ratio->alignX * (unitsPerEm - width * mapping.scaleX);
  mapping.offsetY = -y * mapping.scaleY + ratio->alignY * (unitsPerEm - height * mapping.scaleY);
  return mapping;
}

std::string numberText(double value) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return error == std::errc() ? std::string(text, end) : "0";
}

std::string boxText(double x, double y, double width, double height) {
  return numberText(x) + " " + numberText(y) + " " + numberText(width) + " " + numberText(height);
}

// Whether the document may hold style rules: a style element of any prefix, a style sheet processing
// instruction, or an entity declaration (whose text may write either, with its '<' as a character reference),
// wherever it stands (in a comment too: a document that says so is taken to have rules).
bool mayHoldStyleRules(std::string_view text) {
  if (text.find("<?xml-stylesheet") != std::string_view::npos || text.find("<!ENTITY") != std::string_view::npos) {
    return true;
  }
  for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    size_t end = at + 1;
    while (end < text.size() && !isSpace(text[end]) && text[end] != '>' && text[end] != '/' && text[end] != '<') ++end;
    const std::string_view name = text.substr(at + 1, end - at - 1);
    const size_t colon = name.rfind(':');
    if ((colon == std::string_view::npos ? name : name.substr(colon + 1)) == "style") return true;
  }
  return false;
}

// The document up to the end of the root's start tag, with the root's view box and aspect ratio replaced.
std::string rootStartTagWith(std::string_view document, const RootTag& tag, const std::string& box,
                             const char* aspectRatio) {
  std::string text(document.substr(0, tag.nameEnd));
  text += " viewBox=\"" + box + "\" preserveAspectRatio=\"" + aspectRatio + "\"";
  size_t copied = tag.nameEnd;
  for (const Attribute& attribute : tag.attributes) {
    if (attribute.name != "viewBox" && attribute.name != "preserveAspectRatio") continue;
    text.append(document.substr(copied, attribute.start - copied));
    copied = attribute.end;
  }
  text.append(document.substr(copied, tag.end - copied));
  return text;
}

// Where a viewport that would start at `at` starts: on the pixel that holds `at`, as the em square starts on
// one, so that what librsvg draws through a layer (into a bitmap of the viewport's pixels) lands on the same
// pixels as there.
double onWholePixel(double at, double pixelsPerUnit) {
  const double pixels = at * pixelsPerUnit;
  if (std::fabs(pixels - std::round(pixels)) < 1e-6) return at;  // on one already: the same view at every such size
  return std::floor(pixels) / pixelsPerUnit;
}

// The square of `side` around the em square, the content wrapped in an svg element over its own viewport.
std::optional<GlyphView> wrappedView(std::string_view document, const RootTag& tag, const Mapping& mapping,
                                     double unitsPerEm, double side, double pixelsPerUnit) {
  const size_t close = rootEndTag(document, tag);
  if (close == std::string_view::npos) return std::nullopt;
  GlyphView view;
  view.x = onWholePixel(unitsPerEm / 2 - side / 2, pixelsPerUnit);
  view.y = onWholePixel(-unitsPerEm / 2 - side / 2, pixelsPerUnit);
  view.width = view.height = side;
  const std::string box =
      boxText((view.x - mapping.offsetX) / mapping.scaleX, (view.y - mapping.offsetY) / mapping.scaleY,
              side / mapping.scaleX, side / mapping.scaleY);
  const auto [x, y, width, height] = mapping.content;
  std::string content = "<" + std::string(tag.name) + " x=\"" + numberText(x) + "\" y=\"" + numberText(y) +
                        "\" width=\"" + numberText(width) + "\" height=\"" + numberText(height) + "\"";
  if (mapping.boxed) content += " viewBox=\"" + boxText(x, y, width, height) + "\" preserveAspectRatio=\"none\"";
  content += " style=\"overflow:visible\">";  // librsvg's own style sheet clips every svg element but the root
  view.document = rootStartTagWith(document, tag, box, "none");
  view.document.append(content);
  view.document.append(document.substr(tag.end, close - tag.end));
  view.document.append("</" + std::string(tag.name) + ">");
  view.document.append(document.substr(close));
  return view;
}

// The band along y, as wide as the root's view box is drawn: the view box keeps its size and moves up to the
// band's top, fitted from the top left, which maps it as before; nothing else changes. None for a view box
// stretched unevenly, which no band of another height maps as before.
std::optional<GlyphView> bandView(std::string_view document, const RootTag& tag, const Mapping& mapping,
                                  double unitsPerEm, double side, double pixelsPerUnit) {
  if (mapping.scaleX != mapping.scaleY) return std::nullopt;
  const double scale = mapping.scaleX;
  const auto [x, y, width, height] = mapping.content;
  GlyphView view;
  view.x = onWholePixel(mapping.offsetX + x * scale, pixelsPerUnit);
  view.width = width * scale;
  view.height = std::max(side, height * scale);
  view.y = onWholePixel(-unitsPerEm / 2 - view.height / 2, pixelsPerUnit);
  const std::string box =
      boxText((view.x - mapping.offsetX) / scale, (view.y - mapping.offsetY) / scale, width, height);
  view.document = rootStartTagWith(document, tag, box, "xMinYMin meet");
  view.document.append(document.substr(tag.end));
  return view;
}

}  // namespace

std::optional<GlyphView> widenedGlyphView(std::string_view document, double unitsPerEm, double side,
                                          double pixelsPerUnit, const GlyphRootSizeReader& rootSize) {
  const size_t open = rootElementStart(document);
  if (open == std::string_view::npos) return std::nullopt;
  const std::optional<RootTag> tag = readRootTag(document, open);
  if (!tag || tag->empty) return std::nullopt;
  const std::optional<Mapping> mapping = mappingOf(*tag, unitsPerEm, rootSize);
  if (!mapping) return std::nullopt;
  std::optional<GlyphView> view;
  if (!mayHoldStyleRules(document)) view = wrappedView(document, *tag, *mapping, unitsPerEm, side, pixelsPerUnit);
  return view ? view : bandView(document, *tag, *mapping, unitsPerEm, side, pixelsPerUnit);
}
