// Declared sizes of the image formats whose headers are text: PNM, XPM and XV thumbnails, each read as its
// SDL_image decoder reads it, and no further than kMostTextHeaderBytes (an XPM image no larger than the most
// one may hold).
#include <algorithm>
#include <string>
#include <string_view>

#include "render/image_header_reader.h"

namespace {

// The decoder reads a colour's key from its line buffer of 32 bytes at the pixel's characters plus one: past
// the buffer from 31 characters a pixel.
constexpr int64_t kXpmMostCharactersPerPixel = 30;

// A PNM header number: white space and '#' comments first, then digits (the terminating byte is read too);
// none on a non-digit or a number the decoder would refuse as too long.
std::optional<int64_t> pnmNumber(HeaderReader& reader) {
  std::optional<uint8_t> c;
  do {
    c = reader.textByte();
    while (c && *c == '#') {
      do c = reader.textByte();
      while (c && *c != '\r' && *c != '\n');
    }
  } while (c && isHeaderSpace(*c));
  if (!c || !isHeaderDigit(*c)) return std::nullopt;
  int64_t number = 0;
  for (; c && isHeaderDigit(*c); c = reader.textByte()) {
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
    while (at < text.size() && isHeaderSpace(text[at])) ++at;
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    if (at == text.size() || !isHeaderDigit(text[at])) break;
    int64_t value = 0;
    for (; at < text.size() && isHeaderDigit(text[at]); ++at)
      value = std::min<int64_t>(value * 10 + (text[at] - '0'), 1LL << 40);
    values[found] = negative ? -value : value;
  }
  return found;
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
  const int64_t most = reader.budget().maxXpmBytes;
  if (reader.remaining() > most) return DeclaredImage{0, 0, false, "XPM image is too large"};
  std::optional<uint8_t> c;
  while ((c = reader.textByte()) && *c != '"') {
  }
  std::string values;
  while ((c = reader.textByte()) && *c != '"') values.push_back(static_cast<char>(*c));
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
    for (std::optional<uint8_t> c; (c = reader.textByte());) {
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
