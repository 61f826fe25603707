// UTF-8 <-> UTF-16 conversion with the rules of the Windows UTF-8 code page: malformed input is replaced by
// U+FFFD rather than refused, NUL units are converted like any other, and an empty result means failure.
#pragma once

#include <string>
#include <string_view>

std::u16string utf8ToWide(std::string_view text);
std::string wideToUtf8(std::u16string_view text);
