// Strict Base64 (RFC 4648 standard alphabet) for image data handed over as text: no white space, no line
// breaks, no URL-safe letters, padding only at the very end; unpadded input is accepted.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

enum class Base64Status { Decoded, Invalid, TooLarge, OutOfMemory };

// Decodes text into bytes (replacing their content). Leftover bits of the last character are dropped
// unchecked. On any status but Decoded the bytes are unspecified.
Base64Status decodeBase64Strict(std::string_view text, std::vector<uint8_t>& bytes);
