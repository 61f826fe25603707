// Glyphs of a few bytes that would cost FreeType seconds or gigabytes to load or draw: sbix images reached
// through dupe records or through a second 'sbix' entry of the table directory, COLR layers of huge boxes,
// and EBDT compounds and glyf composites nested so deep that their components double at every level. Each
// is loaded, shaped, measured and drawn in a child process with limited memory, and must come out quickly
// and without growing the child: missing, or drawn from what FreeType really reads where that is not the
// costly record. The honest glyphs of the same fonts still draw.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <time.h>

#include <cctype>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "font_test_support.h"
#include "memory_limited_child.h"

namespace {

using fonttest::FontTest;

// A font written by make_costly_glyph_fonts.py with `arguments` after the kind and the output path.
fonttest::ScriptedFont costlyFont(const std::string& kind, const std::string& arguments) {
  return fonttest::ScriptedFont("costly_glyphs.ttf", QZ_COSTLY_GLYPH_FONTS_SCRIPT, kind, arguments);
}

double secondsNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int64_t peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The time and memory a costly glyph may take: far below what FreeType would spend on it, far above what
// loading a small font and drawing one glyph takes (the sanitisers slow that many times).
constexpr double kCostlySeconds = 2.0;
constexpr int64_t kCostlyGrowthKiB = 64 * 1024;
constexpr rlim_t kChildCpuSeconds = 20;           // a child still busy then is stopped (SIGXCPU)
constexpr size_t kChildMemory = size_t{1} << 30;  // address space a child may add to what it starts with

enum ChildCode { kDrawnAsExpected = 0, kNotLoaded = 1, kDrawnWrongly = 2, kTooSlow = 3, kTooLarge = 4 };

// Loads the font in a memory-limited child and there measures, shapes and draws `codepoint` (and the glyph
// of every shaped glyph id); its exit code says how that went (ChildCode, or 128 + a signal).
int drawInChild(const char* path, float size, uint32_t codepoint, bool bitmapGlyphs, bool missing,
                const std::string& label) {
  return runInMemoryLimitedChild(kChildMemory, [&] {
    const rlimit cpu{kChildCpuSeconds, kChildCpuSeconds};
    setrlimit(RLIMIT_CPU, &cpu);
    setAllowFontBitmapGlyphs(bitmapGlyphs);
    const int64_t peakBefore = peakResidentKiB();
    const double start = secondsNow();
    std::shared_ptr<RenderFont> font = RenderFont::load(path, size, 0.0f);
    if (!font) return int{kNotLoaded};
    const std::string text(1, static_cast<char>(codepoint));
    font->textWidth(text.c_str());
    font->textBounds(text.c_str());
    std::vector<ShapedGlyph> shaped;
    font->shapeText(text.c_str(), 0, shaped);
    for (const ShapedGlyph& glyph : shaped) font->glyphBitmapForGlyphId(glyph.glyphId);
    const GlyphBitmapView view = font->glyphBitmapForCodepoint(codepoint);
    const double seconds = secondsNow() - start;
    const int64_t growth = peakResidentKiB() - peakBefore;
    std::printf("[ glyph cost ] %s: %.3f s, peak resident +%lld KiB\n", label.c_str(), seconds,
                static_cast<long long>(growth));
    std::fflush(stdout);
    if ((view.missing != 0) != missing || (view.hasBitmap != 0) == missing) return int{kDrawnWrongly};
    if (seconds >= kCostlySeconds) return int{kTooSlow};
    return growth >= kCostlyGrowthKiB ? int{kTooLarge} : int{kDrawnAsExpected};
  });
}

struct CostlyCase {
  const char* kind;
  const char* arguments;
  float size;
  std::vector<bool> bitmapSettings;  // the process flag for bitmap glyphs while the font is loaded
  std::vector<uint32_t> costly;      // codepoints that must come out quickly
  bool missing = true;               // as missing glyphs; else drawn from what FreeType really reads
};

void PrintTo(const CostlyCase& test, std::ostream* out) { *out << test.kind << " " << test.arguments; }

class CostlyGlyphTest : public FontTest, public ::testing::WithParamInterface<CostlyCase> {};

TEST_P(CostlyGlyphTest, TakesLittleTimeAndMemory) {
  const CostlyCase& test = GetParam();
  const fonttest::ScriptedFont font = costlyFont(test.kind, test.arguments);
  ASSERT_TRUE(font.made());
  for (const bool bitmapGlyphs : test.bitmapSettings) {
    for (const uint32_t codepoint : test.costly) {
      const std::string label = std::string(test.kind) + " " + test.arguments + " " + char(codepoint) +
                                (bitmapGlyphs ? ", bitmaps on" : ", bitmaps off");
      EXPECT_EQ(drawInChild(font.path(), test.size, codepoint, bitmapGlyphs, test.missing, label), kDrawnAsExpected)
          << label << " (1: not loaded, 2: drawn wrongly, 3: too slow, 4: too large, 128 + a signal)";
    }
  }
}

std::string caseName(const ::testing::TestParamInfo<CostlyCase>& info) {
  std::string name = std::string(info.param.kind) + "_" + info.param.arguments;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    Fonts, CostlyGlyphTest,
    ::testing::Values(
        // C names the glyph numbered the glyph count, whose 10000-pixel image lies past the strike's
        // offsets; D reaches it through two more dupes.
        CostlyCase{"sbix-dupe", "10000", 20.0f, {true, false}, {U'C', U'D'}},
        // The first 'sbix' entry lies outside the file: FreeType passes over it and reads the second, which
        // holds C's image. An empty first entry is kept instead, and hides the table: C is its outline.
        CostlyCase{"sbix-twin", "10000 outside", 20.0f, {true, false}, {U'C'}},
        CostlyCase{"sbix-twin", "10000 empty", 20.0f, {true, false}, {U'C'}, false},
        // 100 layers of a box 60 ems square: each is rendered and blended at 3840 pixels square.
        CostlyCase{"colr", "100", 64.0f, {true}, {U'C'}},
        // 2^24 components: the strike matches the size, so FreeType takes it even with bitmaps off.
        CostlyCase{"ebdt", "24", 20.0f, {true, false}, {U'C'}},
        // 2^22 loads of an empty glyph; and FreeType's auto-hinter (the font has no hinting programs)
        // loads C, one of its sample characters, on the face's first hinted load of any glyph.
        CostlyCase{"glyf", "22", 20.0f, {false}, {U'C'}},
        CostlyCase{"glyf", "24", 20.0f, {false}, {U'A', U'B'}, false}),
    caseName);

// The honest glyphs beside the costly ones draw as they always did.
TEST_F(FontTest, HonestGlyphsBesideCostlyOnesStillDraw) {
  struct Expected {
    uint32_t codepoint;
    int32_t width;  // of the bitmap
    bool colour;
  };
  struct HonestCase {
    const char* kind;
    const char* arguments;
    float size;
    bool bitmapGlyphs;
    std::vector<Expected> glyphs;
  };
  const std::vector<HonestCase> cases = {
      // A's image of 14 pixels, and B a dupe of it.
      {"sbix-dupe", "10000", 20.0f, true, {{U'A', 14, true}, {U'B', 14, true}}},
      {"sbix-twin", "10000 outside", 20.0f, true, {{U'A', 14, true}, {U'B', 14, true}}},
      // No sbix table for FreeType: the outlines, a box of 500 units at 20 px.
      {"sbix-twin", "10000 empty", 20.0f, true, {{U'A', 10, false}, {U'B', 10, false}}},
      // A's two layers: the box of 500 units at 64 px.
      {"colr", "100", 64.0f, true, {{U'A', 32, true}}},
      // A's 8 x 8 bitmap, and B a compound of it 9 wide.
      {"ebdt", "24", 20.0f, true, {{U'A', 8, false}, {U'B', 9, false}}},
      {"ebdt", "24", 20.0f, false, {{U'A', 8, false}, {U'B', 9, false}}},
      // A a box of 500 units at 20 px, B a composite of two of them one unit apart.
      {"glyf", "22", 20.0f, false, {{U'A', 10, false}, {U'B', 11, false}}},
  };
  for (const HonestCase& test : cases) {
    const fonttest::ScriptedFont font = costlyFont(test.kind, test.arguments);
    ASSERT_TRUE(font.made()) << test.kind;
    setAllowFontBitmapGlyphs(test.bitmapGlyphs);
    const std::shared_ptr<RenderFont> face = loadOrFail(font.path(), test.size);
    ASSERT_NE(face, nullptr) << test.kind;
    for (const Expected& glyph : test.glyphs) {
      const std::string label = std::string(test.kind) + " " + test.arguments + " " + char(glyph.codepoint);
      const GlyphBitmapView view = face->glyphBitmapForCodepoint(glyph.codepoint);
      ASSERT_TRUE(view.hasBitmap) << label;
      EXPECT_FALSE(view.missing) << label;
      EXPECT_EQ(view.width, glyph.width) << label;
      EXPECT_EQ(view.colour != 0, glyph.colour) << label;
      std::vector<ShapedGlyph> shaped;
      ASSERT_TRUE(face->shapeText(std::string(1, char(glyph.codepoint)).c_str(), 0, shaped)) << label;
      ASSERT_EQ(shaped.size(), 1u) << label;
      EXPECT_GT(shaped[0].xAdvance, 0) << label;
      EXPECT_TRUE(face->glyphBitmapForGlyphId(shaped[0].glyphId).hasBitmap) << label;
    }
  }
}

}  // namespace
