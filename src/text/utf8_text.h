// Whole-text operations of the utf8 module that need no Lua state: case mapping, reversal, escapes, cleaning
// and caseless comparison. They decode leniently and throw Utf8Error on malformed bytes, except where a
// function says otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class CaseMapping : uint8_t { Lower, Upper, Title, Fold };

uint32_t mapCodePointCase(uint32_t codePoint, CaseMapping mapping);

// Each code point mapped alone (so a title-cased text is its code points' title forms).
std::string mapTextCase(std::string_view text, CaseMapping mapping);

// The characters in reverse order. Strictly, a character and the Grapheme_Extend marks after it move as one,
// and anything but valid UTF-8 throws; `lax` reverses units (utf8_codec.h) and never throws.
std::string reverseText(std::string_view text, bool lax);

// Expands "%ddd", "%{ddd}", "%uddd", "%u{ddd}" (decimal), "%xhhh", "%x{hhh}" (hexadecimal) into the code
// point's encoding; "%" before any other character gives that character, and a final "%" stays. Malformed
// bytes throw Utf8Error "invalid UTF-8 code", as every character is read whole. Also throws
// Utf8Error "invalid escape 'c'" for a number that is missing, unclosed or above 0x7FFFFFFF, naming the escape's
// letter, or the character inside braces that is no digit.
std::string expandEscapes(std::string_view text);

// Each run of bytes that are not valid UTF-8 becomes one `replacement`. Returns false with *out set when
// something was replaced; true (and *out untouched) when the text was valid.
bool cleanText(std::string_view text, std::string_view replacement, std::string* out);

// -1, 0 or 1 as `a` sorts before, with or after `b`, compared by simple case folds of their code points.
int compareFolded(std::string_view a, std::string_view b);
