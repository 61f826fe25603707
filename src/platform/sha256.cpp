// SHA-256 as FIPS 180-4 defines it. Whole blocks are compressed where they lie in the caller's memory; only
// a partial block is kept, and at the end copied into a zeroed 128-byte buffer that also takes the padding (a
// second block when fewer than 9 bytes stay free in the first).
#include "platform/sha256.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t rotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t loadBigEndian32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void storeBigEndian64(unsigned char* p, uint64_t value) {
  for (int i = 7; i >= 0; --i, value >>= 8) p[i] = static_cast<unsigned char>(value);
}

// One round; the caller rotates the roles of the eight working variables instead of moving their values.
inline void round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f, uint32_t g, uint32_t& h,
                  uint32_t constantPlusWord) {
  const uint32_t t1 =
      h + (rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25)) + ((e & f) ^ (~e & g)) + constantPlusWord;
  const uint32_t t2 = (rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
  d += t1;
  h = t1 + t2;
}

void compressBlock(Sha256State& state, const unsigned char* block) {
  // The message schedule is kept as a ring of its last 16 words, each computed just before its round.
  uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = loadBigEndian32(block + 4 * i);
  const auto word = [&w](int i) {
    if (i < 16) return w[i];
    const uint32_t w15 = w[(i - 15) & 15], w2 = w[(i - 2) & 15];
    const uint32_t s0 = rotateRight(w15, 7) ^ rotateRight(w15, 18) ^ (w15 >> 3);
    const uint32_t s1 = rotateRight(w2, 17) ^ rotateRight(w2, 19) ^ (w2 >> 10);
    return w[i & 15] += s0 + w[(i - 7) & 15] + s1;
  };
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
#pragma GCC unroll 8
  for (int i = 0; i < 64; i += 8) {
    round(a, b, c, d, e, f, g, h, kRoundConstants[i] + word(i));
    round(h, a, b, c, d, e, f, g, kRoundConstants[i + 1] + word(i + 1));
    round(g, h, a, b, c, d, e, f, kRoundConstants[i + 2] + word(i + 2));
    round(f, g, h, a, b, c, d, e, kRoundConstants[i + 3] + word(i + 3));
    round(e, f, g, h, a, b, c, d, kRoundConstants[i + 4] + word(i + 4));
    round(d, e, f, g, h, a, b, c, kRoundConstants[i + 5] + word(i + 5));
    round(c, d, e, f, g, h, a, b, kRoundConstants[i + 6] + word(i + 6));
    round(b, c, d, e, f, g, h, a, kRoundConstants[i + 7] + word(i + 7));
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

void compressBlocks(Sha256State& state, const unsigned char* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += kSha256BlockSize) compressBlock(state, data);
}

// Pads the trailing tail (fewer than 64 bytes) of a message of totalLength bytes and compresses it.
void compressFinalBlocks(Sha256State& state, const unsigned char* tail, size_t tailSize, uint64_t totalLength) {
  unsigned char last[2 * kSha256BlockSize] = {};
  if (tailSize > 0) std::memcpy(last, tail, tailSize);
  last[tailSize] = 0x80;
  const size_t blocks = tailSize + 9 <= kSha256BlockSize ? 1 : 2;
  storeBigEndian64(last + blocks * kSha256BlockSize - 8, totalLength * 8);
  compressBlocks(state, last, blocks);
}

Sha256Bytes stateBytes(const Sha256State& state) {
  Sha256Bytes digest;
  for (size_t i = 0; i < state.size(); ++i) {
    for (size_t k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<uint8_t>(state[i] >> (24 - 8 * k));
  }
  return digest;
}

Sha256Hex sha256ToHex(const Sha256Bytes& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  Sha256Hex hex;
  for (size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace

void Sha256::update(const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  length_ += size;
  if (pendingSize_ > 0) {
    const size_t taken = std::min(size, kSha256BlockSize - pendingSize_);
    std::memcpy(pending_.data() + pendingSize_, bytes, taken);
    pendingSize_ += taken;
    bytes += taken;
    size -= taken;
    if (pendingSize_ < kSha256BlockSize) return;
    compressBlock(state_, pending_.data());
    pendingSize_ = 0;
  }
  compressBlocks(state_, bytes, size / kSha256BlockSize);
  pendingSize_ = size % kSha256BlockSize;
  if (pendingSize_ > 0) std::memcpy(pending_.data(), bytes + size - pendingSize_, pendingSize_);
}

Sha256Bytes Sha256::finish() {
  compressFinalBlocks(state_, pending_.data(), pendingSize_, length_);
  const Sha256Bytes digest = stateBytes(state_);
  *this = Sha256();
  return digest;
}

Sha256Hex Sha256::finishHex() { return sha256ToHex(finish()); }

Sha256Hex sha256Digest(std::string_view bytes) {
  Sha256 hasher;
  hasher.update(bytes);
  return hasher.finishHex();
}
