// Every code point against the Unicode Character Database files of the installed unicode-data package: case
// maps, case folding, the pattern classes and display widths.
#include "text/unicode_props.h"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "text/unicode_tables.h"

namespace {

constexpr uint32_t kCodePoints = 0x110000;

using CodePointSet = std::vector<bool>;

// The ";"-separated fields of a line without its comment, trimmed; empty fields (trailing ones too) are kept.
std::vector<std::string> splitFields(const std::string& line) {
  const std::string data = line.substr(0, line.find('#'));
  std::vector<std::string> fields;
  for (size_t start = 0;;) {
    const size_t end = std::min(data.find(';', start), data.size());
    const std::string field = data.substr(start, end - start);
    const size_t first = field.find_first_not_of(' ');
    const size_t last = field.find_last_not_of(' ');
    fields.push_back(first == std::string::npos ? "" : field.substr(first, last - first + 1));
    if (end == data.size()) return fields;
    start = end + 1;
  }
}

// Calls visit(first, last, fields) for every data line of a UCD file.
template <typename Visit>
void readUcdFile(const std::string& name, Visit visit) {
  std::ifstream file(std::string(QZ_UCD_DIR) + "/" + name);
  ASSERT_TRUE(file) << name;
  for (std::string line; std::getline(file, line);) {
    const std::vector<std::string> fields = splitFields(line);
    if (fields.size() < 2 || fields[0].empty()) continue;
    const size_t dots = fields[0].find("..");
    const auto first = static_cast<uint32_t>(std::stoul(fields[0].substr(0, dots), nullptr, 16));
    const auto last =
        dots == std::string::npos ? first : static_cast<uint32_t>(std::stoul(fields[0].substr(dots + 2), nullptr, 16));
    visit(first, last, fields);
  }
}

// The code points that have `value` in column 1 (and `second` in column 2 when given) of a UCD file.
CodePointSet propertySet(const std::string& file, const std::string& value, const std::string& second = "") {
  CodePointSet set(kCodePoints);
  readUcdFile(file, [&](uint32_t first, uint32_t last, const std::vector<std::string>& fields) {
    if (fields[1] != value || (!second.empty() && (fields.size() < 3 || fields[2] != second))) return;
    for (uint32_t c = first; c <= last; ++c) set[c] = true;
  });
  return set;
}

struct UnicodeDataEntry {
  std::string category = "Cn";
  uint32_t upper = 0;
  uint32_t lower = 0;
  uint32_t title = 0;
  bool assigned = false;
};

const std::vector<UnicodeDataEntry>& unicodeData() {
  static const std::vector<UnicodeDataEntry> entries = [] {
    std::vector<UnicodeDataEntry> data(kCodePoints);
    for (uint32_t c = 0; c < kCodePoints; ++c) data[c].upper = data[c].lower = data[c].title = c;
    uint32_t rangeStart = 0;
    readUcdFile("UnicodeData.txt", [&](uint32_t code, uint32_t, const std::vector<std::string>& fields) {
      const auto mapping = [&](size_t index, uint32_t fallback) {
        return fields[index].empty() ? fallback : static_cast<uint32_t>(std::stoul(fields[index], nullptr, 16));
      };
      if (fields[1].find(", First>") != std::string::npos) rangeStart = code;
      const uint32_t first = fields[1].find(", Last>") != std::string::npos ? rangeStart : code;
      for (uint32_t c = first; c <= code; ++c) {  // the code points of a range map to themselves
        data[c] = {fields[2], mapping(12, c), mapping(13, c), 0, true};
        data[c].title = mapping(14, data[c].upper);
      }
    });
    return data;
  }();
  return entries;
}

bool categoryIn(const std::string& category, std::initializer_list<const char*> list) {
  for (const char* item : list) {
    if (category == item || (item[1] == '*' && category[0] == item[0])) return true;
  }
  return false;
}

TEST(UnicodeProps, TablesAreOfUtf8procsUnicodeVersion) {
  EXPECT_STREQ(unicode_tables::kVersion, utf8proc_unicode_version());
}

TEST(UnicodeProps, CaseMapsAreTheSimpleMappingsOfUnicodeData) {
  const std::vector<UnicodeDataEntry>& data = unicodeData();
  for (uint32_t c = 0; c < kCodePoints; ++c) {
    ASSERT_EQ(simpleUppercase(c), data[c].upper) << std::hex << c;
    ASSERT_EQ(simpleLowercase(c), data[c].lower) << std::hex << c;
    ASSERT_EQ(simpleTitlecase(c), data[c].title) << std::hex << c;
  }
  EXPECT_EQ(simpleUppercase(0x7FFFFFFF), 0x7FFFFFFFu);
}

TEST(UnicodeProps, FoldingIsCaseFoldingStatusesCAndS) {
  std::map<uint32_t, uint32_t> folds;
  readUcdFile("CaseFolding.txt", [&](uint32_t code, uint32_t, const std::vector<std::string>& fields) {
    if (fields[1] == "C" || fields[1] == "S") folds[code] = static_cast<uint32_t>(std::stoul(fields[2], nullptr, 16));
  });
  for (uint32_t c = 0; c < kCodePoints; ++c) {
    const auto fold = folds.find(c);
    ASSERT_EQ(simpleCaseFold(c), fold == folds.end() ? c : fold->second) << std::hex << c;
  }
}

TEST(UnicodeProps, ClassesAreTheirProperties) {
  const std::vector<UnicodeDataEntry>& data = unicodeData();
  const CodePointSet alphabetic = propertySet("DerivedCoreProperties.txt", "Alphabetic");
  const CodePointSet lowercase = propertySet("DerivedCoreProperties.txt", "Lowercase");
  const CodePointSet uppercase = propertySet("DerivedCoreProperties.txt", "Uppercase");
  const CodePointSet extend = propertySet("DerivedCoreProperties.txt", "Grapheme_Extend");
  const CodePointSet space = propertySet("PropList.txt", "White_Space");
  const CodePointSet hex = propertySet("PropList.txt", "Hex_Digit");
  for (uint32_t c = 0; c < kCodePoints; ++c) {
    const std::string& gc = data[c].category;
    const bool graphic = extend[c] || (!space[c] && !categoryIn(gc, {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}));
    const std::pair<int, bool> expected[] = {
        {'a', alphabetic[c]}, {'c', categoryIn(gc, {"Cc", "Cf"})},
        {'d', gc == "Nd"},    {'g', graphic},
        {'l', lowercase[c]},  {'p', categoryIn(gc, {"P*", "Sm", "Sc", "Sk"})},
        {'s', space[c]},      {'t', extend[c]},
        {'u', uppercase[c]},  {'w', alphabetic[c] || categoryIn(gc, {"Nd", "Nl", "No"})},
        {'x', hex[c]},        {'z', c == 0},
    };
    for (const auto& [letter, member] : expected) {
      ASSERT_EQ(inUnicodeClass(c, letter), member) << std::hex << c << " %" << static_cast<char>(letter);
    }
    ASSERT_EQ(isGraphemeExtend(c), extend[c]) << std::hex << c;
  }
}

TEST(UnicodeProps, AsciiClassesAreTheCLocales) {
  const std::pair<int, int (*)(int)> classes[] = {{'a', isalpha}, {'c', iscntrl}, {'d', isdigit}, {'g', isgraph},
                                                  {'l', islower}, {'p', ispunct}, {'s', isspace}, {'u', isupper},
                                                  {'w', isalnum}, {'x', isxdigit}};
  for (uint32_t c = 0; c < 128; ++c) {
    for (const auto& [letter, test] : classes) {
      EXPECT_EQ(inUnicodeClass(c, letter), test(static_cast<int>(c)) != 0) << c << " %" << static_cast<char>(letter);
    }
    EXPECT_FALSE(inUnicodeClass(c, 't'));
  }
}

// Unassigned code points too: the database lists reserved wide and default-ignorable ones.
TEST(UnicodeProps, WidthsFollowEastAsianWidthAndIgnorables) {
  const CodePointSet wide = propertySet("EastAsianWidth.txt", "W");
  const CodePointSet full = propertySet("EastAsianWidth.txt", "F");
  const CodePointSet ambiguous = propertySet("EastAsianWidth.txt", "A");
  const CodePointSet ignorable = propertySet("DerivedCoreProperties.txt", "Default_Ignorable_Code_Point");
  const CodePointSet extend = propertySet("DerivedCoreProperties.txt", "Grapheme_Extend");
  for (uint32_t c = 0; c < kCodePoints; ++c) {
    ASSERT_EQ(isDefaultIgnorable(c), ignorable[c]) << std::hex << c;
    for (const auto& [ambiguousWidth, zeroWidth] : {std::pair{1, int64_t{0}}, std::pair{2, int64_t{-3}}}) {
      int64_t expected = 1;
      if (ignorable[c] || extend[c]) {
        expected = zeroWidth;
      } else if (wide[c] || full[c]) {
        expected = 2;
      } else if (ambiguous[c]) {
        expected = ambiguousWidth;
      }
      ASSERT_EQ(codePointWidth(c, ambiguousWidth, zeroWidth), expected) << std::hex << c;
    }
  }
  EXPECT_EQ(codePointWidth(0x7FFFFFFF, 2, 0), 1);
}

}  // namespace
