// Strict UTF-8 decoding and the code points that belong with the one before them (combining marks, variation
// selectors, the zero-width joiner, skin-tone modifiers, the second of two regional indicators), so that a
// token boundary never separates them from their base.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes one code point at `at` (leads C2..F4, no overlong forms, no surrogates, nothing above U+10FFFF, all
// of it before `end`); returns its byte length, or 0 when the sequence is invalid.
size_t decodeUtf8Strict(const char* at, const char* end, uint32_t* codePoint);

// How many bytes at the start of [start, end) attach to the code point that ends at `start` inside
// [previousStart, start); 0 when that code point cannot be decoded.
size_t attachedPrefixLength(const char* previousStart, const char* start, const char* end);
