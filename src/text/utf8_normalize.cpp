#include "text/utf8_normalize.h"

#include <utf8proc.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "text/unicode_tables.h"
#include "text/utf8_codec.h"

namespace {

enum class QuickCheck : uint8_t { Yes, No, Maybe };

constexpr uint32_t kFirstCombiningCodePoint = 0x300;  // every code point below is NFC_QC Yes, class 0

[[noreturn]] void notValid() { throw Utf8Error("string is not valid UTF-8"); }

// The quick check of UAX #15, which stops at the first code point that rules NFC out, or at the first sequence
// that is not valid UTF-8: its offset goes to *invalidAt, which otherwise stays npos.
QuickCheck quickCheckNfc(std::string_view text, size_t* invalidAt) {
  QuickCheck answer = QuickCheck::Yes;
  int lastClass = 0;
  const char* end = text.data() + text.size();
  for (const char* at = text.data(); at < end;) {
    if (end - at >= 8 && isAsciiWord(at)) {
      at += 8;
      lastClass = 0;
      continue;
    }
    uint32_t c = 0;
    const size_t length = decodeStrict(at, end, &c);
    if (length == 0) {
      *invalidAt = static_cast<size_t>(at - text.data());
      return answer;
    }
    at += length;
    if (c < kFirstCombiningCodePoint) {
      lastClass = 0;
      continue;
    }
    const int combiningClass = utf8proc_get_property(static_cast<utf8proc_int32_t>(c))->combining_class;
    const uint8_t bits = unicode_tables::propertyBits(c);
    if ((combiningClass != 0 && lastClass > combiningClass) || (bits & unicode_tables::kNfcNo) != 0) {
      return QuickCheck::No;
    }
    if ((bits & unicode_tables::kNfcMaybe) != 0 && answer == QuickCheck::Yes) {
      answer = QuickCheck::Maybe;
    }
    lastClass = combiningClass;
  }
  return answer;
}

int combiningClassOf(utf8proc_int32_t c) {
  return c < static_cast<utf8proc_int32_t>(kFirstCombiningCodePoint) ? 0 : utf8proc_get_property(c)->combining_class;
}

constexpr size_t kShortMarkRun = 32;  // runs up to this length are sorted in place by insertion

// Sorts a run of non-starters by combining class, keeping the order of equal classes: the result of the
// exchange sort utf8proc runs over the whole text, without its quadratic cost on a long run of marks.
void sortMarkRun(utf8proc_int32_t* run, size_t length, std::vector<uint8_t>& classes,
                 std::vector<utf8proc_int32_t>& scratch) {
  if (length <= kShortMarkRun) {
    for (size_t i = 1; i < length; ++i) {
      const utf8proc_int32_t mark = run[i];
      const int markClass = combiningClassOf(mark);
      size_t j = i;
      for (; j > 0 && combiningClassOf(run[j - 1]) > markClass; --j) run[j] = run[j - 1];
      run[j] = mark;
    }
    return;
  }
  classes.resize(length);
  size_t starts[257] = {};
  for (size_t i = 0; i < length; ++i) {
    classes[i] = static_cast<uint8_t>(combiningClassOf(run[i]));
    ++starts[classes[i] + 1];
  }
  for (size_t c = 1; c < 257; ++c) starts[c] += starts[c - 1];
  scratch.resize(length);
  for (size_t i = 0; i < length; ++i) scratch[starts[classes[i]]++] = run[i];
  std::copy(scratch.begin(), scratch.end(), run);
}

// Puts every run of non-starters in canonical order.
void orderMarks(std::vector<utf8proc_int32_t>& points) {
  std::vector<uint8_t> classes;
  std::vector<utf8proc_int32_t> scratch;
  for (size_t at = 0; at < points.size();) {
    int lastClass = combiningClassOf(points[at]);
    size_t end = at + 1;
    if (lastClass == 0) {
      at = end;
      continue;
    }
    bool ordered = true;
    for (; end < points.size(); ++end) {
      const int markClass = combiningClassOf(points[end]);
      if (markClass == 0) break;
      ordered = ordered && markClass >= lastClass;
      lastClass = markClass;
    }
    if (!ordered) sortMarkRun(points.data() + at, end - at, classes, scratch);
    at = end;
  }
}

// The text in NFC: the canonical decomposition of each code point by utf8proc, canonical order, then
// utf8proc's composition and encoding. Invalid UTF-8 throws, as utf8proc refuses it.
std::string composed(std::string_view text) {
  constexpr auto options = static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE);
  std::vector<utf8proc_int32_t> points;
  points.reserve(text.size() + 1);
  const char* end = text.data() + text.size();
  utf8proc_int32_t pieces[16];
  int boundary = UTF8PROC_BOUNDCLASS_START;
  for (const char* at = text.data(); at < end;) {
    uint32_t c = 0;
    const size_t length = decodeStrict(at, end, &c);
    if (length == 0) notValid();
    at += length;
    if (c < 0xC0) {  // nothing below U+00C0 has a canonical decomposition
      points.push_back(static_cast<utf8proc_int32_t>(c));
      continue;
    }
    const utf8proc_ssize_t count =
        utf8proc_decompose_char(static_cast<utf8proc_int32_t>(c), pieces, std::size(pieces), options, &boundary);
    if (count < 0 || count > static_cast<utf8proc_ssize_t>(std::size(pieces))) notValid();
    points.insert(points.end(), pieces, pieces + count);
  }
  orderMarks(points);
  const auto count = static_cast<utf8proc_ssize_t>(points.size());
  points.push_back(0);  // utf8proc encodes in place: four bytes a code point and its terminating zero
  const utf8proc_ssize_t bytes = utf8proc_reencode(points.data(), count, options);
  if (bytes < 0) notValid();
  return std::string(reinterpret_cast<const char*>(points.data()), static_cast<size_t>(bytes));
}

}  // namespace

bool isNfc(std::string_view text) {
  size_t invalidAt = std::string_view::npos;
  const QuickCheck answer = quickCheckNfc(text, &invalidAt);
  if (answer == QuickCheck::No) return false;
  const std::string_view checked = text.substr(0, invalidAt);
  const bool nfc = answer == QuickCheck::Yes || composed(checked) == checked;
  if (nfc && invalidAt != std::string_view::npos) notValid();
  return nfc;
}

bool normalizeNfc(std::string_view text, std::string* out) {
  size_t invalidAt = std::string_view::npos;
  const QuickCheck answer = quickCheckNfc(text, &invalidAt);
  if (invalidAt != std::string_view::npos) notValid();
  if (answer == QuickCheck::Yes) return true;
  std::string result = composed(text);  // past a code point that rules NFC out, this validates the rest
  if (result == text) return true;
  *out = std::move(result);
  return false;
}

size_t GraphemeCursor::clusterEnd(std::string_view text, size_t start) {
  const char* end = text.data() + text.size();
  const char* at = text.data() + start;
  uint32_t previous = 0;
  at += decodeOrThrow(at, end, &previous);
  while (at < end) {
    uint32_t next = 0;
    const size_t length = decodeOrThrow(at, end, &next);
    if (utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous), static_cast<utf8proc_int32_t>(next),
                                         &state_)) {
      break;
    }
    previous = next;
    at += length;
  }
  return static_cast<size_t>(at - text.data());
}
