// Costs of the file services that scripts call per file: path text, reference parsing, reads and saves.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "host/file_location.h"
#include "host/path_resolution.h"
#include "host/path_text.h"
#include "platform/atomic_write.h"
#include "platform/file_read.h"
#include "platform/remove_tree.h"

namespace {

constexpr std::string_view kTypicalPath = "/home/user/projects/editor//src/core/../views/document_view.lua/";

void BM_NormalizePath(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(normalizePath(kTypicalPath, PathStyle::Posix));
}
BENCHMARK(BM_NormalizePath);

void BM_AbsolutePath(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(absolutePath("src/../views/a.zip:/doc/b.txt", "/home/user/p", "/", PathStyle::Posix));
  }
}
BENCHMARK(BM_AbsolutePath);

void BM_ParseFileReference(benchmark::State& state) {
  FileReference reference;
  std::string message;
  for (auto _ : state) {
    parseFileReference("/home/user/archive.zip:/docs/readme.txt:120:4-130:1,@5-90", true, reference, message,
                       PathStyle::Posix);
    benchmark::DoNotOptimize(reference);
  }
}
BENCHMARK(BM_ParseFileReference);

// A scratch directory for the file benchmarks, removed at the end.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qz-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDirectory() {
    int ignored = 0;
    if (!path_.empty()) removeTree(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void BM_WriteFileAtomic(benchmark::State& state) {
  const ScratchDirectory scratch;
  const std::string content(static_cast<size_t>(state.range(0)), 'x');
  const std::string target = scratch.path() + "/saved.txt";
  for (auto _ : state) {
    if (writeFileAtomic(target, content).status != AtomicWriteStatus::Written) state.SkipWithError("save failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_WriteFileAtomic)->Arg(4 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void BM_ReadWholeFile(benchmark::State& state) {
  const ScratchDirectory scratch;
  const std::string target = scratch.path() + "/read.bin";
  writeFileAtomic(target, std::string(static_cast<size_t>(state.range(0)), 'r'));
  std::string data;
  FileStepError error;
  for (auto _ : state) {
    if (!readFileRange(target, 0, kNoByteLimit, data, error)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ReadWholeFile)->Arg(4 << 10)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
