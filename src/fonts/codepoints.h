// Codepoint helpers shared by every text path of the font code: the strict UTF-8 decoder, the zero-advance
// and visibility tests, keycap sequences and the test for text that only a shaper lays out right.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr uint32_t kReplacementCharacter = 0xFFFD;
inline constexpr uint32_t kUnicodeLimit = 0x110000;  // first value beyond U+10FFFF

// Decodes one UTF-8 sequence at `text` into `codepoint` and returns the pointer past it. An overlong,
// surrogate, out-of-range or cut sequence yields U+FFFD and consumes one byte. A null pointer or output
// returns `text` unchanged. NUL is decoded like any byte below 0x80.
const char* nextUtf8Codepoint(const char* text, uint32_t* codepoint);
// The same without the null checks, for loops that already hold a valid pointer.
const char* nextUtf8CodepointUnchecked(const char* text, uint32_t& codepoint);

// Codepoints whose advance is forced to 0: combining marks, joiners, variation selectors, emoji modifiers.
bool isZeroAdvanceCodepoint(uint32_t codepoint);
// U+0021 and above, outside the zero-advance set: a missing glyph of it is drawn as a box.
bool isVisibleCodepoint(uint32_t codepoint);
bool isVariationSelector(uint32_t codepoint);
// A whole text of "#", "*" or a digit, an optional variation selector, then U+20E3.
bool isKeycapSequence(const char* text);
// Whether a NUL-terminated text holds a codepoint that needs HarfBuzz (marks, joiners, selectors, regional
// indicators, emoji modifiers, right-to-left and complex scripts); false for null, empty and ASCII text.
bool textNeedsShaping(const char* text);

// UTF-16 big-endian bytes as UTF-8: a surrogate pair is one codepoint, any other surrogate U+FFFD, an odd
// trailing byte is ignored.
std::string utf16BigEndianToUtf8(const uint8_t* bytes, size_t length);
