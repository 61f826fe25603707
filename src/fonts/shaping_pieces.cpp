// Cutting a text into the pieces HarfBuzz shapes one after another.
#include "fonts/shaping_pieces.h"

#include <utf8proc.h>

#include <algorithm>

#include "fonts/codepoints.h"

namespace {

bool isWhiteSpace(uint32_t codepoint) {
  if (codepoint == '\t' || codepoint == '\n' || codepoint == '\r') return true;
  return codepoint >= 0x20 && utf8proc_category(static_cast<utf8proc_int32_t>(codepoint)) == UTF8PROC_CATEGORY_ZS;
}

}  // namespace

std::vector<ShapingPiece> shapingPieces(const char* text, size_t length, size_t maxCodepoints) {
  std::vector<ShapingPiece> pieces;
  if (text == nullptr || length == 0) return pieces;
  maxCodepoints = std::max<size_t>(maxCodepoints, 1);
  size_t start = 0;
  while (start < length) {
    // One window of at most maxCodepoints codepoints from `start`: the last cut after white space and the
    // last grapheme boundary inside it. Each window scans at most the bound, and the next one starts at the
    // cut taken, past which this window found no better cut, so no part of the text is scanned more than a few
    // times.
    size_t afterSpace = 0;
    size_t graphemeCut = 0;
    size_t at = start;
    size_t count = 0;
    uint32_t previous = 0;
    utf8proc_int32_t graphemeState = 0;
    while (at < length && count < maxCodepoints) {
      uint32_t codepoint = 0;
      const size_t next = static_cast<size_t>(nextUtf8CodepointUnchecked(text + at, codepoint) - text);
      if (count > 0 && utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                                        static_cast<utf8proc_int32_t>(codepoint), &graphemeState)) {
        graphemeCut = at;
      }
      at = std::min(next, length);
      ++count;
      if (isWhiteSpace(codepoint)) afterSpace = at;
      previous = codepoint;
    }
    if (at < length) {  // does a grapheme cluster begin right past the window?
      uint32_t codepoint = 0;
      nextUtf8CodepointUnchecked(text + at, codepoint);
      if (utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                           static_cast<utf8proc_int32_t>(codepoint), &graphemeState)) {
        graphemeCut = at;
      }
    }
    size_t end = at;
    if (at < length) end = afterSpace > start ? afterSpace : (graphemeCut > start ? graphemeCut : at);
    pieces.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)});
    start = end;
  }
  return pieces;
}
