// Whether a pattern that ends in the "$" anchor matches the text before a position, answered for position
// after position of one subject in time linear in the subject's length. A search of the text before each
// position would cost the square of it.
//
// Lua's matcher tries every choice of a pattern's quantified items, and nothing but a back-reference makes one
// item depend on what another matched, so when the pattern cannot raise an error the answer is whether some
// path through its items ends at the position, which one forward walk decides for every position at once. One
// bit per item stands for "the items before this one have matched here"; the bit past the last item accepts.
// Single-byte items (quantified or not) move the bits with each byte; captures match nothing and are left
// out; "%f[set]" passes a bit on where the byte before and the byte under it are on the right sides of its set
// (the byte under the end of the subject being the terminating zero); "%bxy" passes a bit from where an "x"
// is to just after the "y" that balances it, which a stack of the open "x" bytes tells as the walk reaches it.
//
// Whether a pattern matches at the start of the text from a position (a condition on the text after a match)
// is the same question asked of the reversed pattern over the reversed text, so one walk from the subject's
// end answers it for every position at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "text/pattern_matcher.h"
#include "text/pattern_program.h"

class EndAnchoredAutomaton {
 public:
  // The automaton of `pattern` (its last item the end anchor) matched at the subject's start, as
  // MatchPattern::matchAt at offset 0 does; null when the pattern could raise an error on some subject or
  // has too many items.
  static std::unique_ptr<const EndAnchoredAutomaton> forMatchAtStart(std::string_view pattern);
  // The same for a search from the subject's start, as SearchPattern::findFrom without the plain shortcut
  // does: a match may begin anywhere, or only at the start when the pattern begins with "^".
  static std::unique_ptr<const EndAnchoredAutomaton> forSearch(std::string_view pattern);

  // The automaton of `pattern` matched at the start of a subject that begins at a position of a longer one,
  // as MatchPattern::matchAt at offset 0 on the rest of the text does; the end anchor is optional. Null as
  // above.
  static std::unique_ptr<const EndAnchoredAutomaton> forMatchAtEachStart(std::string_view pattern);

  // Where a walk over one subject stands: the position reached and the items live there before the
  // zero-width items are passed over (which depends on whether the subject ends there). A walk may be used
  // again for another subject or automaton; its buffers are kept.
  struct Walk {
    size_t position = 0;
    bool started = false;
    bool finished = false;  // a walk towards the start: no match can begin at or before the position
    std::vector<uint64_t> states;
    std::vector<std::vector<bool>> openBalances;  // per "%b" item: for each "x" still open, whether it was live
    std::vector<bool> pendingBalances;            // per "%b" item whose two bytes are equal: the last "x" was live
  };

  // For every position p of `subject` (its size included), whether the pattern matches at the start of the
  // text from p; only for the automata of forMatchAtEachStart. `walk` is working memory.
  void matchesFromEachPosition(std::string_view subject, std::vector<bool>& answers, Walk& walk) const;

  // The positions from which an automaton of forMatchAtEachStart whose pattern ends in "$" matches the text
  // to the end of `subject`, from the end towards the start: startBackward places `walk` at the end, and each
  // previousStart call moves it to the next such position, or tells that no match can begin at or before
  // where it stands. Each byte passed takes one unit of `meter` (PatternWorkExhausted when it runs out).
  void startBackward(Walk& walk, std::string_view subject) const;
  bool previousStart(Walk& walk, std::string_view subject, PatternWorkMeter& meter, size_t* start) const;

  // Whether the answers are the matcher's own. A pattern with back-references gets an automaton whose "no" is
  // the matcher's and whose "yes" means only that the text may match.
  bool exact() const { return exact_; }

  // For an automaton of forMatchAtEachStart whose pattern ends in "$": whether a match from a start to the end
  // of a subject means a match from that start to every later position of a longer subject with the same bytes
  // so far. So it is when the last item before the anchor takes a run of any bytes (".*", ".-", ".+") and the
  // pattern has no frontier (which could see where the subject ends).
  bool matchesReachLaterEnds() const { return reachesLaterEnds_; }

  // Moves `walk` to `position` (from the subject's start when it is behind) and tells whether the text of
  // `subject` before that position matches.
  bool matchesBefore(Walk& walk, std::string_view subject, size_t position) const;

 private:
  struct Frontier {
    uint32_t item;
    PatternByteSet set;
    bool reversed;  // walked from the end: the byte the walk passed is the one after the frontier
  };
  struct Balance {
    uint32_t item;
    unsigned char open;
    unsigned char close;
  };

  EndAnchoredAutomaton() = default;
  enum class Direction { Forward, Backward };
  static std::unique_ptr<const EndAnchoredAutomaton> compile(std::string_view pattern, bool anywhere,
                                                             Direction direction);
  void start(Walk& walk) const;
  bool dead(const Walk& walk) const;  // no match can begin where the walk stands or past it
  void stepBack(Walk& walk, std::string_view subject, size_t position, uint64_t* live) const;
  void closure(const uint64_t* states, int previous, int current, uint64_t* live) const;
  uint64_t closureInOneWord(uint64_t states) const;
  uint64_t stepInOneWord(uint64_t states, unsigned char byte) const;
  void step(const uint64_t* live, unsigned char byte, uint64_t* next) const;
  void moveBalances(Walk& walk, const uint64_t* live, unsigned char byte, uint64_t* next) const;

  size_t words_ = 0;                   // state words: one bit per item and the accepting bit
  std::vector<uint64_t> itemsTaking_;  // per byte (words_ each): the items whose byte set holds it
  std::vector<uint64_t> skippable_;    // items that may match nothing ("*", "-", "?")
  std::vector<uint64_t> repeating_;    // items that may take another byte ("*", "-", and "+" after its first)
  std::vector<Frontier> frontiers_;
  std::vector<Balance> balances_;
  uint32_t accepting_ = 0;  // the accepting bit
  bool anywhere_ = false;   // a match may begin at any position
  bool exact_ = true;
  bool inOneWord_ = false;  // one state word and single-byte items only
  bool reachesLaterEnds_ = false;
};
