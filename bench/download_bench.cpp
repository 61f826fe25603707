// A 256 MiB download from the test HTTP server on 127.0.0.1 into a file, hashed with SHA-256 on the way, next
// to the curl tool writing the same body to a file followed by sha256sum over it, in the same run. The
// counter rss_growth_MiB is how far the process's peak resident size rose during the downloads.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "http_fixture.h"
#include "services/download.h"

namespace {

constexpr uint64_t kBodySize = 256u << 20;

qztest::HttpFixture& server() {
  static qztest::HttpFixture fixture;
  return fixture;
}

std::string destination() { return "/tmp/qz-bench-" + std::to_string(getpid()) + "-download"; }

// The process's peak resident size in KiB; "5" in clear_refs sets the peak back to the current size.
long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_WebDownload(benchmark::State& state) {
  const std::string url = server().url("/bytes?n=" + std::to_string(kBodySize));
  web::DownloadOptions options;
  options.max_size = kBodySize;
  resetPeakResident();
  const long before = peakResidentKiB();
  for (auto _ : state) {
    const auto request = web::startDownload(url, destination(), options);
    web::DownloadResult result;
    while (!request->result(result)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!result.ok || result.size != kBodySize) state.SkipWithError(result.message.c_str());
  }
  state.counters["rss_growth_MiB"] = static_cast<double>(peakResidentKiB() - before) / 1024.0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
  std::remove(destination().c_str());
}

void BM_CurlToolAndSha256sum(benchmark::State& state) {
  const std::string command = "curl -s -o " + destination() + " '" +
                              server().url("/bytes?n=" + std::to_string(kBodySize)) + "' && sha256sum " +
                              destination() + " > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("curl or sha256sum failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
  std::remove(destination().c_str());
}

}  // namespace

BENCHMARK(BM_WebDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_CurlToolAndSha256sum)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK_MAIN();
