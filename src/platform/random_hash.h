// Random 128-bit identifiers written as 32 lowercase hexadecimal digits.
#pragma once

#include <array>
#include <string_view>

using RandomHash = std::array<char, 32>;

// A fresh identifier from a generator seeded anew from the system's random device on every call. Throws
// the random device's std::exception when it cannot be opened or read.
RandomHash makeRandomHash();

// True when text is exactly 32 characters of 0-9 and a-f.
bool isRandomHash(std::string_view text);
