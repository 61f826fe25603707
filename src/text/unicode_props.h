// Unicode properties of single code points, over utf8proc (categories, case maps, widths, grapheme classes)
// and the generated tables (the properties utf8proc lacks). Code points above U+10FFFF, which lenient decoding
// lets through, have no properties: they are unassigned, map to themselves and are one column wide.
#pragma once

#include <cstdint>

// Whether `letter` names one of the pattern classes (either case): a c d g l p s t u w x z.
bool isUnicodeClassLetter(int letter);

// Membership in the class a lower-case class letter names:
//   a Alphabetic; c Cc Cf; d Nd; g neither White_Space nor Cc Cf Cs Co Cn Zl Zp, or Grapheme_Extend;
//   l Lowercase; p P*, Sm, Sc, Sk; s White_Space; t Grapheme_Extend; u Uppercase; w Alphabetic, Nd, Nl, No;
//   x Hex_Digit; z U+0000.
// On ASCII each class is the "C" locale's class of the same letter (t is empty there).
bool inUnicodeClass(uint32_t codePoint, int letter);

// The ASCII members of that class as a 128-bit set (bit c of word c / 64); empty for a letter naming no class.
void asciiClassMembers(int letter, uint64_t members[2]);

bool isWhiteSpace(uint32_t codePoint);
bool isHexDigit(uint32_t codePoint);
bool isGraphemeExtend(uint32_t codePoint);
bool isDefaultIgnorable(uint32_t codePoint);

// Simple (one code point to one) case maps of UnicodeData.txt, and the simple case folding (C and S).
uint32_t simpleLowercase(uint32_t codePoint);
uint32_t simpleUppercase(uint32_t codePoint);
uint32_t simpleTitlecase(uint32_t codePoint);
uint32_t simpleCaseFold(uint32_t codePoint);

// Columns one code point takes: `zeroWidth` for default-ignorable and Grapheme_Extend code points, 2 for East
// Asian Wide and Fullwidth, `ambiguousWidth` for East Asian Ambiguous, 1 for everything else (controls too).
// Unassigned code points count as the database lists them: reserved ones of the wide blocks are wide, reserved
// default-ignorable ones take `zeroWidth`.
int64_t codePointWidth(uint32_t codePoint, int ambiguousWidth, int64_t zeroWidth);
