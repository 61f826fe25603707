// Display widths of texts in terminal columns, as codePointWidth counts each character (unicode_props.h): the
// width of a range of a text, the character at a column, and how much of a range fits in a number of columns.
// The characters that start inside the range are measured whole, even one that runs past its end. Characters
// are decoded leniently; malformed bytes throw Utf8Error. Sums saturate instead of overflowing, since the
// caller chooses the width of zero-width characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct WidthOptions {
  int ambiguousWidth = 1;
  int64_t zeroWidth = 0;  // the width of default-ignorable and Grapheme_Extend characters
};

// Bytes [start, end) of `text`.
struct WidthRange {
  std::string_view text;
  size_t start = 0;
  size_t end = 0;
};

int64_t textWidth(const WidthRange& range, const WidthOptions& options);

// The character that covers `column` (from 1): its index from 1, the column within it (from 1) and its width.
// Past the range's end, `found` is false and `index` is the number of characters.
struct ColumnPosition {
  bool found = false;
  uint64_t index = 0;
  int64_t columnInCharacter = 0;
  int64_t width = 0;
};

ColumnPosition characterAtColumn(const WidthRange& range, int64_t column, const WidthOptions& options);

// How much of the range fits in `limit` columns: from the front when limit >= 0 (`kept` is the offset just past
// the prefix kept, `remaining` the columns left over), from the back when limit < 0 (`kept` is the offset of
// the suffix kept, `remaining` the columns left over as a number <= 0). Characters are kept while they fit, and
// the walk stops once the columns are used up: zero-width characters after the last one that filled them are
// not kept, nor read.
struct WidthFit {
  size_t kept = 0;
  int64_t remaining = 0;
};

WidthFit fitWidth(const WidthRange& range, int64_t limit, const WidthOptions& options);
