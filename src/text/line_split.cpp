// Line cutting and its statistics. The vote looks at no more than 64 endings, so a huge text costs one pass.
#include "text/line_split.h"

#include <cstring>

namespace {

constexpr int kVotingEndings = 64;
constexpr uint64_t kMostReservedSlots = 65536;

struct EndingTally {
  uint64_t count = 0;
  uint64_t firstOrdinal = UINT64_MAX;  // never seen

  void add(uint64_t ordinal) {
    if (count++ == 0) firstOrdinal = ordinal;
  }
  bool beats(const EndingTally& other) const {
    return count > other.count || (count == other.count && count > 0 && firstOrdinal < other.firstOrdinal);
  }
};

// Finds the next CR or LF at or after `from`; returns the text size when there is none.
size_t findLineBreak(std::string_view text, size_t from) {
  const char* at = text.data() + from;
  const char* end = text.data() + text.size();
  while (at < end) {
    const char c = *at;
    if (c == '\n' || c == '\r') return static_cast<size_t>(at - text.data());
    ++at;
  }
  return text.size();
}

}  // namespace

std::string_view lineEndingText(LineEnding ending) {
  switch (ending) {
    case LineEnding::Lf:
      return "\n";
    case LineEnding::CrLf:
      return "\r\n";
    case LineEnding::Cr:
      return "\r";
    case LineEnding::None:
      break;
  }
  return "";
}

LineEndingVote voteLineEndings(std::string_view text) {
  EndingTally lf;
  EndingTally crlf;
  EndingTally cr;
  uint64_t seen = 0;
  size_t position = 0;
  while (seen < kVotingEndings) {
    position = findLineBreak(text, position);
    if (position == text.size()) break;
    if (text[position] == '\n') {
      lf.add(seen);
      position += 1;
    } else if (position + 1 < text.size() && text[position + 1] == '\n') {
      crlf.add(seen);
      position += 2;
    } else {
      cr.add(seen);
      position += 1;
    }
    ++seen;
  }
  LineEndingVote vote;
  EndingTally winner = lf;
  if (crlf.beats(winner)) {
    vote.dominant = LineEnding::CrLf;
    winner = crlf;
  }
  if (cr.beats(winner)) vote.dominant = LineEnding::Cr;
  uint64_t slots = seen + 1;
  if (seen == kVotingEndings && position < text.size()) {
    slots =
        static_cast<uint64_t>(static_cast<double>(text.size()) * kVotingEndings / static_cast<double>(position)) + 1;
  }
  vote.reserveSlots = slots < kMostReservedSlots ? slots : kMostReservedSlots;
  return vote;
}

bool LineCutter::next(LinePiece* piece) {
  if (done_) return false;
  const size_t lineBreak = findLineBreak(text_, position_);
  piece->text = text_.substr(position_, lineBreak - position_);
  if (lineBreak == text_.size()) {
    piece->ending = LineEnding::None;
    done_ = true;
    return true;
  }
  if (text_[lineBreak] == '\n') {
    piece->ending = LineEnding::Lf;
    position_ = lineBreak + 1;
  } else if (lineBreak + 1 < text_.size() && text_[lineBreak + 1] == '\n') {
    piece->ending = LineEnding::CrLf;
    position_ = lineBreak + 2;
  } else {
    piece->ending = LineEnding::Cr;
    position_ = lineBreak + 1;
  }
  return true;
}

void LineSplitStats::addPiece(const LinePiece& piece) {
  ++lineCount;
  if (piece.text.size() > longestLength) {
    longestLength = piece.text.size();
    longestIndex = lineCount;
  }
  if (piece.ending == LineEnding::Lf || piece.ending == LineEnding::CrLf) hasLf = true;
  if (piece.ending == LineEnding::Cr || piece.ending == LineEnding::CrLf) hasCr = true;
  if (piece.ending == LineEnding::None) {
    if (!piece.text.empty()) {
      finalEnding = LineEnding::None;
      finalEndingCount = 0;
    }
    return;
  }
  if (!piece.text.empty() || piece.ending != previousEnding) {
    finalEnding = piece.ending;
    finalEndingCount = 1;
  } else {
    ++finalEndingCount;
  }
  previousEnding = piece.ending;
}
