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

bool graphemeBreak(uint32_t previous, uint32_t codepoint, utf8proc_int32_t& state) {
  return utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                          static_cast<utf8proc_int32_t>(codepoint), &state);
}

}  // namespace

bool hasRunWithoutWhiteSpaceOver(const char* text, size_t length, size_t bound) {
  size_t run = 0;
  for (const char* at = text; at < text + length;) {
    uint32_t codepoint = 0;
    at = nextUtf8CodepointUnchecked(at, codepoint);
    run = isWhiteSpace(codepoint) ? 0 : run + 1;
    if (run > bound) return true;
  }
  return false;
}

ShapingWalk::ShapingWalk(const char* text, size_t length, size_t maxCodepoints)
    : text_(text), length_(text != nullptr ? length : 0), maxCodepoints_(std::max<size_t>(maxCodepoints, 1)) {
  codepointStarts_.reserve(std::min(maxCodepoints_, kShapingPieceCodepoints) + 1);
  openWindow(0);
}

void ShapingWalk::openWindow(size_t start) {
  codepointStarts_.clear();
  window_ = ShapingWindow{};
  window_.start = window_.end = window_.shortestCut = window_.latestCut = static_cast<uint32_t>(start);
  if (start >= length_) return;
  // The last grapheme boundary within the bound, and the last of them after white space (not one that a mark
  // follows, which belongs to the space's cluster). A window that ends early there leaves text with no better
  // cut behind for the windows after it, so no part of the text is scanned more than a few times.
  size_t afterSpace = 0;
  size_t graphemeCut = 0;
  size_t at = start;
  uint32_t previous = 0;
  uint32_t codepoint = 0;
  utf8proc_int32_t graphemeState = 0;
  const auto boundaryBefore = [&](uint32_t following) {
    if (!graphemeBreak(previous, following, graphemeState)) return;
    graphemeCut = at;
    if (isWhiteSpace(previous)) afterSpace = at;
  };
  while (at < length_ && codepointStarts_.size() < maxCodepoints_) {
    codepointStarts_.push_back(static_cast<uint32_t>(at));
    const size_t next = static_cast<size_t>(nextUtf8CodepointUnchecked(text_ + at, codepoint) - text_);
    if (at > start) boundaryBefore(codepoint);
    at = std::min(next, length_);
    previous = codepoint;
  }
  size_t end = at;
  if (at < length_) {
    nextUtf8CodepointUnchecked(text_ + at, codepoint);
    boundaryBefore(codepoint);  // a cluster begins right past the window
    end = afterSpace > start ? afterSpace : (graphemeCut > start ? graphemeCut : at);
  }
  while (!codepointStarts_.empty() && codepointStarts_.back() >= end) codepointStarts_.pop_back();
  codepointStarts_.push_back(static_cast<uint32_t>(end));
  const size_t codepoints = codepointStarts_.size() - 1;
  const size_t quarter = std::max<size_t>(maxCodepoints_ / 4, 1);
  const size_t eighth = std::max<size_t>(maxCodepoints_ / 8, 1);
  window_.end = static_cast<uint32_t>(end);
  window_.shortestCut = codepointStarts_[std::min(quarter, codepoints)];
  window_.latestCut = end >= length_ ? window_.end : codepointStarts_[codepoints - std::min(eighth, codepoints)];
  shapedCodepoints_ += codepoints;
}

uint32_t ShapingWalk::endPiece(size_t safeCut) {
  if (done()) return window_.start;
  uint32_t end = window_.end;
  const size_t windowCodepoints = codepointStarts_.size() - 1;
  size_t pieceCodepoints = windowCodepoints;
  const auto cut = std::lower_bound(codepointStarts_.begin(), codepointStarts_.end(), safeCut);
  const bool atCodepoint = cut != codepointStarts_.end() && *cut == safeCut;
  if (window_.end < length_ && safeCut > window_.start && safeCut <= window_.latestCut && atCodepoint) {
    const auto progress = static_cast<size_t>(cut - codepointStarts_.begin());
    if (safeCut >= window_.shortestCut ||
        shapedCodepoints_ <= kShapedPerCoveredCodepoint * (coveredCodepoints_ + progress) + windowCodepoints) {
      end = static_cast<uint32_t>(safeCut);
      pieceCodepoints = progress;
    }
  }
  coveredCodepoints_ += pieceCodepoints;
  openWindow(end);
  return end;
}
