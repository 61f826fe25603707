// The pieces a text is handed to HarfBuzz in. Some of HarfBuzz's work grows with the square of a run (a mark
// looks back over every mark and default-ignorable before it for its base; clusters merge over whole runs),
// so a run is shaped at most kShapingPieceCodepoints codepoints at a time, cut where the pieces meet least:
// after white space, else between grapheme clusters, else anywhere. Text no longer than the bound is one piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr size_t kShapingPieceCodepoints = 256;

// Bytes [start, start + length) of the text.
struct ShapingPiece {
  uint32_t start = 0;
  uint32_t length = 0;
};

// The pieces of the NUL-terminated UTF-8 text of `length` bytes at `text`, in text order, each of at most `maxCodepoints` codepoints
// (a bad sequence counts as one codepoint per byte, as the decoder reads it), together the whole text. Time
// linear in the text; no pieces for an empty text.
std::vector<ShapingPiece> shapingPieces(const char* text, size_t length,
                                        size_t maxCodepoints = kShapingPieceCodepoints);
