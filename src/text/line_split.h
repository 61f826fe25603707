// Cutting a text into lines: the line-ending vote over the first 64 endings, the line pieces themselves and
// the statistics gathered while cutting (longest line, endings present, how the text ends).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

enum class LineEnding : uint8_t { None, Lf, CrLf, Cr };

std::string_view lineEndingText(LineEnding ending);

// The dominant ending among the first 64 and the number of array slots to reserve for the lines.
struct LineEndingVote {
  LineEnding dominant = LineEnding::Lf;
  uint64_t reserveSlots = 1;
};

LineEndingVote voteLineEndings(std::string_view text);

struct LinePiece {
  std::string_view text;  // without its ending
  LineEnding ending = LineEnding::None;
};

// Yields the pieces between endings in order; the piece after the last ending is a line too, even when empty.
class LineCutter {
 public:
  explicit LineCutter(std::string_view text) : text_(text) {}
  bool next(LinePiece* piece);

 private:
  std::string_view text_;
  size_t position_ = 0;
  bool done_ = false;
};

struct LineSplitStats {
  uint64_t lineCount = 0;
  uint64_t longestLength = 0;
  uint64_t longestIndex = 1;
  bool hasCr = false;
  bool hasLf = false;
  LineEnding finalEnding = LineEnding::None;  // the ending the text ends with
  uint64_t finalEndingCount = 0;
  LineEnding previousEnding = LineEnding::None;

  void addPiece(const LinePiece& piece);
};
