#include "text/utf8_width.h"

#include <algorithm>
#include <limits>

#include "text/unicode_props.h"
#include "text/utf8_codec.h"

namespace {

int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

int64_t saturatingSubtract(int64_t a, int64_t b) {
  int64_t difference = 0;
  if (!__builtin_sub_overflow(a, b, &difference)) return difference;
  return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

// The width of the character at `at`, decoded up to the text's end; *next is set past it.
int64_t widthAt(std::string_view text, size_t at, size_t* next, const WidthOptions& options) {
  uint32_t c = 0;
  *next = at + decodeOrThrow(text.data() + at, text.data() + text.size(), &c);
  return c < 0x7F ? 1 : codePointWidth(c, options.ambiguousWidth, options.zeroWidth);
}

}  // namespace

int64_t textWidth(const WidthRange& range, const WidthOptions& options) {
  int64_t width = 0;
  for (size_t at = range.start; at < range.end;) width = saturatingAdd(width, widthAt(range.text, at, &at, options));
  return width;
}

ColumnPosition characterAtColumn(const WidthRange& range, int64_t column, const WidthOptions& options) {
  ColumnPosition position;
  for (size_t at = range.start; at < range.end; ++position.index) {
    const int64_t width = widthAt(range.text, at, &at, options);
    if (column <= width) {
      position.found = true;
      ++position.index;
      position.columnInCharacter = column;
      position.width = width;
      return position;
    }
    column = saturatingSubtract(column, width);
  }
  return position;
}

WidthFit fitWidth(const WidthRange& range, int64_t limit, const WidthOptions& options) {
  WidthFit fit;
  int64_t used = 0;
  if (limit >= 0) {
    size_t kept = range.start;
    while (kept < range.end && used != limit) {
      size_t next = 0;
      const int64_t width = widthAt(range.text, kept, &next, options);
      if (saturatingAdd(used, width) > limit) break;
      used = saturatingAdd(used, width);
      kept = next;
    }
    fit.kept = kept;
    fit.remaining = saturatingSubtract(limit, used);
    return fit;
  }
  size_t kept = range.end;
  while (kept > range.start && saturatingAdd(limit, used) != 0) {
    const size_t previous = std::max(unitBefore(range.text, kept), range.start);  // not reaching before the range
    size_t unused = 0;
    const int64_t width = widthAt(range.text, previous, &unused, options);
    if (saturatingAdd(used, width) > saturatingSubtract(0, limit)) break;
    used = saturatingAdd(used, width);
    kept = previous;
  }
  fit.kept = kept;
  fit.remaining = saturatingAdd(limit, used);
  return fit;
}
