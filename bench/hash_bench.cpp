// SHA-256 of 64 MiB of random bytes by sha256Digest, next to the system's sha256sum tool over the same bytes
// in a file (the tool's time includes its start and reading the file from the page cache).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "platform/sha256.h"

namespace {

constexpr size_t kInputSize = 64u << 20;

const std::string& input() {
  static const std::string bytes = [] {
    std::mt19937_64 generator(7);
    std::string out(kInputSize, '\0');
    for (size_t i = 0; i < kInputSize; i += 8) {
      const uint64_t value = generator();
      for (size_t k = 0; k < 8; ++k) out[i + k] = static_cast<char>(value >> (8 * k));
    }
    return out;
  }();
  return bytes;
}

void BM_Sha256Digest(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(sha256Digest(input()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kInputSize));
}

void BM_Sha256sumTool(benchmark::State& state) {
  const std::string path = "/tmp/qz-bench-" + std::to_string(getpid()) + "-sha256";
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(input().data(), 1, input().size(), file);
  std::fclose(file);
  const std::string command = "sha256sum " + path + " > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("sha256sum failed");
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kInputSize));
}

BENCHMARK(BM_Sha256Digest)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sha256sumTool)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
