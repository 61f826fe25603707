// Decompression of untrusted bytes as gzip, zlib and raw DEFLATE, under a small output limit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "services/compression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  constexpr uint64_t kLimit = 1 << 20;
  std::string output, error;
  detectContainer(input);
  gzipDecompress(input, output, kLimit, error);
  inflateDecompress(input, output, true, kLimit, error);
  inflateDecompress(input, output, false, kLimit, error);
  return 0;
}
