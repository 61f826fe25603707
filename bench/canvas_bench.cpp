// canvas.resize: a row resized into a column (whose cost must grow with the row's length, not its square),
// and the ordinary cases of a photograph shrunk and an icon enlarged.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "ratio_reporter.h"
#include "render/canvas_resize.h"

namespace {

CanvasBitmap patterned(int32_t width, int32_t height) {
  CanvasBitmap bitmap(width, height);
  for (size_t i = 0; i < bitmap.pixels.size(); ++i)
    bitmap.pixels[i] = 0xFF000000u | static_cast<uint32_t>(i * 2654435761u);
  return bitmap;
}

// An N x 1 canvas resized to 1 x N.
void BM_ResizeRowToColumn(benchmark::State& state) {
  const auto length = static_cast<int32_t>(state.range(0));
  const CanvasBitmap row = patterned(length, 1);
  for (auto _ : state) benchmark::DoNotOptimize(resizeCanvas(row, 1, length));
}
BENCHMARK(BM_ResizeRowToColumn)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_ResizeShrink2000To500(benchmark::State& state) {
  const CanvasBitmap photo = patterned(2000, 2000);
  for (auto _ : state) benchmark::DoNotOptimize(resizeCanvas(photo, 500, 500));
}
BENCHMARK(BM_ResizeShrink2000To500)->Unit(benchmark::kMillisecond);

void BM_ResizeEnlarge500To2000(benchmark::State& state) {
  const CanvasBitmap icon = patterned(500, 500);
  for (auto _ : state) benchmark::DoNotOptimize(resizeCanvas(icon, 2000, 2000));
}
BENCHMARK(BM_ResizeEnlarge500To2000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.printRatio("resize N x 1 to 1 x N, N = 20,000 / 5,000", "BM_ResizeRowToColumn/20000",
                      "BM_ResizeRowToColumn/5000", 5.0, "ms");
  benchmark::Shutdown();
  return 0;
}
