#include "text/utf8_width.h"

#include "text/unicode_props.h"
#include "text/utf8_codec.h"

namespace {

int widthAt(const char* at, const char* end, const char** next, const WidthOptions& options) {
  uint32_t c = 0;
  *next = at + decodeOrThrow(at, end, &c);
  return c < 0x7F ? 1 : codePointWidth(c, options.ambiguousWidth, options.zeroWidth);
}

}  // namespace

uint64_t textWidth(std::string_view text, const WidthOptions& options) {
  uint64_t width = 0;
  const char* end = text.data() + text.size();
  for (const char* at = text.data(); at < end;) width += static_cast<uint64_t>(widthAt(at, end, &at, options));
  return width;
}

ColumnPosition characterAtColumn(std::string_view text, int64_t column, const WidthOptions& options) {
  ColumnPosition position;
  position.index = 1;
  const char* end = text.data() + text.size();
  for (const char* at = text.data(); at < end; ++position.index) {
    const int width = widthAt(at, end, &at, options);
    if (column <= width) {
      position.found = true;
      position.columnInCharacter = column;
      position.width = width;
      return position;
    }
    column -= width;
  }
  return position;
}

WidthFit fitWidth(std::string_view text, int64_t limit, const WidthOptions& options) {
  WidthFit fit;
  const char* end = text.data() + text.size();
  if (limit >= 0) {
    int64_t used = 0;
    const char* kept = text.data();
    while (kept < end) {
      const char* next = nullptr;
      const int width = widthAt(kept, end, &next, options);
      if (used + width > limit) break;
      used += width;
      kept = next;
    }
    fit.bytes = static_cast<uint64_t>(kept - text.data());
    fit.remaining = limit - used;
    return fit;
  }
  int64_t used = 0;
  size_t kept = text.size();
  while (kept > 0) {
    const size_t previous = previousCharacterStart(text, kept);
    const char* unused = nullptr;
    const int width = widthAt(text.data() + previous, end, &unused, options);
    if (-(used + width) < limit) break;  // more than |limit| columns, without negating the limit
    used += width;
    kept = previous;
  }
  fit.bytes = text.size() - kept;
  fit.remaining = limit + used;
  return fit;
}
