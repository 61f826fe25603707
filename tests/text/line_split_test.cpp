#include "text/line_split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/indent_detect.h"

namespace {

std::vector<std::string> cut(std::string_view text, LineSplitStats* stats) {
  std::vector<std::string> lines;
  LineCutter cutter(text);
  LinePiece piece;
  while (cutter.next(&piece)) {
    stats->addPiece(piece);
    lines.emplace_back(piece.text);
  }
  return lines;
}

TEST(LineSplit, EveryEndingKindCutsALine) {
  LineSplitStats stats;
  EXPECT_EQ(cut("a\r\nb\rc\nd", &stats), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_TRUE(stats.hasCr);
  EXPECT_TRUE(stats.hasLf);
  EXPECT_EQ(stats.finalEnding, LineEnding::None);
}

TEST(LineSplit, TrailingEndingsCountOnlyOverEmptyLines) {
  LineSplitStats stats;
  EXPECT_EQ(cut("a\n\n", &stats).size(), 3u);
  EXPECT_EQ(stats.finalEnding, LineEnding::Lf);
  EXPECT_EQ(stats.finalEndingCount, 2u);
  LineSplitStats mixed;
  cut("a\r\n\n", &mixed);
  EXPECT_EQ(mixed.finalEnding, LineEnding::Lf);
  EXPECT_EQ(mixed.finalEndingCount, 1u);
}

TEST(LineSplit, VoteCountsOnlyTheFirstSixtyFourEndings) {
  std::string text;
  for (int i = 0; i < 64; ++i) text += "x\r\n";
  for (int i = 0; i < 100; ++i) text += "y\n";
  const LineEndingVote vote = voteLineEndings(text);
  EXPECT_EQ(vote.dominant, LineEnding::CrLf);
  EXPECT_EQ(vote.reserveSlots, static_cast<uint64_t>(text.size() * 64.0 / (64 * 3)) + 1);
}

TEST(LineSplit, TiesGoToTheEndingSeenFirst) {
  EXPECT_EQ(voteLineEndings("a\r\n\n").dominant, LineEnding::CrLf);
  EXPECT_EQ(voteLineEndings("a\n\r\n").dominant, LineEnding::Lf);
  EXPECT_EQ(voteLineEndings("x\r").dominant, LineEnding::Cr);
  EXPECT_EQ(voteLineEndings("plain").dominant, LineEnding::Lf);
}

TEST(IndentDetect, WindowsOfLongDocumentsStartWhereExpected) {
  std::vector<uint64_t> starts;
  forEachSampledLine(200, [&](uint64_t index, bool windowStart) {
    if (windowStart) starts.push_back(index);
  });
  EXPECT_EQ(starts, (std::vector<uint64_t>{1, 13, 26, 39, 52, 65, 77, 90, 103, 116, 129, 141, 154, 167, 180, 193}));
}

TEST(IndentDetect, WidthThatIsAlsoTheStepWins) {
  IndentStats stats;
  for (const char* line : {"  a", "    b", "  c"}) stats.addLine(line);
  const IndentVerdict verdict = decideIndent(stats);
  EXPECT_EQ(verdict.type, IndentType::Spaces);
  EXPECT_EQ(verdict.size, 2);
}

TEST(IndentDetect, TabsAndSpacesTieIsUndecided) {
  IndentStats stats;
  for (const char* line : {"\ta", "  b", "\tc", "  d", "   ", "\t\n"}) stats.addLine(line);
  EXPECT_EQ(decideIndent(stats).type, IndentType::Undecided);
}

}  // namespace
