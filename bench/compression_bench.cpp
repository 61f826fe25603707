// gzip compression and decompression of a 64 MiB text corpus by the pack core, next to zlib's own one-shot
// compress2/uncompress (the same DEFLATE coder without our framing, pieces and limits) and the gzip tool.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "services/compression.h"
#include "word_text.h"

namespace {

constexpr size_t kCorpusSize = 64u << 20;
constexpr uint64_t kNoLimit = uint64_t{1} << 40;

// The benchmarks' text, built once.
const std::string& corpus() {
  static const std::string text = wordText(kCorpusSize, 12345);
  return text;
}

std::string temporaryCopy(const std::string& name, const std::string& data) {
  const std::string path = "/tmp/qz-bench-" + std::to_string(getpid()) + "-" + name;
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(data.data(), 1, data.size(), file);
  std::fclose(file);
  return path;
}

void BM_PackGzipCompress(benchmark::State& state) {
  std::string output, error;
  for (auto _ : state) {
    if (!gzipCompress(corpus(), output, {6, kNoLimit}, error)) state.SkipWithError(error.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCorpusSize));
  state.counters["ratio"] = static_cast<double>(kCorpusSize) / static_cast<double>(output.size());
}

void BM_ZlibCompress2(benchmark::State& state) {
  std::vector<Bytef> output(compressBound(kCorpusSize));
  for (auto _ : state) {
    uLongf length = output.size();
    compress2(output.data(), &length, reinterpret_cast<const Bytef*>(corpus().data()), kCorpusSize, 6);
    benchmark::DoNotOptimize(length);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCorpusSize));
}

void BM_GzipToolCompress(benchmark::State& state) {
  const std::string input = temporaryCopy("corpus", corpus());
  const std::string command = "gzip -6 -c " + input + " > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("gzip failed");
  }
  std::remove(input.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCorpusSize));
}

void BM_PackGzipDecompress(benchmark::State& state) {
  std::string compressed, output, error;
  gzipCompress(corpus(), compressed, {6, kNoLimit}, error);
  for (auto _ : state) {
    if (!gzipDecompress(compressed, output, kNoLimit, error)) state.SkipWithError(error.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCorpusSize));
}

// As above with a new output string each time, as a script gets: every page of the result is fresh memory.
void BM_PackGzipDecompressFreshOutput(benchmark::State& state) {
  std::string compressed, error;
  gzipCompress(corpus(), compressed, {6, kNoLimit}, error);
  for (auto _ : state) {
    std::string output;
    if (!gzipDecompress(compressed, output, kNoLimit, error)) state.SkipWithError(error.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCorpusSize));
}

void BM_ZlibUncompress(benchmark::State& state) {
  std::vector<Bytef> compressed(compressBound(kCorpusSize));
  uLongf compressedLength = compressed.size();
  compress2(compressed.data(), &compressedLength, reinterpret_cast<const Bytef*>(corpus().data()), kCorpusSize, 6);
  std::vector<Bytef> output(kCorpusSize);
  for (auto _ : state) {
    uLongf length = output.size();
    uncompress(output.data(), &length, compressed.data(), compressedLength);
    benchmark::DoNotOptimize(length);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCorpusSize));
}

void BM_GzipToolDecompress(benchmark::State& state) {
  std::string compressed, error;
  gzipCompress(corpus(), compressed, {6, kNoLimit}, error);
  const std::string input = temporaryCopy("corpus.gz", compressed);
  const std::string command = "gzip -dc " + input + " > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("gzip failed");
  }
  std::remove(input.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCorpusSize));
}

BENCHMARK(BM_PackGzipCompress)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ZlibCompress2)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_GzipToolCompress)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PackGzipDecompress)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PackGzipDecompressFreshOutput)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_GzipToolDecompress)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
