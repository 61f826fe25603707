// The pieces a text is handed to HarfBuzz in. Some of HarfBuzz's work grows with the square of a run (a mark
// looks back over every mark and default-ignorable before it for its base; clusters merge over whole runs),
// so a run is shaped one window of at most kShapingPieceCodepoints codepoints at a time, and a piece of it
// kept. The window ends where pieces meet least: after white space, else between grapheme clusters, else at
// the bound. The piece ends earlier, where HarfBuzz, having shaped the window, says cutting changes nothing,
// when it names such a place far enough on; else with the window. Text no longer than the bound is one window
// and one piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr size_t kShapingPieceCodepoints = 256;
// A face whose shaper never names a safe cut (Graphite) gets a text whole up to kUnflaggedWindowCodepoints,
// cut after white space past that, unless a run of it without white space is longer than
// kUnflaggedPieceCodepoints: far longer than a real word, which such a shaper may take time growing with the
// square of. Such a text goes in windows of that bound, cut after white space, else between grapheme clusters.
inline constexpr size_t kUnflaggedPieceCodepoints = 512;
inline constexpr size_t kUnflaggedWindowCodepoints = 65536;

// Whether the UTF-8 text of `length` bytes has more than `bound` codepoints in a row none of which is white space.
bool hasRunWithoutWhiteSpaceOver(const char* text, size_t length, size_t bound);

// One window, the bytes [start, end) that HarfBuzz shapes.
struct ShapingWindow {
  uint32_t start = 0;
  uint32_t end = 0;          // the text's length for the last window
  uint32_t shortestCut = 0;  // past the bound's first quarter, or `end`
  // An eighth of the bound before `end` (`start` in a window no longer than that; `end` in the last one):
  // past it, what HarfBuzz calls safe may hang on where the window stops, as a syllable or a lookup's context
  // is cut off there.
  uint32_t latestCut = 0;
};

// Walks the NUL-terminated UTF-8 text of `length` bytes at `text` window by window: the caller shapes each
// window and names the last place in it where HarfBuzz says cutting changes nothing; the walk ends the piece
// and the next window begins there. A bad sequence counts as one codepoint per byte, as the decoder reads it.
class ShapingWalk {
 public:
  ShapingWalk(const char* text, size_t length, size_t maxCodepoints = kShapingPieceCodepoints);

  bool done() const { return window_.start >= length_; }
  const ShapingWindow& window() const { return window_; }
  // Ends the window's piece at `safeCut` (0 when HarfBuzz named none) when it lies after the window's start
  // and by its latest cut, and either gets as far as the shortest cut or keeps the codepoints shaped so far
  // within kShapedPerCoveredCodepoint times those the pieces cover, and one window more; else with the
  // window. Returns the piece's end. The windows thus add up to a few times the text, however HarfBuzz calls
  // places safe.
  uint32_t endPiece(size_t safeCut);
  // Codepoints in the windows opened so far.
  size_t shapedCodepoints() const { return shapedCodepoints_; }

 private:
  static constexpr size_t kShapedPerCoveredCodepoint = 4;

  void openWindow(size_t start);

  const char* text_;
  size_t length_;
  size_t maxCodepoints_;
  ShapingWindow window_;
  std::vector<uint32_t> codepointStarts_;  // of the window's codepoints, and its end
  size_t shapedCodepoints_ = 0;
  size_t coveredCodepoints_ = 0;
};
