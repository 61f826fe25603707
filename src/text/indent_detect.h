// Indentation style from a sample of lines: tabs or spaces, and for spaces the most likely indent width.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

constexpr int kMaxIndentWidth = 32;

struct IndentStats {
  uint64_t width[kMaxIndentWidth + 1] = {};  // width[n]: lines with exactly n leading spaces
  uint64_t delta[kMaxIndentWidth + 1] = {};  // delta[d]: indentation changes of exactly d spaces
  uint64_t spaceLines = 0;
  uint64_t tabLines = 0;
  uint64_t previous = 0;
  bool hasPrevious = false;

  void addLine(std::string_view line);
  void forgetPrevious() { hasPrevious = false; }
};

enum class IndentType : uint8_t { Undecided, Tabs, Spaces };

struct IndentVerdict {
  IndentType type = IndentType::Undecided;
  int size = 0;  // spaces only; 0 when no width stands out
};

// Calls `visit` with the 1-based line indexes to examine out of `count` (every line up to 128, else 16 windows
// of 8 lines); `windowStart` is true on the first line of each window, where the previous indent is forgotten.
void forEachSampledLine(uint64_t count, const std::function<void(uint64_t index, bool windowStart)>& visit);

IndentVerdict decideIndent(const IndentStats& stats);
