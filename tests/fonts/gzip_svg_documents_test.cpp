// Fonts whose SVG glyph documents are large or gzip-compressed: a document that holds or declares more than a
// colour glyph document ever needs makes its glyphs missing, found from the document records alone, so the
// main thread never inflates it (not even to learn that it is refused, and not when SVG glyphs are off), and
// neither does a worker job; small documents of the same font still render. A glyph whose drawing makes the
// renderer abort is missing too.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>

#include "font_test_support.h"
#include "fonts/fallback_probe.h"
#include "fonts/freetype_library.h"
#include "fonts/svg_glyph_worker.h"
#include "memory_limited_child.h"

namespace {

using fonttest::FontTest;
using fonttest::TempPath;

// The fixture font with gzip documents, the first (A to D) inflating to `mib` MiB.
fonttest::ScriptedFont gzipSvgFont(int mib) {
  return fonttest::ScriptedFont("gzip_svg_documents.ttf", QZ_GZIP_SVG_FONT_SCRIPT, "", std::to_string(mib));
}

constexpr int kBombMib = 64;

// How the main thread settles glyph A of the font, with colour loads in play (bitmap glyphs allowed).
struct MainThreadOutcome {
  bool loaded = false, missing = false, pending = false, usableInGroups = false, usableToProbe = false;
};

MainThreadOutcome settleOnMainThread(const char* path, bool svgAllowed) {
  setAllowFontBitmapGlyphs(true);
  setAllowFontSvgGlyphs(svgAllowed);
  MainThreadOutcome outcome;
  const std::shared_ptr<RenderFont> font = RenderFont::load(path, 20.0f, 0.0f);
  if (!font) return outcome;
  outcome.loaded = true;
  outcome.usableInGroups = font->hasCodepoint('A');
  ProbeCounts counts;
  outcome.usableToProbe = FallbackProbeCache().probe(path, 'A', counts) == ProbeResult::Usable;
  const GlyphBitmapView view = font->glyphBitmapForCodepoint('A');
  const GlyphMetricEntry& entry = font->glyphMetrics('A');
  outcome.missing = view.missing && !view.hasBitmap && entry.missing && entry.bitmapSettled;
  outcome.pending = entry.bitmapUnavailable != 0;
  return outcome;
}

TEST_F(FontTest, GzipSvgDocumentPastTheCap_MakesItsGlyphsMissing) {
  const fonttest::ScriptedFont bomb = gzipSvgFont(kBombMib);
  ASSERT_TRUE(bomb.made());
  for (const bool svgAllowed : {true, false}) {
    const MainThreadOutcome outcome = settleOnMainThread(bomb.path(), svgAllowed);
    ASSERT_TRUE(outcome.loaded);
    EXPECT_TRUE(outcome.missing) << "SVG glyphs allowed: " << svgAllowed;
    EXPECT_FALSE(outcome.pending) << "SVG glyphs allowed: " << svgAllowed;
    // Without SVG glyphs the font's outlines count, as for any SVG glyph.
    EXPECT_EQ(outcome.usableInGroups, !svgAllowed);
    EXPECT_EQ(outcome.usableToProbe, !svgAllowed);
  }
  setAllowFontSvgGlyphs(true);
  const std::shared_ptr<RenderFont> font = RenderFont::load(bomb.path(), 20.0f, 0.0f);
  ASSERT_NE(font, nullptr);
  FT_LibraryRec_* library = sharedFreeTypeLibrary();
  EXPECT_EQ(runSvgGlyphJob(font, 'A', false, library).succeeded, 0);
  // E's document is compressed too, but small: it is handed to the worker, which renders it.
  EXPECT_NE(runSvgGlyphJob(font, 'E', false, library).succeeded, 0);
  font->glyphBitmapForCodepoint('E');
  EXPECT_TRUE(font->glyphMetrics('E').bitmapUnavailable);
}

TEST_F(FontTest, GzipSvgDocumentPastTheCap_IsRefusedWithoutInflatingIt) {
  const fonttest::ScriptedFont bomb = gzipSvgFont(kBombMib);
  ASSERT_TRUE(bomb.made());
  // Inflating the document takes kBombMib MiB; the cap leaves half that. A colour load that tried would fail
  // its allocation and fall back to the outline, which would then be drawn.
  for (const bool svgAllowed : {true, false}) {
    const int status = runInMemoryLimitedChild(size_t{kBombMib / 2} << 20, [&] {
      const MainThreadOutcome outcome = settleOnMainThread(bomb.path(), svgAllowed);
      return outcome.loaded && outcome.missing && !outcome.pending ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << "SVG glyphs allowed: " << svgAllowed;
  }
}

// Uncompressed documents are held to the same cap: FreeType hands a worker the whole document for every glyph
// it draws.
TEST_F(FontTest, UncompressedSvgDocumentPastTheCap_MakesItsGlyphsMissing) {
  for (const auto& [mib, missing] : {std::pair{3, false}, std::pair{33, true}}) {
    const fonttest::ScriptedFont font("svg_documents.ttf", QZ_GZIP_SVG_FONT_SCRIPT, "",
                                      std::to_string(mib) + " --uncompressed");
    ASSERT_TRUE(font.made());
    const MainThreadOutcome outcome = settleOnMainThread(font.path(), true);
    ASSERT_TRUE(outcome.loaded);
    EXPECT_EQ(outcome.missing, missing) << mib << " MiB";
    EXPECT_EQ(outcome.pending, !missing) << mib << " MiB";
  }
}

// Public colour fonts keep thousands of glyphs in one gzip document of up to 10 MB: every glyph of it is drawn,
// each from the one document.
TEST_F(FontTest, GzipSvgDocumentsAsLargeAsPublicFontsHold_AreDrawn) {
  const fonttest::ScriptedFont large = gzipSvgFont(12);
  ASSERT_TRUE(large.made());
  setAllowFontSvgGlyphs(true);
  const std::shared_ptr<RenderFont> font = RenderFont::load(large.path(), 20.0f, 0.0f);
  ASSERT_NE(font, nullptr);
  FT_LibraryRec_* library = sharedFreeTypeLibrary();
  for (const uint32_t codepoint : {'A', 'B', 'C', 'D', 'E', 'A'}) {
    const SvgGlyphResult result = runSvgGlyphJob(font, codepoint, false, library);
    EXPECT_NE(result.succeeded, 0) << static_cast<char>(codepoint);
    EXPECT_GT(result.width, 0) << static_cast<char>(codepoint);
  }
}

// A glyph whose document makes librsvg abort ends a render process, not qz: the glyphs of that document are
// missing (librsvg reads all of it for any of them), found at once once one has failed, and the font's other
// documents are drawn.
TEST_F(FontTest, SvgGlyphThatAbortsTheRendererIsMissing) {
  const fonttest::ScriptedFont aborting("aborting_svg.ttf", QZ_GZIP_SVG_FONT_SCRIPT, "", "0 --aborting");
  ASSERT_TRUE(aborting.made());
  setAllowFontSvgGlyphs(true);
  const std::shared_ptr<RenderFont> font = RenderFont::load(aborting.path(), 20.0f, 0.0f);
  ASSERT_NE(font, nullptr);
  FT_LibraryRec_* library = sharedFreeTypeLibrary();
  EXPECT_EQ(runSvgGlyphJob(font, 'A', false, library).succeeded, 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(runSvgGlyphJob(font, 'B', false, library).succeeded, 0) << "same document, another glyph";
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50)) << "known, not drawn again";
  EXPECT_NE(runSvgGlyphJob(font, 'E', false, library).succeeded, 0);
}

}  // namespace
