// A Lua pattern parsed once into items that the matcher runs without looking at the pattern text again. Every
// single-byte item (a literal, ".", a class such as "%a", a set) becomes a 256-bit byte set, built with the
// "C" locale's classes, so matching one byte is one bit test. A malformed part becomes a failing item at the
// place where Lua's matcher would notice it, so the error is raised only when a match attempt gets that far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string_view>
#include <vector>

constexpr int kPatternMaxCaptures = 32;       // Lua's capture limit
constexpr int kPatternRecursionBudget = 200;  // Lua's limit on nested matcher calls
constexpr int kSimplePatternChoices = 32;     // quantified items a simple program may have

enum class PatternErrorKind : uint8_t {
  TooComplex,
  EndsWithEscape,
  MissingBracket,
  MissingBalanceArguments,
  MissingFrontierBracket,
  InvalidCaptureIndex,
  InvalidPatternCapture,
  TooManyCaptures,
  UnfinishedCapture,
  InvalidUtf8Code,  // a stray byte in a pattern over code points
};

struct PatternByteSet {
  uint64_t words[4] = {};

  bool has(unsigned char byte) const { return (words[byte >> 6] >> (byte & 63)) & 1; }
  void add(unsigned char byte) { words[byte >> 6] |= uint64_t{1} << (byte & 63); }
};

enum class PatternOp : uint8_t {
  Single,           // one byte from `set`, with an optional quantifier
  OpenCapture,      // "("
  PositionCapture,  // "()"
  CloseCapture,     // ")"
  EndAnchor,        // "$" as the last pattern byte
  Balance,          // "%b" with `first` and `second`
  Frontier,         // "%f" with `set`
  BackReference,    // "%" and the digit in `first`
  Malformed,        // raises `error` when reached
  End,
};

struct PatternItem {
  PatternOp op = PatternOp::End;
  char quantifier = 0;  // "*", "+", "-", "?" or 0 (Single only)
  unsigned char first = 0;
  unsigned char second = 0;
  PatternErrorKind error = PatternErrorKind::TooComplex;
  bool anyByte = false;  // `set` holds every byte (".", "[^%z]" and the like)
  PatternByteSet set;
};

class PatternProgram {
 public:
  explicit PatternProgram(std::string_view pattern,
                          std::pmr::memory_resource* memory = std::pmr::get_default_resource());

  const PatternItem* items() const { return items_.data(); }
  // The bytes every match must begin with, when the first item that consumes a byte cannot be skipped and
  // nothing before it can raise an error; attempts at other bytes fail without running the matcher.
  const std::optional<PatternByteSet>& leadBytes() const { return leadBytes_; }
  // The one byte of leadBytes() when it holds exactly one, else -1 (searches then jump with memchr).
  int leadByte() const { return leadByte_; }
  // True when the program is single-byte items only (an end anchor may close it), with at most
  // kSimplePatternChoices quantified ones: it can neither capture nor raise an error, and nests matcher calls
  // too little to use up the recursion budget.
  bool simple() const { return simple_; }

 private:
  void findLeadBytes();
  void findSimple();

  std::pmr::vector<PatternItem> items_;
  std::optional<PatternByteSet> leadBytes_;
  int leadByte_ = -1;
  bool simple_ = false;
};

// For an unanchored pattern that ends in the "$" anchor and whose items each match at most one byte or repeat
// the text of a capture closed before them, the longest text it can match; a search then only needs to start
// that close to the subject's end. Patterns that could raise an error on some attempt give no bound, so
// skipping attempts never hides an error.
std::optional<size_t> endAnchoredMatchBound(std::string_view pattern);

// True when the pattern holds none of Lua's special pattern bytes (so it can only match itself).
bool patternHasNoSpecials(std::string_view pattern);
