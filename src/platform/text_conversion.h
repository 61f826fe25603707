// UTF-8 <-> UTF-16 conversion with the rules of the Windows UTF-8 code page: malformed input is replaced by
// U+FFFD rather than refused, NUL units are converted like any other, and an empty result means failure.
// Latin-1 (the X clipboard's STRING) to UTF-8: every byte is the code point of its value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

std::u16string utf8ToWide(std::string_view text);
std::string wideToUtf8(std::u16string_view text);

std::string latin1ToUtf8(std::string_view text);
// The byte size of latin1ToUtf8(text), known before the text is made.
size_t latin1AsUtf8Size(std::string_view text);
