// Display widths of texts in terminal columns, as codePointWidth counts each character (unicode_props.h): the
// width of a text, the character at a column, and how much of a text fits in a number of columns. The texts
// are decoded leniently; malformed bytes throw Utf8Error.
#pragma once

#include <cstdint>
#include <string_view>

struct WidthOptions {
  int ambiguousWidth = 1;
  int zeroWidth = 0;  // the width of default-ignorable and Grapheme_Extend characters
};

uint64_t textWidth(std::string_view text, const WidthOptions& options);

// The character that covers `column` (from 1): its index from 1, the column within it (from 1) and its width.
// Past the text's end, `found` is false and `index` is one more than the number of characters.
struct ColumnPosition {
  bool found = false;
  uint64_t index = 0;
  int64_t columnInCharacter = 0;
  int width = 0;
};

ColumnPosition characterAtColumn(std::string_view text, int64_t column, const WidthOptions& options);

// How much of the text fits in `limit` columns: from the front when limit >= 0 (`bytes` is the length of the
// prefix kept, `remaining` the columns left over, >= 0), from the back when limit < 0 (`bytes` is the length of
// the suffix kept, `remaining` the columns left over as a number <= 0). Characters are kept while they fit, so
// zero-width ones right after the last kept character are kept too.
struct WidthFit {
  uint64_t bytes = 0;
  int64_t remaining = 0;
};

WidthFit fitWidth(std::string_view text, int64_t limit, const WidthOptions& options);
