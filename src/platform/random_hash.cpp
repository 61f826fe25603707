// A 64-bit Mersenne Twister seeded from eight draws of the default random device through a seed sequence;
// two 64-bit draws make the identifier.
#include "platform/random_hash.h"

#include <algorithm>
#include <cstdint>
#include <random>

RandomHash makeRandomHash() {
  std::random_device device("default");
  uint32_t seeds[8];
  for (uint32_t& seed : seeds) seed = device();
  std::seed_seq sequence(std::begin(seeds), std::end(seeds));
  std::mt19937_64 generator(sequence);
  static constexpr char kDigits[] = "0123456789abcdef";
  RandomHash hash;
  for (size_t half = 0; half < 2; ++half) {
    uint64_t value = generator();
    for (size_t i = 16; i-- > 0; value >>= 4) hash[16 * half + i] = kDigits[value & 0x0f];
  }
  return hash;
}

bool isRandomHash(std::string_view text) {
  return text.size() == 32 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}
