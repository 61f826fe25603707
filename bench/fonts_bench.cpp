// Font engine speed: glyph lookups answered from the caches, the first rasterisation of a glyph, and text
// measuring with and without shaping.
#include <benchmark/benchmark.h>

#include <vector>

#include "fonts/render_font.h"

namespace {

const char* const kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char* const kSansMono = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

// Codepoints the face has a visible glyph for: Latin letters and punctuation.
std::vector<uint32_t> drawableCodepoints() {
  std::vector<uint32_t> codepoints;
  for (uint32_t c = 0x21; c <= 0x7E; ++c) codepoints.push_back(c);
  for (uint32_t c = 0xA1; c <= 0x24F; ++c) codepoints.push_back(c);
  return codepoints;
}

// Warms the caches with every codepoint, then times `lookup` over them round and round.
template <typename Lookup>
void timeCachedLookups(benchmark::State& state, const std::vector<uint32_t>& codepoints, Lookup lookup) {
  for (uint32_t c : codepoints) lookup(c);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(lookup(codepoints[i]));
    if (++i == codepoints.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CachedGlyphMetrics(benchmark::State& state) {
  auto font = RenderFont::load(kSans, 14, 0);
  timeCachedLookups(state, drawableCodepoints(), [&font](uint32_t c) { return font->glyphMetrics(c).advance; });
}
BENCHMARK(BM_CachedGlyphMetrics);

void BM_CachedResolveAdvanceInLazyGroup(benchmark::State& state) {
  const char* paths[] = {kSans};
  auto group = RenderFont::groupLazy(RenderFont::load(kSansMono, 14, 0), paths, 1, 14);
  std::vector<uint32_t> codepoints = drawableCodepoints();
  for (uint32_t c = 0x5D0; c <= 0x5EA; ++c) codepoints.push_back(c);  // Hebrew, from the lazy member
  timeCachedLookups(state, codepoints, [&group](uint32_t c) { return group->resolveAdvance(c).advance; });
}
BENCHMARK(BM_CachedResolveAdvanceInLazyGroup);

void BM_CachedGlyphBitmapView(benchmark::State& state) {
  auto font = RenderFont::load(kSans, 14, 0);
  timeCachedLookups(state, drawableCodepoints(),
                    [&font](uint32_t c) { return font->glyphBitmapForCodepoint(c).image; });
}
BENCHMARK(BM_CachedGlyphBitmapView);

// Each iteration renders a glyph the face has not rendered yet; a fresh face is loaded (untimed) when the
// supply runs out. The argument is the pixel size.
void BM_FirstRasterisation(benchmark::State& state) {
  const float size = static_cast<float>(state.range(0));
  const std::vector<uint32_t> codepoints = drawableCodepoints();
  std::shared_ptr<RenderFont> font = RenderFont::load(kSans, size, 0);
  size_t i = 0;
  for (auto _ : state) {
    if (i == codepoints.size()) {
      state.PauseTiming();
      font = RenderFont::load(kSans, size, 0);
      i = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(font->glyphBitmapForCodepoint(codepoints[i++]).image);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FirstRasterisation)->Arg(14)->Arg(48);

void BM_TextWidth(benchmark::State& state, const char* line) {
  auto font = RenderFont::load(kSans, 14, 0);
  for (auto _ : state) benchmark::DoNotOptimize(font->textWidth(line));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_TextWidth, ascii,
                  "    for (size_t i = 0; i < codepoints.size(); ++i) total += advance(codepoints[i]);");
BENCHMARK_CAPTURE(BM_TextWidth, shaped,
                  "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xD7\xA2\xD7\x95\xD7\x9C\xD7\x9D and e\xCC\x81t\xC3\xA9");

}  // namespace

BENCHMARK_MAIN();
