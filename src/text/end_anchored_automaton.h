// Whether a pattern that ends in the "$" anchor matches the text before a position, answered for position
// after position of one subject in time linear in the subject's length. A search of the text before each
// position would cost the square of it. Only patterns of single-byte items qualify (the simple programs of
// pattern_program.h): the matcher tries every choice of their quantified items, so a match reaches the end
// exactly when the text is in the pattern's regular language, which a bit-parallel automaton decides. One bit
// per item stands for "the items before this one have matched"; the bit past the last item accepts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

class EndAnchoredAutomaton {
 public:
  // The automaton of `pattern` (its last item the end anchor) matched at the subject's start, as
  // MatchPattern::matchAt at offset 0 does; null when the pattern has other items or too many to count in one
  // word.
  static std::unique_ptr<const EndAnchoredAutomaton> forMatchAtStart(std::string_view pattern);
  // The same for a search from the subject's start, as SearchPattern::findFrom without the plain shortcut
  // does: a match may begin anywhere, or only at the start when the pattern begins with "^".
  static std::unique_ptr<const EndAnchoredAutomaton> forSearch(std::string_view pattern);

  // Where a walk over one subject stands: the position reached and the items live there.
  struct Walk {
    size_t position = 0;
    uint64_t states = 0;
    bool started = false;
  };

  // Moves `walk` to `position` (from the subject's start when it is behind) and tells whether the text of
  // `subject` before that position matches.
  bool matchesBefore(Walk& walk, std::string_view subject, size_t position) const;

 private:
  EndAnchoredAutomaton() = default;
  static std::unique_ptr<const EndAnchoredAutomaton> compile(std::string_view pattern, bool anywhere);
  uint64_t closure(uint64_t states) const;
  uint64_t step(uint64_t states, unsigned char byte) const;

  std::array<uint64_t, 256> itemsTaking_{};  // per byte: the items whose byte set holds it
  uint64_t skippable_ = 0;                   // items that may match nothing ("*", "-", "?")
  uint64_t repeating_ = 0;                   // items that may take another byte ("*", "-", and "+" after its first)
  uint64_t accepting_ = 0;
  uint64_t restart_ = 0;  // the first item's bit when a match may begin anywhere
};
