// Font engine speed: glyph lookups answered from the caches, the first rasterisation of a glyph, text
// measuring with and without shaping, frames meeting new SVG glyphs against new outline glyphs, and formula
// masks against FreeType's rasterizer alone.
#include <benchmark/benchmark.h>
#include <freetype/freetype.h>
#include <freetype/ftoutln.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fonts/freetype_library.h"
#include "fonts/render_font.h"
#include "fonts/svg_glyph_worker.h"

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
  const std::string_view paths[] = {kSans};
  auto group = RenderFont::groupLazy(RenderFont::load(kSansMono, 14, 0), paths, 14);
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

// One base letter and state.range(0) acute accents, as pasted "zalgo" text stacks them: the time must grow with
// the number of marks, not with its square.
void BM_TextWidthOfMarkRun(benchmark::State& state) {
  auto font = RenderFont::load(kSans, 14, 0);
  std::string text = "a";
  for (int64_t i = 0; i < state.range(0); ++i) text += "\xCC\x81";
  for (auto _ : state) benchmark::DoNotOptimize(font->textWidth(text.c_str()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TextWidthOfMarkRun)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);

const char* const kSvgFixture = QZ_FONT_FIXTURES_DIR "/svg_glyphs.ttf";
const char* const kMath = "/usr/share/fonts/truetype/dejavu/DejaVuMathTeXGyre.ttf";

// The 64 codepoints of the fixture's benchmark glyphs: a-z, 0-9, U+00C0 to U+00DB.
std::vector<uint32_t> fixtureCodepoints() {
  std::vector<uint32_t> codepoints;
  for (uint32_t c = 'a'; c <= 'z'; ++c) codepoints.push_back(c);
  for (uint32_t c = '0'; c <= '9'; ++c) codepoints.push_back(c);
  for (uint32_t c = 0xC0; c <= 0xDB; ++c) codepoints.push_back(c);
  return codepoints;
}

// One frame's worth of glyph requests meeting 64 glyphs that a fresh face (loaded untimed) has not drawn:
// the SVG fixture's, handed to the worker (argument 1), or DejaVu Sans outlines rendered at once
// (argument 0), at 20 px. The main thread's time is the benchmark's; "settle_ms" is the wall time from the
// frame's start until the worker's results are all applied.
void BM_FrameMeeting64NewGlyphs(benchmark::State& state) {
  const bool svg = state.range(0) != 0;
  setAllowFontSvgGlyphs(svg);
  const std::vector<uint32_t> codepoints = fixtureCodepoints();
  AsyncSvgGlyphWorker& worker = AsyncSvgGlyphWorker::instance();
  double settleSeconds = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    std::shared_ptr<RenderFont> font = RenderFont::load(svg ? kSvgFixture : kSans, 20, 0);
    const auto start = std::chrono::steady_clock::now();
    state.ResumeTiming();
    for (uint32_t c : codepoints) benchmark::DoNotOptimize(font->glyphBitmapForCodepoint(c).image);
    state.PauseTiming();
    while (worker.hasPendingGlyphs()) {
      worker.applyFinished();
      std::this_thread::yield();
    }
    settleSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (svg && !font->glyphBitmapForCodepoint('a').colour) state.SkipWithError("the SVG glyphs did not render");
    font.reset();
    state.ResumeTiming();
  }
  setAllowFontSvgGlyphs(false);
  state.counters["settle_ms"] = 1000.0 * settleSeconds / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FrameMeeting64NewGlyphs)->ArgName("svg")->Arg(1)->Arg(0)->UseRealTime();

// The SVG fixture with gzip documents, the first (glyphs A to D) declaring 256 MiB, or the fixture without
// its SVG table; written by the fixture script into the temporary directory once per run (the large one takes
// about ten seconds) and removed at exit.
class GzipBombFonts {
 public:
  ~GzipBombFonts() {
    for (const std::string& path : paths_) std::remove(path.c_str());
  }
  // The path of the font, or "" when the script failed.
  const std::string& path(bool withSvg) {
    std::string& path = paths_[withSvg ? 1 : 0];
    if (path.empty()) {
      const std::string target = (std::filesystem::temp_directory_path() /
                                  ("qz_bench_gzip_svg_" + std::to_string(getpid()) + (withSvg ? "_svg.ttf" : ".ttf")))
                                     .string();
      const std::string command = "/usr/bin/python3 " QZ_FONT_FIXTURES_DIR "/make_gzip_svg_font.py " + target +
                                  " 256" + (withSvg ? "" : " --without-svg");
      if (std::system(command.c_str()) == 0) path = target;
    }
    return path;
  }

 private:
  std::string paths_[2];
};

// The first frame that draws the four glyphs of a 256 MiB gzip SVG document and one of a small one (A to E)
// from a fresh face (loaded untimed) with SVG glyphs allowed (argument 1), against the same font without
// SVG glyphs, drawn from its outlines (argument 0), at 20 px. The large document's glyphs are refused from
// its record; E is handed to the worker, whose result is waited for untimed.
void BM_FirstFrameOfA256MiBGzipSvgDocument(benchmark::State& state) {
  static GzipBombFonts fonts;
  const bool svg = state.range(0) != 0;
  const std::string& path = fonts.path(svg);
  if (path.empty()) {
    state.SkipWithError("the font could not be made");
    return;
  }
  setAllowFontSvgGlyphs(svg);
  AsyncSvgGlyphWorker& worker = AsyncSvgGlyphWorker::instance();
  for (auto _ : state) {
    state.PauseTiming();
    std::shared_ptr<RenderFont> font = RenderFont::load(path, 20, 0);
    state.ResumeTiming();
    for (const uint32_t c : {U'A', U'B', U'C', U'D', U'E'}) {
      benchmark::DoNotOptimize(font->glyphBitmapForCodepoint(c).image);
    }
    state.PauseTiming();
    while (worker.hasPendingGlyphs()) {
      worker.applyFinished();
      std::this_thread::yield();
    }
    font.reset();
    state.ResumeTiming();
  }
  setAllowFontSvgGlyphs(false);
}
BENCHMARK(BM_FirstFrameOfA256MiBGzipSvgDocument)->ArgName("svg")->Arg(1)->Arg(0)->UseRealTime();

// A formula of 100 glyphs on one line (letters, digits, operators and brackets of DejaVu Math at 20 px),
// placed by their advances.
std::vector<MathMaskComponent> hundredGlyphFormula(RenderFont& font) {
  const char* const text = "(a+b)^2=a^2+2ab+b^2 [x_1+x_2+...+x_n]/n <= sqrt(y_1*y_2*z_3) {f(g(h(k)))} != 0; ";
  std::vector<MathMaskComponent> components;
  float x = 0.0f;
  for (size_t i = 0; components.size() < 100; i = (i + 1) % std::strlen(text)) {
    const char glyphText[2] = {text[i], '\0'};
    const MathGlyphShape shape = font.mathGlyphShape(glyphText, false);
    if (!shape.hasBase) continue;
    components.push_back({shape.base.glyphId, x, 0.0f, 0.0f, 0.0f, true});
    x += shape.base.width;
  }
  return components;
}

void BM_ComposeMathMask(benchmark::State& state) {
  auto font = RenderFont::load(kMath, 20, 0);
  const std::vector<MathMaskComponent> formula = hundredGlyphFormula(*font);
  for (auto _ : state) {
    const MathMask mask = font->composeMathMask(formula, 4, 67108864, 16777216);
    if (mask.status != MathMaskStatus::Done) state.SkipWithError("the mask failed");
    benchmark::DoNotOptimize(mask.coverage.data());
  }
}
BENCHMARK(BM_ComposeMathMask);

// An outline's points, tags and contour ends.
struct OutlineParts {
  std::vector<FT_Vector> points;
  std::vector<char> tags;
  std::vector<short> contours;
};

// Times FT_Outline_Get_Bitmap of the outline into a cleared grey raster of width x rows bytes.
void timeOutlineGetBitmap(benchmark::State& state, OutlineParts& parts, unsigned width, unsigned rows) {
  FT_Outline outline{};
  outline.n_points = static_cast<short>(parts.points.size());
  outline.n_contours = static_cast<short>(parts.contours.size());
  outline.points = parts.points.data();
  outline.tags = parts.tags.data();
  outline.contours = parts.contours.data();
  std::vector<uint8_t> raster(static_cast<size_t>(width) * rows);
  FT_Bitmap bitmap{};
  bitmap.rows = rows;
  bitmap.width = width;
  bitmap.pitch = static_cast<int>(width);
  bitmap.buffer = raster.data();
  bitmap.num_grays = 256;
  bitmap.pixel_mode = FT_PIXEL_MODE_GRAY;
  FT_Library library = sharedFreeTypeLibrary();
  for (auto _ : state) {
    std::memset(raster.data(), 0, raster.size());
    if (FT_Outline_Get_Bitmap(library, &outline, &bitmap) != 0) state.SkipWithError("FreeType failed");
    benchmark::DoNotOptimize(raster.data());
  }
}

// The same formula's outline, gathered and placed as the mask composition does, rendered by
// FT_Outline_Get_Bitmap alone into a cleared raster of the same size.
void BM_OutlineGetBitmapAlone(benchmark::State& state) {
  auto font = RenderFont::load(kMath, 20, 0);
  const std::vector<MathMaskComponent> formula = hundredGlyphFormula(*font);
  const MathMask mask = font->composeMathMask(formula, 4, 67108864, 16777216);
  FT_Library library = sharedFreeTypeLibrary();
  FT_Face raw = nullptr;
  FT_New_Face(library, kMath, 0, &raw);
  const FreeTypeFaceHandle face(raw);
  FT_Set_Char_Size(raw, 0, 20 * 64, 0, 0);
  OutlineParts parts;
  const double top = mask.originY + mask.height;
  for (const MathMaskComponent& component : formula) {
    FT_Load_Glyph(raw, component.glyphId, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP);
    const FT_Outline& glyph = raw->glyph->outline;
    const auto base = static_cast<short>(parts.points.size());
    for (short i = 0; i < glyph.n_points; ++i) {
      const double x = component.x + glyph.points[i].x / 64.0 - mask.originX;
      const double y = top - (font->baseline() + component.y - glyph.points[i].y / 64.0);
      parts.points.push_back({std::lround(x * 256.0), std::lround(y * 256.0)});
      parts.tags.push_back(glyph.tags[i]);
    }
    for (short i = 0; i < glyph.n_contours; ++i) parts.contours.push_back(static_cast<short>(glyph.contours[i] + base));
  }
  timeOutlineGetBitmap(state, parts, static_cast<unsigned>(mask.width * 4), static_cast<unsigned>(mask.height * 4));
}
BENCHMARK(BM_OutlineGetBitmapAlone);

// 256 rules of 4,000 x 4,000 pixels over one another at supersample 1, against one FreeType rasterisation
// of the same 256 rectangles into a cleared raster of the mask's size.
std::vector<MathMaskComponent> stackedRules() {
  return std::vector<MathMaskComponent>(256, {0, 0, 0, 4000, 4000, false});
}

void BM_ComposeMathMaskOf256LargeRules(benchmark::State& state) {
  auto font = RenderFont::load(kMath, 20, 0);
  const std::vector<MathMaskComponent> rules = stackedRules();
  for (auto _ : state) {
    const MathMask mask = font->composeMathMask(rules, 1, 67108864, 16777216);
    if (mask.status != MathMaskStatus::Done) state.SkipWithError("the mask failed");
    benchmark::DoNotOptimize(mask.coverage.data());
  }
}
BENCHMARK(BM_ComposeMathMaskOf256LargeRules)->Unit(benchmark::kMillisecond);

// One rule 30 pixels wide and as tall as the argument, at supersample 4: the time should grow with the
// mask's area, so 4 x the height within 5 x the time.
void BM_ComposeMathMaskOfTallRule(benchmark::State& state) {
  auto font = RenderFont::load(kMath, 20, 0);
  const std::vector<MathMaskComponent> rule = {{0, 0, 0, 30, static_cast<float>(state.range(0)), false}};
  for (auto _ : state) {
    const MathMask mask = font->composeMathMask(rule, 4, 67108864, 16777216);
    if (mask.status != MathMaskStatus::Done) state.SkipWithError("the mask failed");
    benchmark::DoNotOptimize(mask.coverage.data());
  }
}
BENCHMARK(BM_ComposeMathMaskOfTallRule)->Arg(4000)->Arg(16000)->Arg(32000)->Unit(benchmark::kMillisecond);

// 3,700 rules 10 pixels wide and as tall as the first argument, in as many columns as the second, a quarter
// pixel apart (a little more across as many columns as rules), at supersample 4: more than FreeType's
// outline holds once cut to a band unless their parts outside it are dropped. In four columns the time should
// follow the height (4 x the height within 8 x the time); a mask past the work bound (taller, or spread over
// 3,700 columns, which FreeType would take most of a minute to fill) is refused at once.
void BM_ComposeMathMaskOfThousandsOfTallRules(benchmark::State& state) {
  auto font = RenderFont::load(kMath, 20, 0);
  std::vector<MathMaskComponent> rules;
  const auto height = static_cast<float>(state.range(0));
  const auto columns = static_cast<int>(state.range(1));
  const float step = columns == 4 ? 0.25f : 0.27f;
  for (int i = 0; i < 3700; ++i) {
    rules.push_back({0, step * static_cast<float>(i % columns), 0, 10, height, false});
  }
  for (auto _ : state) {
    const MathMask mask = font->composeMathMask(rules, 4, 67108864, 16777216);
    if (mask.status != MathMaskStatus::Done && mask.status != MathMaskStatus::TooComplex) {
      state.SkipWithError("the mask failed");
    }
    state.SetLabel(mask.status == MathMaskStatus::Done ? "drawn" : "refused");
    benchmark::DoNotOptimize(mask.coverage.data());
  }
}
BENCHMARK(BM_ComposeMathMaskOfThousandsOfTallRules)
    ->Args({500, 4})
    ->Args({2000, 4})
    ->Args({16000, 4})
    ->Args({1200, 3700})
    ->Unit(benchmark::kMillisecond);

void BM_OutlineGetBitmapOf256LargeRules(benchmark::State& state) {
  constexpr FT_Pos kSide = 4000 * 64;
  OutlineParts parts;
  for (int i = 0; i < 256; ++i) {
    // One pixel of margin on every side, as the mask has; wound as a rule over no glyph is.
    for (const FT_Vector corner :
         {FT_Vector{64, 64}, FT_Vector{64 + kSide, 64}, FT_Vector{64 + kSide, 64 + kSide}, FT_Vector{64, 64 + kSide}}) {
      parts.points.push_back(corner);
      parts.tags.push_back(FT_CURVE_TAG_ON);
    }
    parts.contours.push_back(static_cast<short>(parts.points.size() - 1));
  }
  timeOutlineGetBitmap(state, parts, 4002, 4002);
}
BENCHMARK(BM_OutlineGetBitmapOf256LargeRules)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
