// The automaton that decides the text-before conditions, against the pattern matcher itself on generated
// patterns and subjects at every position.
#include "text/end_anchored_automaton.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "text/pattern_matcher.h"

namespace {

// Pieces of patterns of single-byte items, quantified or not; "$" mid-pattern is a literal byte.
std::string randomSimplePattern(std::mt19937& random) {
  static const char* const kItems[] = {"a", "b", " ", ".", "%a", "%s", "%d", "[ab]", "[^a]", "%.", "$", "^"};
  static const char* const kQuantifiers[] = {"", "", "", "*", "+", "-", "?"};
  std::string pattern;
  const int count = std::uniform_int_distribution(0, 5)(random);
  for (int i = 0; i < count; ++i) {
    pattern += kItems[std::uniform_int_distribution<size_t>(0, std::size(kItems) - 1)(random)];
    pattern += kQuantifiers[std::uniform_int_distribution<size_t>(0, std::size(kQuantifiers) - 1)(random)];
  }
  if (std::uniform_int_distribution(0, 3)(random) == 0) pattern.insert(0, "^");
  return pattern + "$";
}

std::string randomSubject(std::mt19937& random, size_t length) {
  static const char kBytes[] = {'a', 'b', ' ', '.', '1', '$', '^', '\0'};
  std::string subject;
  for (size_t i = 0; i < length; ++i) subject += kBytes[std::uniform_int_distribution<size_t>(0, 7)(random)];
  return subject;
}

TEST(EndAnchoredAutomaton, AgreesWithTheMatcherAtEveryPositionOfGeneratedSubjects) {
  std::mt19937 random(32);
  int checked = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::string pattern = randomSimplePattern(random);
    const auto search = EndAnchoredAutomaton::forSearch(pattern);
    const auto atStart = EndAnchoredAutomaton::forMatchAtStart(pattern);
    ASSERT_NE(search, nullptr) << pattern;
    ASSERT_NE(atStart, nullptr) << pattern;
    const std::string subject = randomSubject(random, std::uniform_int_distribution<size_t>(0, 40)(random));
    EndAnchoredAutomaton::Walk searchWalk;
    EndAnchoredAutomaton::Walk startWalk;
    for (size_t position = 0; position <= subject.size(); ++position) {
      const std::string_view before(subject.data(), position);
      size_t start = 0;
      size_t end = 0;
      EXPECT_EQ(search->matchesBefore(searchWalk, subject, position),
                patternFindFrom(before, pattern, 0, false, &start, &end, nullptr))
          << "search " << pattern << " in " << before;
      EXPECT_EQ(atStart->matchesBefore(startWalk, subject, position), patternMatchAt(before, pattern, 0, &end, nullptr))
          << "match " << pattern << " at the start of " << before;
      ++checked;
    }
  }
  EXPECT_GT(checked, 30000);
}

TEST(EndAnchoredAutomaton, AWalkThatGoesBackStartsOverAndLongSubjectsStayExact) {
  const auto spaces = EndAnchoredAutomaton::forSearch("%s+$");
  std::string line;
  for (int i = 0; i < 20000; ++i) line += "ab ";
  EndAnchoredAutomaton::Walk walk;
  EXPECT_TRUE(spaces->matchesBefore(walk, line, line.size()));
  EXPECT_FALSE(spaces->matchesBefore(walk, line, 2));  // behind the walk: from the start again
  EXPECT_TRUE(spaces->matchesBefore(walk, line, 3));
  EXPECT_FALSE(spaces->matchesBefore(walk, line, line.size() - 1));
  const auto prefix = EndAnchoredAutomaton::forMatchAtStart("[ab ]*$");
  EndAnchoredAutomaton::Walk prefixWalk;
  EXPECT_TRUE(prefix->matchesBefore(prefixWalk, line, line.size()));
  line[7] = '.';
  EXPECT_TRUE(prefix->matchesBefore(prefixWalk, line, 7));
  EXPECT_FALSE(prefix->matchesBefore(prefixWalk, line, 8));
  EXPECT_FALSE(prefix->matchesBefore(prefixWalk, line, line.size()));
}

TEST(EndAnchoredAutomaton, PatternsWithOtherItemsOrWithoutTheEndAnchorAreLeftToTheMatcher) {
  for (const char* pattern : {"(a)$", "()a$", "%ba)$", "%f[a]a$", "(a)%1$", "a", "a%$", "[a$", "%"}) {
    EXPECT_EQ(EndAnchoredAutomaton::forSearch(pattern), nullptr) << pattern;
    EXPECT_EQ(EndAnchoredAutomaton::forMatchAtStart(pattern), nullptr) << pattern;
  }
  EXPECT_EQ(EndAnchoredAutomaton::forSearch(std::string(63, 'a') + "$"), nullptr);
  EXPECT_NE(EndAnchoredAutomaton::forSearch(std::string(62, 'a') + "$"), nullptr);
}

}  // namespace
