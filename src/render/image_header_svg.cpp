// The size of an SVG document as SDL_image's SVG decoder (nanosvg) sizes it: the svg elements' width and
// height at 96 dots per inch, in single precision and in attribute order as it reads them, else their view
// box. A document sized by anything else (its shapes, as the decoder reads them) is drawn at the size the
// decoder gives it, within the limits.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "render/image_header_reader.h"

namespace {

// A number as the decoder reads one (sign, digits, fraction, an exponent unless "em" or "ex" follows), with no
// white space before it; 0 when it has no digits. The rest of the text after it.
float svgNumber(std::string_view& text) {
  size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  const size_t digitsStart = at;
  while (at < text.size() && isHeaderDigit(text[at])) ++at;
  bool digits = at > digitsStart;
  if (at < text.size() && text[at] == '.') {
    const size_t fraction = ++at;
    while (at < text.size() && isHeaderDigit(text[at])) ++at;
    digits = digits || at > fraction;
  }
  const size_t mantissaEnd = at;
  size_t numberEnd = at;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E') &&
      (at + 1 >= text.size() || (text[at + 1] != 'm' && text[at + 1] != 'x'))) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    const size_t exponent = at;
    while (at < text.size() && isHeaderDigit(text[at])) ++at;
    numberEnd = at > exponent ? at : mantissaEnd;
  }
  double value = 0;
  if (digits) {
    const size_t sign = text.front() == '+' ? 1 : 0;  // from_chars takes no plus sign
    std::from_chars(text.data() + sign, text.data() + numberEnd, value);
  }
  text.remove_prefix(at);
  return static_cast<float>(value);
}

// What the decoder has read of the svg elements so far.
struct SvgRoot {
  float width = 0, height = 0;
  float viewWidth = 0, viewHeight = 0;
  float fontSize = 0;
};

// A length in pixels as the decoder converts it: real units at 96 dots per inch, em and ex of the font size,
// a percentage of `whole`, a number without a unit as pixels.
float svgLength(std::string_view text, const SvgRoot& root, float whole) {
  const float value = svgNumber(text);
  const auto unit = [&](const char* name) { return text.substr(0, 2) == name; };
  constexpr float kDpi = 96.0f;
  if (unit("pt")) return value / 72.0f * kDpi;
  if (unit("pc")) return value / 6.0f * kDpi;
  if (unit("mm")) return value / 25.4f * kDpi;
  if (unit("cm")) return value / 2.54f * kDpi;
  if (unit("in")) return value * kDpi;
  if (unit("em")) return value * root.fontSize;
  if (unit("ex")) return value * root.fontSize * 0.52f;
  if (!text.empty() && text.front() == '%') return value / 100.0f * whole;
  return value;
}

// A font-size declaration, in an attribute of its own or in a style attribute's list.
void readFontSize(std::string_view value, SvgRoot& root) {
  const float diagonal =
      std::sqrt(root.viewWidth * root.viewWidth + root.viewHeight * root.viewHeight) / std::sqrt(2.0f);
  root.fontSize = svgLength(value, root, diagonal);
}

void readStyle(std::string_view style, SvgRoot& root) {
  const auto trimmed = [](std::string_view text) {
    while (!text.empty() && isHeaderSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isHeaderSpace(text.back())) text.remove_suffix(1);
    return text;
  };
  while (!style.empty()) {
    const size_t end = std::min(style.find(';'), style.size());
    const std::string_view declaration = style.substr(0, end);
    style.remove_prefix(std::min(end + 1, style.size()));
    const size_t colon = declaration.find(':');
    if (colon == std::string_view::npos) continue;
    if (trimmed(declaration.substr(0, colon)) == "font-size")
      readFontSize(trimmed(declaration.substr(colon + 1)), root);
  }
}

// The view box's four numbers; false when it ends early, where the decoder stops reading the element.
bool readViewBox(std::string_view text, SvgRoot& root) {
  float numbers[4] = {};
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      while (!text.empty() && (isHeaderSpace(text.front()) || text.front() == '%' || text.front() == ',')) {
        text.remove_prefix(1);
      }
      if (text.empty()) return false;
    }
    numbers[i] = svgNumber(text);
    if (i == 2) root.viewWidth = numbers[2];
    if (i == 3) root.viewHeight = numbers[3];
  }
  return true;
}

// The attributes of a start tag's text as the decoder splits them: a name up to white space or '=', then a
// value between the next pair of matching quotes; visit returns false to stop.
template <typename Visit>
void svgAttributes(std::string_view tag, Visit visit) {
  size_t at = 0;
  for (;;) {
    while (at < tag.size() && isHeaderSpace(tag[at])) ++at;
    if (at == tag.size() || tag[at] == '/') return;
    const size_t nameStart = at;
    while (at < tag.size() && !isHeaderSpace(tag[at]) && tag[at] != '=') ++at;
    const std::string_view name = tag.substr(nameStart, at - nameStart);
    if (at < tag.size()) ++at;
    while (at < tag.size() && tag[at] != '"' && tag[at] != '\'') ++at;
    if (at == tag.size()) return;
    const char quote = tag[at++];
    const size_t valueStart = at;
    while (at < tag.size() && tag[at] != quote) ++at;
    if (!visit(name, tag.substr(valueStart, at - valueStart))) return;
    if (at < tag.size()) ++at;
  }
}

void readSvgElement(std::string_view attributes, SvgRoot& root) {
  svgAttributes(attributes, [&](std::string_view name, std::string_view value) {
    if (name == "style") readStyle(value, root);
    if (name == "font-size") readFontSize(value, root);
    if (name == "width") root.width = svgLength(value, root, 0.0f);
    if (name == "height") root.height = svgLength(value, root, 0.0f);
    return name != "viewBox" || readViewBox(value, root);
  });
}

// Every svg start tag outside defs, found as the decoder's scanner finds elements (from '<' to the next '>',
// skipping end tags, comments and processing instructions), each read over what the ones before gave.
SvgRoot svgRoot(std::string_view document) {
  SvgRoot root;
  bool inDefs = false;
  for (size_t open = document.find('<'); open != std::string_view::npos; open = document.find('<', open + 1)) {
    const size_t close = document.find('>', open + 1);
    if (close == std::string_view::npos) break;
    std::string_view element = document.substr(open + 1, close - open - 1);
    open = close;
    while (!element.empty() && isHeaderSpace(element.front())) element.remove_prefix(1);
    const bool end = !element.empty() && element.front() == '/';
    if (end) element.remove_prefix(1);
    size_t nameEnd = 0;
    while (nameEnd < element.size() && !isHeaderSpace(element[nameEnd])) ++nameEnd;
    const std::string_view name = element.substr(0, nameEnd);
    const bool selfClosing = !element.empty() && element.back() == '/';
    if (name == "defs" && !selfClosing) inDefs = !end;
    if (!end && !inDefs && name == "svg") readSvgElement(element.substr(nameEnd), root);
  }
  return root;
}

// The side the decoder's surface gets for a length: rounded up in single precision.
int64_t pixelsUpTo(double length) {
  return static_cast<int64_t>(std::ceil(static_cast<float>(std::min(length, 1e15))));
}

}  // namespace

// The size as the decoder reads it from the document (which ends at its first zero byte); none (0 x 0) when a
// side is not there, or not positive: the decoder then sizes the document by its shapes, or refuses it. A
// document past the most one may hold is refused once that much is read.
std::optional<DeclaredImage> declaredSvgSize(HeaderReader& reader) {
  const auto most = static_cast<size_t>(std::max<int64_t>(reader.budget().maxSvgBytes, 0));
  std::string document = reader.rest(most);
  if (document.size() > most) return DeclaredImage{0, 0, true, "SVG document is too large"};
  document.resize(std::min(document.size(), document.find('\0')));
  const SvgRoot root = svgRoot(document);
  const double width = root.width != 0 ? root.width : root.viewWidth;
  const double height = root.height != 0 ? root.height : root.viewHeight;
  DeclaredImage image{0, 0, true};
  if (width > 0 && height > 0) {
    image.width = pixelsUpTo(width);
    image.height = pixelsUpTo(height);
  }
  return image;
}
