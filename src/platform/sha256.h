// SHA-256 of FIPS 180-4: an incremental hasher for streamed data (downloads) and a one-shot digest of bytes
// in memory. Nothing here allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

using Sha256State = std::array<uint32_t, 8>;
using Sha256Bytes = std::array<uint8_t, 32>;
// The digest as 64 lowercase hexadecimal characters, high nibble first, no terminating zero.
using Sha256Hex = std::array<char, 64>;

inline constexpr size_t kSha256BlockSize = 64;
inline constexpr Sha256State kSha256InitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Hashes bytes fed in any number of pieces; finish() pads and gives the digest, after which the hasher
// starts over (as if newly made).
class Sha256 {
 public:
  void update(const void* data, size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  Sha256Bytes finish();
  Sha256Hex finishHex();

 private:
  Sha256State state_ = kSha256InitialState;
  uint64_t length_ = 0;  // bytes fed so far
  std::array<unsigned char, kSha256BlockSize> pending_{};
  size_t pendingSize_ = 0;
};

// The digest of bytes in memory.
Sha256Hex sha256Digest(std::string_view bytes);

inline std::string_view sha256HexView(const Sha256Hex& hex) { return {hex.data(), hex.size()}; }
