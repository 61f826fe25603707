// The automaton that decides the text-before conditions, against the pattern matcher itself on generated
// patterns and subjects at every position.
#include "text/end_anchored_automaton.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "text/pattern_matcher.h"

namespace {

int pick(std::mt19937& random, int most) { return std::uniform_int_distribution(0, most)(random); }

template <size_t N>
const char* pickFrom(std::mt19937& random, const char* const (&choices)[N]) {
  return choices[static_cast<size_t>(pick(random, static_cast<int>(N) - 1))];
}

// Single-byte items, quantified or not; "$" and "^" mid-pattern are literal bytes.
std::string randomSingle(std::mt19937& random) {
  static const char* const kItems[] = {"a",    "b",    " ",  ".", "%a", "%s", "%d",
                                       "[ab]", "[^a]", "%.", "$", "^",  "%(", "%)"};
  static const char* const kQuantifiers[] = {"", "", "", "*", "+", "-", "?"};
  return std::string(pickFrom(random, kItems)) + pickFrom(random, kQuantifiers);
}

// A sequence of items: single-byte ones, and with `richer` also frontiers, balances, position captures and
// captures around a shorter sequence.
std::string randomItems(std::mt19937& random, int count, bool richer, int depth = 0) {
  static const char* const kZeroWidth[] = {"%f[%a]", "%f[%s]", "%f[^a]", "%f[%z]", "%f[a(]", "()"};
  static const char* const kBalances[] = {"%b()", "%bab", "%b((", "%b)("};
  std::string pattern;
  for (int i = 0; i < count; ++i) {
    const int kind = richer ? pick(random, 9) : 0;
    if (kind <= 4) {
      pattern += randomSingle(random);
    } else if (kind <= 6) {
      pattern += pickFrom(random, kZeroWidth);
    } else if (kind == 7) {
      pattern += pickFrom(random, kBalances);
    } else if (depth < 2) {
      pattern += "(" + randomItems(random, pick(random, 3), true, depth + 1) + ")";
    }
  }
  return pattern;
}

std::string randomPattern(std::mt19937& random, bool richer) {
  std::string pattern = randomItems(random, pick(random, 5), richer);
  if (pick(random, 3) == 0) pattern.insert(0, "^");
  return pattern + "$";
}

std::string randomSubject(std::mt19937& random, size_t length) {
  static const char kBytes[] = {'a', 'b', ' ', '.', '1', '$', '^', '\0', '(', ')', 'a', ' '};
  std::string subject;
  for (size_t i = 0; i < length; ++i) subject += kBytes[pick(random, static_cast<int>(std::size(kBytes)) - 1)];
  return subject;
}

// Both automata of `pattern` against the matcher at every position of `subject`; returns the positions checked.
int checkEveryPosition(const std::string& pattern, const std::string& subject) {
  const auto search = EndAnchoredAutomaton::forSearch(pattern);
  const auto atStart = EndAnchoredAutomaton::forMatchAtStart(pattern);
  EXPECT_NE(search, nullptr) << pattern;
  EXPECT_NE(atStart, nullptr) << pattern;
  if (search == nullptr || atStart == nullptr) return 0;
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
  }
  return static_cast<int>(subject.size()) + 1;
}

// The automaton for the text after each position against the matcher on the rest of `subject`.
int checkEveryStart(const std::string& pattern, const std::string& subject) {
  const auto following = EndAnchoredAutomaton::forMatchAtEachStart(pattern);
  EXPECT_NE(following, nullptr) << pattern;
  if (following == nullptr) return 0;
  std::vector<bool> answers;
  EndAnchoredAutomaton::Walk walk;
  following->matchesFromEachPosition(subject, answers, walk);
  EXPECT_EQ(answers.size(), subject.size() + 1);
  for (size_t position = 0; position <= subject.size() && position < answers.size(); ++position) {
    const std::string_view rest = std::string_view(subject).substr(position);
    size_t end = 0;
    EXPECT_EQ(answers[position], patternMatchAt(rest, pattern, 0, &end, nullptr))
        << "match " << pattern << " at the start of " << rest;
  }
  return static_cast<int>(subject.size()) + 1;
}

TEST(EndAnchoredAutomaton, TheTextAfterEachPositionAgreesWithTheMatcher) {
  std::mt19937 random(35);
  int checked = 0;
  for (int round = 0; round < 6000; ++round) {
    std::string pattern = randomPattern(random, round % 2 == 0);
    if (pick(random, 1) == 0) pattern.pop_back();  // without the end anchor
    checked += checkEveryStart(pattern, randomSubject(random, static_cast<size_t>(pick(random, 40))));
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(checked, 60000);
  std::string line;
  for (int i = 0; i < 3000; ++i) line += "(ab) ";
  checked = checkEveryStart("%s*%b()%f[%s]", line);
  EXPECT_EQ(checked, static_cast<int>(line.size()) + 1);
}

// The starts that a backward walk admits, nearest the end first, against the matcher at each start of the
// subject (which sees the byte before the start); with back-references the walk admits at least those.
std::vector<size_t> admittedStarts(const EndAnchoredAutomaton& automaton, const std::string& subject) {
  EndAnchoredAutomaton::Walk walk;
  PatternWorkMeter meter{uint64_t{1} << 40};
  std::vector<size_t> starts;
  automaton.startBackward(walk, subject);
  size_t start = 0;
  while (automaton.previousStart(walk, subject, meter, &start)) starts.push_back(start);
  return starts;
}

std::vector<size_t> matchingStarts(const std::string& pattern, const std::string& subject) {
  std::vector<size_t> starts;
  for (size_t start = subject.size() + 1; start-- > 0;) {
    size_t end = 0;
    if (patternMatchAt(subject, pattern, start, &end, nullptr)) starts.push_back(start);
  }
  return starts;
}

TEST(EndAnchoredAutomaton, AWalkBackwardsAdmitsTheStartsOfMatchesThatReachTheEnd) {
  std::mt19937 random(37);
  int admitted = 0;
  for (int round = 0; round < 6000; ++round) {
    const std::string pattern = randomPattern(random, round % 2 == 0);
    const std::string subject = randomSubject(random, static_cast<size_t>(pick(random, 40)));
    const auto automaton = EndAnchoredAutomaton::forMatchAtEachStart(pattern);
    ASSERT_NE(automaton, nullptr) << pattern;
    const std::vector<size_t> starts = admittedStarts(*automaton, subject);
    EXPECT_EQ(starts, matchingStarts(pattern, subject)) << pattern << " in " << subject;
    admitted += static_cast<int>(starts.size());
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(admitted, 3000);
  for (int round = 0; round < 3000; ++round) {
    const std::string pattern = "(" + randomItems(random, 1 + pick(random, 2), true) + ")" +
                                randomItems(random, pick(random, 2), true) + "%1" +
                                randomItems(random, pick(random, 2), true) + "$";
    const std::string subject = randomSubject(random, static_cast<size_t>(pick(random, 30)));
    const auto automaton = EndAnchoredAutomaton::forMatchAtEachStart(pattern);
    ASSERT_NE(automaton, nullptr) << pattern;
    const std::vector<size_t> starts = admittedStarts(*automaton, subject);
    for (const size_t start : matchingStarts(pattern, subject)) {
      EXPECT_NE(std::find(starts.begin(), starts.end(), start), starts.end())
          << pattern << " at " << start << " of " << subject;
    }
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(EndAnchoredAutomaton, AWalkBackwardsStopsWhereNoMatchCanBeginAndCountsItsBytes) {
  std::string line;
  for (int i = 0; i < 20000; ++i) line += "ab ";
  line += "cd cd ";
  const auto words = EndAnchoredAutomaton::forMatchAtEachStart("(%a+)%s%1%s$");
  EndAnchoredAutomaton::Walk walk;
  PatternWorkMeter meter{100};
  words->startBackward(walk, line);
  size_t start = 0;
  std::vector<size_t> starts;
  while (words->previousStart(walk, line, meter, &start)) starts.push_back(start);
  const size_t size = line.size();
  EXPECT_EQ(starts, (std::vector<size_t>{size - 5, size - 6}));  // "d cd ", "cd cd ", then nothing before " cd cd "
  EXPECT_GT(meter.left, 90u);
  const auto anything = EndAnchoredAutomaton::forMatchAtEachStart(".*%s$");
  PatternWorkMeter small{100};
  anything->startBackward(walk, line);
  EXPECT_THROW(
      {
        while (anything->previousStart(walk, line, small, &start)) {
        }
      },
      PatternWorkExhausted);
}

TEST(EndAnchoredAutomaton, AgreesWithTheMatcherAtEveryPositionOfGeneratedSubjects) {
  std::mt19937 random(32);
  int checked = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::string pattern = randomPattern(random, false);
    checked += checkEveryPosition(pattern, randomSubject(random, static_cast<size_t>(pick(random, 40))));
  }
  EXPECT_GT(checked, 30000);
}

TEST(EndAnchoredAutomaton, CapturesFrontiersAndBalancesAgreeWithTheMatcher) {
  std::mt19937 random(33);
  int checked = 0;
  for (int round = 0; round < 6000; ++round) {
    const std::string pattern = randomPattern(random, true);
    checked += checkEveryPosition(pattern, randomSubject(random, static_cast<size_t>(pick(random, 40))));
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(checked, 60000);
}

TEST(EndAnchoredAutomaton, PatternsOfManyItemsAgreeWithTheMatcher) {
  std::mt19937 random(34);
  for (int round = 0; round < 200; ++round) {
    std::string pattern;
    for (int i = 0; i < 70; ++i) {
      static const char* const kItems[] = {"[%w ]?", "%a*", "[ab ]", "%s-", "%f[%a]", "."};
      pattern += pickFrom(random, kItems);
    }
    checkEveryPosition(pattern + "$", randomSubject(random, static_cast<size_t>(pick(random, 90))));
    if (::testing::Test::HasFailure()) return;
  }
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

TEST(EndAnchoredAutomaton, ABalanceKeepsItsOpenBytesAcrossALongWalk) {
  std::string line = "x";
  for (int i = 0; i < 5000; ++i) line += "((a) ";
  for (int i = 0; i < 5000; ++i) line += ")";
  const auto balanced = EndAnchoredAutomaton::forMatchAtStart("x%b()$");
  EndAnchoredAutomaton::Walk walk;
  EXPECT_FALSE(balanced->matchesBefore(walk, line, line.size() - 1));
  EXPECT_TRUE(balanced->matchesBefore(walk, line, line.size()));
  const auto inner = EndAnchoredAutomaton::forSearch("a%)%s%b()$");
  EndAnchoredAutomaton::Walk innerWalk;
  EXPECT_FALSE(inner->matchesBefore(innerWalk, line, 5));
  EXPECT_TRUE(inner->matchesBefore(innerWalk, line, 5 * 5000 + 1 + 1));  // the first ")" after the units
  EXPECT_TRUE(inner->matchesBefore(innerWalk, line, line.size() - 1));
  EXPECT_FALSE(inner->matchesBefore(innerWalk, line, line.size()));  // the last ")" balances the first unit's
}

// With back-references the automata may say "yes" where the matcher says no, never "no" where it says yes.
TEST(EndAnchoredAutomaton, BackReferencesGiveAutomataWhoseNoIsTheMatchers) {
  std::mt19937 random(36);
  int refused = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string pattern = "(" + randomItems(random, 1 + pick(random, 2), round % 2 == 0) + ")" +
                                randomItems(random, pick(random, 2), true) + "%1" +
                                randomItems(random, pick(random, 2), true) + (pick(random, 1) == 0 ? "(.)%2" : "");
    const std::string subject = randomSubject(random, static_cast<size_t>(pick(random, 30)));
    const auto search = EndAnchoredAutomaton::forSearch(pattern + "$");
    const auto atStart = EndAnchoredAutomaton::forMatchAtStart(pattern + "$");
    const auto following = EndAnchoredAutomaton::forMatchAtEachStart(pattern);
    ASSERT_NE(search, nullptr) << pattern;
    ASSERT_NE(atStart, nullptr) << pattern;
    ASSERT_NE(following, nullptr) << pattern;
    EXPECT_FALSE(search->exact() || atStart->exact() || following->exact()) << pattern;
    EndAnchoredAutomaton::Walk searchWalk;
    EndAnchoredAutomaton::Walk startWalk;
    std::vector<bool> followingAnswers;
    EndAnchoredAutomaton::Walk followingWalk;
    following->matchesFromEachPosition(subject, followingAnswers, followingWalk);
    for (size_t position = 0; position <= subject.size(); ++position) {
      const std::string_view before(subject.data(), position);
      size_t start = 0;
      size_t end = 0;
      const bool found = patternFindFrom(before, pattern + "$", 0, false, &start, &end, nullptr);
      const bool matched = patternMatchAt(before, pattern + "$", 0, &end, nullptr);
      const bool matchedAfter = patternMatchAt(std::string_view(subject).substr(position), pattern, 0, &end, nullptr);
      const bool searchMay = search->matchesBefore(searchWalk, subject, position);
      const bool startMay = atStart->matchesBefore(startWalk, subject, position);
      EXPECT_TRUE(searchMay || !found) << "search " << pattern << " in " << before;
      EXPECT_TRUE(startMay || !matched) << "match " << pattern << " at the start of " << before;
      EXPECT_TRUE(followingAnswers[position] || !matchedAfter) << pattern << " after " << position << " of " << subject;
      refused += !searchMay + !startMay + !followingAnswers[position];
    }
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(refused, 10000);  // the automata still turn most positions away
}

TEST(EndAnchoredAutomaton, OnlyAnEndingRunOfAnyBytesWithoutFrontiersLetsAMatchReachLaterEnds) {
  const struct {
    const char* pattern;
    bool reaches;
  } cases[] = {
      {"(a)%1.-$", true},       {"(a)%1.*$", true},        {"(a)%1.+$", true},   {"(%b())x%1.-$", true},
      {"(a)%1.?$", false},      {"(a)%1[^;]*$", false},    {"(.-)%1$", false},   {"(a.-)$", false},
      {"%f[a](a)%1.-$", false}, {"(a)%1%f[%z].-$", false}, {"(a)%1.-a$", false}, {"(a)%1", false},
  };
  for (const auto& c : cases) {
    const auto automaton = EndAnchoredAutomaton::forMatchAtEachStart(c.pattern);
    ASSERT_NE(automaton, nullptr) << c.pattern;
    EXPECT_EQ(automaton->matchesReachLaterEnds(), c.reaches) << c.pattern;
  }
}

// Where the automaton says so, a match from a start to one end is a match from that start to every later end.
TEST(EndAnchoredAutomaton, AMatchThatReachesLaterEndsDoesSoForTheMatcher) {
  std::mt19937 random(41);
  static const char* const kEndings[] = {".-", ".*", ".+", ".?", "[^a]*", "%f[%s].-", ""};
  int reaching = 0;
  for (int round = 0; round < 1500; ++round) {
    const std::string pattern = "(" + randomItems(random, 1 + pick(random, 2), true) + ")" +
                                randomItems(random, pick(random, 2), true) + "%1" + pickFrom(random, kEndings) + "$";
    const auto automaton = EndAnchoredAutomaton::forMatchAtEachStart(pattern);
    if (automaton == nullptr || !automaton->matchesReachLaterEnds()) continue;
    ++reaching;
    const std::string subject = randomSubject(random, static_cast<size_t>(pick(random, 16)));
    for (size_t start = 0; start <= subject.size(); ++start) {
      bool matched = false;
      for (size_t end = start; end <= subject.size(); ++end) {
        size_t matchEnd = 0;
        const bool matches =
            patternMatchAt(std::string_view(subject).substr(0, end), pattern, start, &matchEnd, nullptr);
        EXPECT_TRUE(matches || !matched) << pattern << " from " << start << " to " << end << " of " << subject;
        matched = matches;
      }
    }
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(reaching, 300);
}

TEST(EndAnchoredAutomaton, PatternsThatCouldRaiseAreLeftToTheMatcher) {
  const auto doubled = EndAnchoredAutomaton::forSearch("(a)%1$");
  ASSERT_NE(doubled, nullptr);
  EXPECT_FALSE(doubled->exact());
  EXPECT_TRUE(EndAnchoredAutomaton::forSearch("(a)b$")->exact());
  for (const char* pattern :
       {"%1a$", "(a%1)$", "(a)%2$", "(a)%0$", "a", "a%$", "[a$", "%", "a)$", "(a$", "%f$", "%ba$"}) {
    EXPECT_EQ(EndAnchoredAutomaton::forSearch(pattern), nullptr) << pattern;
    EXPECT_EQ(EndAnchoredAutomaton::forMatchAtStart(pattern), nullptr) << pattern;
  }
  for (const char* pattern : {"%1a", "(a%1)", "[a", "%", "a)", "(a", "%f", "%ba"}) {
    EXPECT_EQ(EndAnchoredAutomaton::forMatchAtEachStart(pattern), nullptr) << pattern;
  }
  std::string captures;
  for (int i = 0; i < 32; ++i) captures += "()";
  EXPECT_NE(EndAnchoredAutomaton::forSearch(captures + "$"), nullptr);
  EXPECT_EQ(EndAnchoredAutomaton::forSearch(captures + "()$"), nullptr);
  std::string nested;
  for (int i = 0; i < 200; ++i) nested += "a?";
  EXPECT_EQ(EndAnchoredAutomaton::forSearch(nested + "$"), nullptr);
  EXPECT_EQ(EndAnchoredAutomaton::forSearch(std::string(1024, 'a') + "$"), nullptr);
  EXPECT_NE(EndAnchoredAutomaton::forSearch(std::string(1023, 'a') + "$"), nullptr);
}

}  // namespace
