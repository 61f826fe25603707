#include "text/utf8_normalize.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>
#include <new>

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

struct FreeDeleter {
  void operator()(utf8proc_uint8_t* bytes) const { std::free(bytes); }
};

std::string composed(std::string_view text) {
  utf8proc_uint8_t* result = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                   &result, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  const std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owner(result);
  if (length == UTF8PROC_ERROR_NOMEM) throw std::bad_alloc();
  if (length < 0) notValid();
  return std::string(reinterpret_cast<const char*>(result), static_cast<size_t>(length));
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
