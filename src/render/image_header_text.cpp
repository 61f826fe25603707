// Declared sizes of the image formats whose headers are text: PNM, XPM, XV thumbnails and SVG, each read as
// its SDL_image decoder reads it.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <string>
#include <string_view>

#include "render/image_header_reader.h"
#include "render_process/render_process.h"

namespace {

// The decoder reads a colour's key from its line buffer of 32 bytes at the pixel's characters plus one: past
// the buffer from 31 characters a pixel.
constexpr int64_t kXpmMostCharactersPerPixel = 30;

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(int c) { return c >= '0' && c <= '9'; }

// A PNM header number: white space and '#' comments first, then digits (the terminating byte is read too);
// none on a non-digit or a number the decoder would refuse as too long.
std::optional<int64_t> pnmNumber(HeaderReader& reader) {
  std::optional<uint8_t> c;
  do {
    c = reader.byte();
    while (c && *c == '#') {
      do c = reader.byte();
      while (c && *c != '\r' && *c != '\n');
    }
  } while (c && isSpace(*c));
  if (!c || !isDigit(*c)) return std::nullopt;
  int64_t number = 0;
  for (; c && isDigit(*c); c = reader.byte()) {
    if (number >= INT32_MAX / 10) return std::nullopt;
    number = number * 10 + (*c - '0');
  }
  return c ? std::optional<int64_t>(number) : std::nullopt;
}

// The leading decimal integers of `text` as %d reads them; a value past the int range counts as that range's
// end, which no limit lets through.
size_t scanIntegers(std::string_view text, int64_t* values, size_t wanted) {
  size_t found = 0, at = 0;
  for (; found < wanted; ++found) {
    while (at < text.size() && isSpace(text[at])) ++at;
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    if (at == text.size() || !isDigit(text[at])) break;
    int64_t value = 0;
    for (; at < text.size() && isDigit(text[at]); ++at)
      value = std::min<int64_t>(value * 10 + (text[at] - '0'), 1LL << 40);
    values[found] = negative ? -value : value;
  }
  return found;
}

// An SVG number as nanosvg reads one (sign, digits, fraction, exponent); the rest of the text after it.
std::optional<double> svgNumber(std::string_view& text) {
  size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  const size_t digitsStart = at;
  while (at < text.size() && isDigit(text[at])) ++at;
  if (at < text.size() && text[at] == '.') {
    ++at;
    while (at < text.size() && isDigit(text[at])) ++at;
  }
  if (at == digitsStart || (at == digitsStart + 1 && text[digitsStart] == '.')) return std::nullopt;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    size_t exponent = at + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    if (exponent < text.size() && isDigit(text[exponent])) {
      for (at = exponent; at < text.size() && isDigit(text[at]);) ++at;
    }
  }
  const size_t digits = text.front() == '+' ? 1 : 0;  // from_chars takes no plus sign
  double value = 0;
  std::from_chars(text.data() + digits, text.data() + at, value);
  text.remove_prefix(at);
  return value;
}

// A width or height attribute in pixels at 96 dots per inch; none for the units relative to something
// (%, em, ex), which leave the size to the view box or the drawing.
std::optional<double> svgLength(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  const std::optional<double> number = svgNumber(text);
  if (!number) return std::nullopt;
  const struct {
    const char* unit;
    double pixels;
  } units[] = {{"pt", 96.0 / 72.0}, {"pc", 96.0 / 6.0}, {"mm", 96.0 / 25.4}, {"cm", 96.0 / 2.54}, {"in", 96.0}};
  for (const auto& unit : units) {
    if (text.substr(0, 2) == unit.unit) return *number * unit.pixels;
  }
  if (text.substr(0, 1) == "%" || text.substr(0, 2) == "em" || text.substr(0, 2) == "ex") return std::nullopt;
  return *number;
}

// The third and fourth numbers of a viewBox attribute.
bool svgViewBoxSize(std::string_view text, double& width, double& height) {
  double numbers[4] = {};
  for (double& number : numbers) {
    while (!text.empty() && (isSpace(text.front()) || text.front() == '%' || text.front() == ',')) {
      text.remove_prefix(1);
    }
    const std::optional<double> value = svgNumber(text);
    if (!value) return false;
    number = *value;
  }
  width = numbers[2];
  height = numbers[3];
  return true;
}

// The attributes of a start tag's text as nanosvg splits them: a name up to white space or '=', then a
// value between the next pair of matching quotes.
template <typename Visit>
void svgAttributes(std::string_view tag, Visit visit) {
  size_t at = 0;
  for (;;) {
    while (at < tag.size() && isSpace(tag[at])) ++at;
    if (at == tag.size() || tag[at] == '/') return;
    const size_t nameStart = at;
    while (at < tag.size() && !isSpace(tag[at]) && tag[at] != '=') ++at;
    const std::string_view name = tag.substr(nameStart, at - nameStart);
    if (at < tag.size()) ++at;
    while (at < tag.size() && tag[at] != '"' && tag[at] != '\'') ++at;
    if (at == tag.size()) return;
    const char quote = tag[at++];
    const size_t valueStart = at;
    while (at < tag.size() && tag[at] != quote) ++at;
    visit(name, tag.substr(valueStart, at - valueStart));
    if (at < tag.size()) ++at;
  }
}

// The text inside the first svg start tag, found as nanosvg's scanner finds elements (from '<' to the
// next '>', skipping end tags, comments and processing instructions).
std::optional<std::string_view> svgRootTag(std::string_view document) {
  for (size_t open = document.find('<'); open != std::string_view::npos; open = document.find('<', open + 1)) {
    const size_t close = document.find('>', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view element = document.substr(open + 1, close - open - 1);
    while (!element.empty() && isSpace(element.front())) element.remove_prefix(1);
    size_t nameEnd = 0;
    while (nameEnd < element.size() && !isSpace(element[nameEnd])) ++nameEnd;
    if (element.substr(0, nameEnd) == "svg") return element.substr(nameEnd);
    open = close;
  }
  return std::nullopt;
}

int64_t pixelsUpTo(double length) { return static_cast<int64_t>(std::ceil(std::min(length, 1e15))); }

// The extent of what the document draws, measured by librsvg in the render process within the load's time.
RenderResult measuredDrawing(std::string_view document, const HeaderBudget& budget) {
  RenderJob job;
  job.kind = RenderJobKind::SvgExtent;
  job.document = document;
  job.timeLimit = budget.renderTimeLimit;
  job.started = budget.started;
  return runRenderJob(job);
}

}  // namespace

// "P1" to "P6": the width and the height follow the magic.
std::optional<DeclaredImage> declaredPnmSize(HeaderReader& reader) {
  const auto magic = reader.be(2);
  const std::optional<int64_t> width = magic ? pnmNumber(reader) : std::nullopt;
  const std::optional<int64_t> height = width ? pnmNumber(reader) : std::nullopt;
  if (!height || *width <= 0 || *height <= 0) return std::nullopt;
  return DeclaredImage{*width, *height, false};
}

// The first quoted string holds "<width> <height> <colours> <characters per pixel>". The decoder copies a
// pixel's characters from each colour's line out of a buffer that holds at least 32 bytes, whatever the
// line's length, and the key after them: more than 30 characters a pixel read past it. It allocates for the colours
// before reading their lines (and never finishes sizing its table for nearly 2^31): each line holds a colour's
// characters, so the data must have room for them.
std::optional<DeclaredImage> declaredXpmSize(HeaderReader& reader) {
  std::optional<uint8_t> c;
  while ((c = reader.byte()) && *c != '"') {
  }
  std::string values;
  while ((c = reader.byte()) && *c != '"') values.push_back(static_cast<char>(*c));
  int64_t fields[4] = {};
  if (!c || scanIntegers(values, fields, 4) != 4 || fields[0] <= 0 || fields[1] <= 0 || fields[2] <= 0 ||
      fields[3] <= 0) {
    return std::nullopt;
  }
  DeclaredImage image{fields[0], fields[1]};
  const int64_t remaining = reader.remaining();
  if (fields[3] > kXpmMostCharactersPerPixel || (remaining >= 0 && fields[2] * fields[3] > remaining)) {
    image.corruption = "corrupt XPM image data";
  }
  return image;
}

// "P7 332", comment lines, "#END_OF_COMMENTS", then "<width> <height> ..." on the next line.
std::optional<DeclaredImage> declaredXvSize(HeaderReader& reader) {
  const auto line = [&reader](std::string& text) {
    text.clear();
    for (std::optional<uint8_t> c; (c = reader.byte());) {
      if (*c == '\n') return true;
      if (*c != '\r' && text.size() < 1024) text.push_back(static_cast<char>(*c));
      if (text.size() == 1024) return false;
    }
    return false;
  };
  std::string text;
  if (!line(text) || text.compare(0, 6, "P7 332") != 0) return std::nullopt;
  while (line(text)) {
    if (text.compare(0, 9, "#BUILTIN:") == 0) return std::nullopt;
    if (text.compare(0, 16, "#END_OF_COMMENTS") != 0) continue;
    int64_t size[2] = {};
    if (!line(text) || scanIntegers(text, size, 2) != 2 || size[0] < 0 || size[1] < 0) return std::nullopt;
    return DeclaredImage{size[0], size[1], false};
  }
  return std::nullopt;
}

// The root element's width and height, or its view box's for a side without one, or else the extent of the
// shapes it draws, as the decoder measures the document (which ends at its first zero byte), measured in the
// render process. An SVG always gets a size here, since its decoder would otherwise size it by its own
// reading, which can be any size: none when the document has no drawing, none with the data called corrupt
// when librsvg cannot read it, and none with the render process's failure as the problem when that failed.
// A document past the most one may hold is refused once that much is read.
std::optional<DeclaredImage> declaredSvgSize(HeaderReader& reader) {
  const auto most = static_cast<size_t>(std::max<int64_t>(reader.budget().maxSvgBytes, 0));
  std::string document = reader.rest(most);
  if (document.size() > most) return DeclaredImage{0, 0, true, "SVG document is too large"};
  document.resize(std::min(document.size(), document.find('\0')));
  double width = 0, height = 0, viewWidth = 0, viewHeight = 0;
  const std::optional<std::string_view> root = svgRootTag(document);
  svgAttributes(root.value_or(""), [&](std::string_view name, std::string_view value) {
    if (name == "width") width = svgLength(value).value_or(0);
    if (name == "height") height = svgLength(value).value_or(0);
    if (name == "viewBox") svgViewBoxSize(value, viewWidth, viewHeight);
  });
  if (width == 0) width = viewWidth;
  if (height == 0) height = viewHeight;
  DeclaredImage image{0, 0, true};
  if (width == 0 || height == 0) {
    const RenderResult drawing = measuredDrawing(document, reader.budget());
    if (!drawing.drawn) {
      thread_local std::string failure;
      const bool corrupt = drawing.failure == RenderFailure::Refused || drawing.failure == RenderFailure::Unreadable;
      failure = corrupt ? "corrupt SVG image data" : drawing.error;
      image.corruption = failure.c_str();
      return image;
    }
    if (width == 0) width = drawing.extentWidth;
    if (height == 0) height = drawing.extentHeight;
  }
  if (width > 0 && height > 0) {
    image.width = pixelsUpTo(width);
    image.height = pixelsUpTo(height);
  }
  return image;
}
