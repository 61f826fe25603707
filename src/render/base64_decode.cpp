// The strict Base64 decoder: quartets of four valid characters; only the last quartet of an input whose
// length is a multiple of four may end in "=" or "=="; a trailing group of two or three characters stands
// for an unpadded end.
#include "render/base64_decode.h"

#include <array>
#include <new>
#include <stdexcept>

namespace {

constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> makeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (uint8_t& value : table) value = kInvalid;
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t i = 0; i < alphabet.size(); ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<uint8_t>(i);
  return table;
}

constexpr std::array<uint8_t, 256> kDecodeTable = makeDecodeTable();

uint8_t valueOf(char c) { return kDecodeTable[static_cast<unsigned char>(c)]; }

// Decodes one quartet; `last` allows the padded endings. False for invalid input.
bool decodeQuartet(std::string_view quartet, bool last, std::vector<uint8_t>& bytes) {
  const uint8_t c0 = valueOf(quartet[0]), c1 = valueOf(quartet[1]);
  if (c0 == kInvalid || c1 == kInvalid) return false;
  bytes.push_back(static_cast<uint8_t>((c0 << 2) | (c1 >> 4)));
  if (last && quartet[2] == '=') return quartet[3] == '=';
  const uint8_t c2 = valueOf(quartet[2]);
  if (c2 == kInvalid) return false;
  bytes.push_back(static_cast<uint8_t>(((c1 << 4) | (c2 >> 2)) & 0xFF));
  if (last && quartet[3] == '=') return true;
  const uint8_t c3 = valueOf(quartet[3]);
  if (c3 == kInvalid) return false;
  bytes.push_back(static_cast<uint8_t>(((c2 << 6) | c3) & 0xFF));
  return true;
}

// The unpadded end of two or three characters.
bool decodeRemainder(std::string_view rest, std::vector<uint8_t>& bytes) {
  for (char c : rest) {
    if (valueOf(c) == kInvalid) return false;
  }
  const uint8_t c0 = valueOf(rest[0]), c1 = valueOf(rest[1]);
  bytes.push_back(static_cast<uint8_t>((c0 << 2) | (c1 >> 4)));
  if (rest.size() == 3) bytes.push_back(static_cast<uint8_t>(((c1 << 4) | (valueOf(rest[2]) >> 2)) & 0xFF));
  return true;
}

}  // namespace

Base64Status decodeBase64Strict(std::string_view text, std::vector<uint8_t>& bytes) {
  const size_t remainder = text.size() % 4;
  if (remainder == 1) return Base64Status::Invalid;
  bytes.clear();
  try {
    bytes.reserve(3 * (text.size() / 4) + (remainder == 0 ? 0 : remainder - 1));
  } catch (const std::length_error&) {
    return Base64Status::TooLarge;
  } catch (const std::bad_alloc&) {
    return Base64Status::OutOfMemory;
  }
  const size_t quartetBytes = text.size() - remainder;
  for (size_t at = 0; at < quartetBytes; at += 4) {
    const bool last = remainder == 0 && at + 4 == quartetBytes;
    if (!decodeQuartet(text.substr(at, 4), last, bytes)) return Base64Status::Invalid;
  }
  if (remainder != 0 && !decodeRemainder(text.substr(quartetBytes), bytes)) return Base64Status::Invalid;
  return Base64Status::Decoded;
}
