// Long runs that HarfBuzz would shape in time growing with their square (marks that look back past default
// ignorables or past letters a font calls marks, cluster chains of Thai, Khmer and Myanmar) are shaped in
// bounded pieces, in time growing with the text; real text within the bound shapes as HarfBuzz shapes it
// whole, and longer text too, with spaces or, in scripts written without them, cut where HarfBuzz says the
// text is safe to break.
#include <gtest/gtest.h>
#include <hb.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "font_test_support.h"
#include "fonts/shaping_pieces.h"
#include "shaping_test_text.h"

namespace {

using fonttest::FontTest;

const char* const kNotoDir = "/usr/share/fonts/truetype/noto/";

std::string notoFont(const char* file) { return std::string(kNotoDir) + file; }

using shapingtest::codepointCount;
using shapingtest::repeated;

// "a" followed by `count` combining marks, U+0300 to U+034E in turn (all of which DejaVu Sans has).
std::string zalgo(size_t count) {
  std::string text = "a";
  for (size_t i = 0; i < count; ++i) {
    const uint32_t mark = 0x300 + static_cast<uint32_t>(i % 0x4F);
    text += static_cast<char>(0xC0 | (mark >> 6));
    text += static_cast<char>(0x80 | (mark & 0x3F));
  }
  return text;
}

// This thread's processor time in seconds: unlike the wall time, other processes do not add to it.
double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The median processor time of five calls of textWidth, after one call that fills the glyph caches.
double medianWidthSeconds(RenderFont& font, const std::string& text) {
  font.textWidth(text.c_str());
  std::vector<double> seconds;
  for (int run = 0; run < 5; ++run) {
    const double start = threadSeconds();
    font.textWidth(text.c_str());
    seconds.push_back(threadSeconds() - start);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[2];
}

struct RunKind {
  const char* name;
  std::string font;
  std::string head;  // once, before the repeated unit
  std::string unit;
  size_t count;  // units in the shorter text
};

// Each run at `count` units and at four times that: the longer one within eight times the time. Each is
// shaped whole (the font has every glyph), so the time is HarfBuzz's and not per-codepoint measuring's.
void expectLinearRuns(const std::vector<RunKind>& kinds) {
  for (const RunKind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    auto font = RenderFont::load(kind.font, 16, 0);
    ASSERT_NE(font, nullptr);
    const std::string shorter = kind.head + repeated(kind.unit, kind.count);
    const std::string longer = kind.head + repeated(kind.unit, 4 * kind.count);
    std::vector<ShapedGlyph> glyphs;
    ASSERT_TRUE(font->shapeText(longer.c_str(), 0, glyphs)) << "the font shapes the run";
    const double shortSeconds = medianWidthSeconds(*font, shorter);
    const double longSeconds = medianWidthSeconds(*font, longer);
    EXPECT_LT(longSeconds, 8.0 * shortSeconds) << shortSeconds << " s for " << shorter.size() << " bytes, "
                                               << longSeconds << " s for " << longer.size() << " bytes";
  }
}

TEST_F(FontTest, ShapedRuns_GrowWithTheTextNotItsSquare) {
  expectLinearRuns({
      {"fatha and U+FEFF", fonttest::kSans, "\xD8\xA8", "\xD9\x8E\xEF\xBB\xBF", 4000},
      {"acute and ZWNJ", fonttest::kSans, "a", "\xCC\x81\xE2\x80\x8C", 4000},
      {"Thai tone mark and SARA AM", notoFont("NotoSansThai-Regular.ttf"), "\xE0\xB8\x81",
       "\xE0\xB9\x88\xE0\xB8\xB3", 4000},
      {"Khmer coeng chain", notoFont("NotoSansKhmer-Regular.ttf"), "\xE1\x9E\x80", "\xE1\x9F\x92\xE1\x9E\x80",
       4000},
      {"Myanmar virama chain", notoFont("NotoSansMyanmar-Regular.ttf"), "\xE1\x80\x80",
       "\xE1\x80\xB9\xE1\x80\x80", 4000},
      {"Zalgo", fonttest::kSans, "a", zalgo(0x4F).substr(1), 128},
  });
}

// A font whose GDEF calls the letter beh a mark: in a plain word of behs each looks back over all the
// others for a base.
TEST_F(FontTest, ShapedRuns_ALetterTheFontCallsAMarkStaysLinear) {
  const fonttest::ScriptedFont made("mark_letter.ttf", QZ_MARK_LETTER_FONT_SCRIPT, "", "");
  ASSERT_TRUE(made.made());
  expectLinearRuns({{"a word of behs", made.path(), "\xD8\xA7", "\xD8\xA8", 10000}});
}

// A face whose Graphite rules place every letter of a connected word against the others, in time growing with
// the word's square (Awami Nastaliq): a mark chain far longer than any real word takes four times the time at
// four times the length. One timed call of each length, after one that loads the face and its glyphs, as a
// call of the longer one costs seconds.
TEST_F(FontTest, ShapedRuns_AGraphiteWordFarLongerThanARealOneStaysLinear) {
  auto font = RenderFont::load("/usr/share/fonts/truetype/awami/AwamiNastaliq-Regular.ttf", 16, 0);
  ASSERT_NE(font, nullptr);
  const std::string beh = "\xD8\xA8";
  const std::string fatha = "\xD9\x8E";
  const std::string shorter = beh + repeated(fatha, 512);
  const std::string longer = beh + repeated(fatha, 4 * 512);
  const auto secondsOf = [&](const std::string& text) {
    const double start = threadSeconds();
    font->textWidth(text.c_str());
    return threadSeconds() - start;
  };
  secondsOf(shorter);
  const double shortSeconds = secondsOf(shorter);
  const double longSeconds = secondsOf(longer);
  EXPECT_LT(longSeconds, 8.0 * shortSeconds) << shortSeconds << " s for " << shorter.size() << " bytes, "
                                             << longSeconds << " s for " << longer.size() << " bytes";
}

struct WholeGlyph {
  uint32_t glyphId;
  uint32_t cluster;
  int32_t xAdvance, xOffset, yOffset;
};

int32_t pixelsOf(hb_position_t value, double scale) {
  return static_cast<int32_t>(std::lround(value / 64.0 * scale));
}

// The text shaped by HarfBuzz in one buffer, as it was before long runs came in pieces.
std::vector<WholeGlyph> shapedWhole(RenderFont& font, const std::string& text) {
  std::vector<WholeGlyph> glyphs;
  if (!font.ensureHarfBuzzFont()) return glyphs;
  hb_buffer_t* buffer = hb_buffer_create();
  hb_buffer_add_utf8(buffer, text.c_str(), -1, 0, -1);
  hb_buffer_guess_segment_properties(buffer);
  hb_shape(font.harfBuzzFont(), buffer, nullptr, 0);
  unsigned int count = 0;
  const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer, &count);
  const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, nullptr);
  const double scale = font.bitmapStrike() ? font.strikeScale() : 1.0;
  for (unsigned int i = 0; i < count; ++i) {
    glyphs.push_back({infos[i].codepoint, infos[i].cluster, pixelsOf(positions[i].x_advance, scale),
                      pixelsOf(positions[i].x_offset, scale), pixelsOf(positions[i].y_offset, scale)});
  }
  hb_buffer_destroy(buffer);
  return glyphs;
}

void expectShapedAsWhole(RenderFont& font, const std::string& text) {
  std::vector<ShapedGlyph> glyphs;
  ASSERT_TRUE(font.shapeText(text.c_str(), 0, glyphs));
  const std::vector<WholeGlyph> whole = shapedWhole(font, text);
  ASSERT_EQ(glyphs.size(), whole.size());
  for (size_t i = 0; i < glyphs.size(); ++i) {
    EXPECT_EQ(glyphs[i].glyphId, whole[i].glyphId) << i;
    EXPECT_EQ(glyphs[i].clusterStart, whole[i].cluster) << i;
    EXPECT_EQ(glyphs[i].xAdvance, whole[i].xAdvance) << i;
    EXPECT_EQ(glyphs[i].xOffset, whole[i].xOffset) << i;
    EXPECT_EQ(glyphs[i].yOffset, whole[i].yOffset) << i;
  }
}

struct Sample {
  const char* name;
  std::string font;
  std::string text;
};

std::vector<Sample> realTextSamples() {
  return {
      {"Vietnamese", fonttest::kSans,
       "Tiếng Việt có dấu: Người ta đã làm được điều đó, tôi nghĩ thế. Tie\xCC\x82\xCC\x81ng Vie\xCC\xA3\xCC\x82t"},
      {"cantillated Hebrew", notoFont("NotoSerifHebrew-Regular.ttf"),
       "בְּרֵאשִׁ֖ית בָּרָ֣א אֱלֹהִ֑ים אֵ֥ת הַשָּׁמַ֖יִם וְאֵ֥ת הָאָֽרֶץ׃"},
      {"Qur'anic Arabic", notoFont("NotoNaskhArabic-Regular.ttf"),
       "بِسْمِ ٱللَّهِ ٱلرَّحْمَـٰنِ ٱلرَّحِيمِ ۝ ٱلْحَمْدُ لِلَّهِ رَبِّ ٱلْعَـٰلَمِينَ"},
      {"Tibetan", notoFont("NotoSerifTibetan-Regular.ttf"), "བཀྲ་ཤིས་བདེ་ལེགས། ཨོཾ་མ་ཎི་པདྨེ་ཧཱུྃ། སྐྱབས་འགྲོ་"},
      {"Devanagari", notoFont("NotoSansDevanagari-Regular.ttf"), "नमस्ते दुनिया, क्षत्रिय श्रीमान् द्वार हृदय र्‍य"},
      {"emoji", fonttest::kColorEmoji,
       "👨‍👩‍👧‍👦 🇺🇦🇯🇵 👍🏽 🏳️‍🌈 ❤️ 1️⃣ 🧑🏿‍🚀"},
      {"Zalgo of thirty marks", fonttest::kSans, zalgo(30) + " " + zalgo(17).substr(1) + "b"},
  };
}

// Text within the bound is one piece: shaped exactly as HarfBuzz shapes it whole.
TEST_F(FontTest, ShapedRuns_RealTextWithinTheBoundShapesAsWhole) {
  setAllowFontBitmapGlyphs(true);
  for (const Sample& sample : realTextSamples()) {
    SCOPED_TRACE(sample.name);
    auto font = RenderFont::load(sample.font, 20, 0);
    ASSERT_NE(font, nullptr);
    ASSERT_LE(codepointCount(sample.text), kShapingPieceCodepoints);
    expectShapedAsWhole(*font, sample.text);
  }
}

// Real text many times the bound is cut at its spaces, where nothing joins across: the same glyphs, offsets,
// advances and clusters as shaped whole, right to left in visual order too.
TEST_F(FontTest, ShapedRuns_LongRealTextCutAtSpacesShapesAsWhole) {
  setAllowFontBitmapGlyphs(true);
  for (const Sample& sample : realTextSamples()) {
    SCOPED_TRACE(sample.name);
    auto font = RenderFont::load(sample.font, 20, 0);
    ASSERT_NE(font, nullptr);
    const std::string text = repeated(sample.text + " ", 30);
    ASSERT_GT(codepointCount(text), 2 * kShapingPieceCodepoints);
    expectShapedAsWhole(*font, text);
  }
}

// A combining mark after a space (or a no-break space, the usual way to show a mark alone) belongs to the
// space's cluster: a window that ends at that space, here one of a few codepoints before a long unspaced run,
// does not cut the mark off from it.
TEST_F(FontTest, ShapedRuns_AMarkAfterASpaceStaysWithTheSpace) {
  auto font = loadOrFail(fonttest::kSans, 20);
  ASSERT_NE(font, nullptr);
  const std::string run = repeated("abcdefghij", 40);
  const std::string acute = "\xCC\x81";
  const std::string noBreakSpace = "\xC2\xA0";
  for (const std::string& text : {"accent" + noBreakSpace + acute + run, "grave " + acute + run,
                                  repeated("ab" + noBreakSpace + acute, 3) + run}) {
    SCOPED_TRACE(text.substr(0, 20));
    expectShapedAsWhole(*font, text);
  }
}

// The first glyph where shaping in pieces and HarfBuzz on the whole text disagree (glyph, cluster, advance or
// offsets), the glyph count when one has more glyphs, or -1 when they agree.
long firstDifferenceFromWhole(RenderFont& font, const std::string& text) {
  std::vector<ShapedGlyph> glyphs;
  if (!font.shapeText(text.c_str(), 0, glyphs)) return 0;
  const std::vector<WholeGlyph> whole = shapedWhole(font, text);
  for (size_t i = 0; i < std::min(glyphs.size(), whole.size()); ++i) {
    const ShapedGlyph& g = glyphs[i];
    const WholeGlyph& w = whole[i];
    if (g.glyphId != w.glyphId || g.clusterStart != w.cluster || g.xAdvance != w.xAdvance || g.xOffset != w.xOffset ||
        g.yOffset != w.yOffset) {
      return static_cast<long>(i);
    }
  }
  return glyphs.size() == whole.size() ? -1 : static_cast<long>(std::min(glyphs.size(), whole.size()));
}

struct LongRun {
  const char* name;
  std::string font;
  std::string filler;  // a letter of the script, put in front 0 to 23 times
  std::string text;
};

std::string withoutSpaces(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

// Each run with its filler in front 0 to 23 times (which moves every place the pieces could be cut) shapes as
// HarfBuzz shapes it whole: glyphs, clusters, advances, offsets and width.
void expectWholeFromEveryStart(const std::vector<LongRun>& runs) {
  for (const LongRun& run : runs) {
    SCOPED_TRACE(run.name);
    auto font = RenderFont::load(run.font, 20, 0);
    ASSERT_NE(font, nullptr) << run.font;
    std::vector<size_t> differingStarts;
    for (size_t shift = 0; shift < 24; ++shift) {
      const std::string text = repeated(run.filler, shift) + run.text;
      ASSERT_GT(codepointCount(text), kShapingPieceCodepoints);
      int64_t wholeWidth = 0;
      for (const WholeGlyph& glyph : shapedWhole(*font, text)) wholeWidth += glyph.xAdvance;
      if (firstDifferenceFromWhole(*font, text) >= 0 || font->textWidth(text.c_str()) != wholeWidth) {
        differingStarts.push_back(shift);
      }
    }
    EXPECT_EQ(differingStarts, std::vector<size_t>{}) << "fillers in front for which pieces differ from whole";
  }
}

// Scripts written without spaces between words, each run a few times the bound: cut into pieces where
// HarfBuzz says cutting changes nothing, they shape exactly as whole, wherever the pieces fall (the filler in
// front moves every cut).
TEST_F(FontTest, ShapedRuns_LongRunsWithoutSpacesShapeAsWholeFromEveryStart) {
  const std::string khmer =
      "កុមារទាំងអស់ត្រូវមានសិទ្ធិរៀនសូត្រព្រះអាទិត្យរះនៅពេលព្រឹកយើងញ៉ាំបាយជាមួយគ្រួសារសាលារៀនរបស់យើងស្អាតណាស់ខ្ញុំស្រឡាញ់ភាសាខ្មែរ";
  const std::string burmese = "ကမ္ဘာကြီးသည်လှပသည်ကျွန်ုပ်သည်မန္တလေးမြို့သို့သွားမည်ဗုဒ္ဓဘာသာဝင်များပစ္စည်းများကိုဝယ်သည်သဒ္ဒါစာအုပ်ကိုဖတ်သည်";
  const std::string devanagari = "विद्यार्थीराष्ट्रस्वतन्त्रतासंस्कृतक्षमाश्रद्धापत्रज्ञानद्वारशुद्ध";
  const std::string thai = "เราเจอเงินเจ็ดบาทเย็นนี้เงียบเหงา";
  const std::string urdu = "اردوزبانبہتخوبصورتہےاورہمسبکواسسےپیارہے";
  const std::vector<LongRun> runs = {
      {"Khmer", notoFont("NotoSansKhmer-Regular.ttf"), "ក", repeated(khmer, 6)},
      {"Burmese", notoFont("NotoSansMyanmar-Regular.ttf"), "က", repeated(burmese, 7)},
      {"lam-alef", notoFont("NotoSansArabic-Regular.ttf"), "ب", repeated("لا", 200)},
      {"digits, then lam-alef", notoFont("NotoSansArabic-Regular.ttf"), "1",
       repeated("0123456789", 30) + repeated("لا", 100)},
      {"Devanagari conjuncts", notoFont("NotoSansDevanagari-Regular.ttf"), "क", repeated(devanagari, 12)},
      {"Thai", notoFont("NotoSansThai-Regular.ttf"), "ก", repeated(thai, 25)},
      {"Urdu in Nastaliq", notoFont("NotoNastaliqUrdu-Regular.ttf"), "ا", repeated(urdu, 20)},
  };
  expectWholeFromEveryStart(runs);
}

// Faces that HarfBuzz shapes with Graphite, which marks every glyph after the first unsafe to break: Burmese
// in Padauk and Arabic in Scheherazade, with spaces and without, shape exactly as whole from every start.
TEST_F(FontTest, ShapedRuns_GraphiteFacesShapeAsWholeFromEveryStart) {
  const std::string padauk = "/usr/share/fonts/truetype/padauk/Padauk-Regular.ttf";
  const std::string scheherazade = "/usr/share/fonts/truetype/scheherazade/Scheherazade-Regular.ttf";
  const std::string burmese = "ကမ္ဘာကြီးသည် လှပသည် ကျွန်ုပ်သည် မန္တလေးမြို့သို့ သွားမည် ဗုဒ္ဓဘာသာဝင်များ ပစ္စည်းများကို ဝယ်သည် သဒ္ဒါစာအုပ်ကို ဖတ်သည်း ";
  const std::string arabic = "بِسْمِ اللَّهِ الرَّحْمَٰنِ الرَّحِيمِ اللغة العربية جميلة جدًا وهي لغة القرآن الكريم لا إله إلا الله ";
  expectWholeFromEveryStart({
      {"Burmese in Padauk", padauk, "က", repeated(burmese, 4)},
      {"Burmese in Padauk without spaces", padauk, "က", withoutSpaces(repeated(burmese, 4))},
      {"Arabic in Scheherazade", scheherazade, "ب", repeated(arabic, 5)},
      {"Arabic in Scheherazade without spaces", scheherazade, "ب", withoutSpaces(repeated(arabic, 5))},
  });
}

// Words as long as a run without white space may be and still leave a Graphite text whole: three of them,
// with spaces, shape exactly as HarfBuzz shapes the whole text.
TEST_F(FontTest, ShapedRuns_GraphiteWordsAtTheLongestAWholeTextMayHoldShapeAsWhole) {
  auto font = RenderFont::load("/usr/share/fonts/truetype/scheherazade/Scheherazade-Regular.ttf", 20, 0);
  ASSERT_NE(font, nullptr);
  const std::string word = repeated("\xD8\xA8\xD9\x90", kUnflaggedPieceCodepoints / 2);  // beh and kasra
  ASSERT_EQ(codepointCount(word), kUnflaggedPieceCodepoints);
  expectShapedAsWhole(*font, repeated(word + " ", 3));
}

// A stack of marks far past the bound loses none: every mark is a glyph of no advance, in the text's order
// of clusters, and the width and bounds are those of the letters with the marks' ink.
TEST_F(FontTest, ShapedRuns_MarksPastTheBoundAreAllShaped) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const std::string pair = "\xCC\x81\xCC\x96";  // above, below
  const std::string text = "a" + repeated(pair, 50000) + "b";
  std::vector<ShapedGlyph> glyphs;
  ASSERT_TRUE(font->shapeText(text.c_str(), 0, glyphs));
  ASSERT_EQ(glyphs.size(), shapedWhole(*font, "a" + pair + "b").size() + 2 * (50000 - 1));
  EXPECT_EQ(font->textWidth(text.c_str()), font->textWidth("ab"));
  uint32_t lastStart = 0;
  for (size_t i = 0; i < glyphs.size(); ++i) {
    EXPECT_GE(glyphs[i].clusterStart, lastStart) << i;
    EXPECT_GT(glyphs[i].clusterEnd, glyphs[i].clusterStart) << i;
    lastStart = glyphs[i].clusterStart;
  }
  EXPECT_EQ(glyphs.back().clusterEnd, text.size());
  const TextBounds bounds = font->textBounds(text.c_str());
  const TextBounds letters = font->textBounds("ab");
  ASSERT_TRUE(bounds.valid);
  EXPECT_LE(bounds.x, letters.x);
  EXPECT_GE(bounds.x + bounds.width, letters.x + letters.width);
}

// A glyph the face lacks fails the whole run, in whichever piece it is, and leaves the output as it was; a
// group then shapes the whole text in the member that has every glyph.
TEST_F(FontTest, ShapedRuns_AGlyphMissingInAnyPieceFailsTheWholeRun) {
  auto mono = loadOrFail(fonttest::kSansMono, 14);
  auto sans = loadOrFail(fonttest::kSans, 14);
  const std::string words = repeated("e\xCC\x81t\xC3\xA9 ", 200);
  const std::string hebrew = "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";  // DejaVu Sans Mono has no Hebrew
  for (const std::string& text : {hebrew + words, words + hebrew, words + hebrew + words}) {
    ASSERT_GT(codepointCount(text), 2 * kShapingPieceCodepoints);
    std::vector<ShapedGlyph> glyphs(3);
    EXPECT_FALSE(mono->shapeText(text.c_str(), 0, glyphs));
    EXPECT_EQ(glyphs.size(), 3u);
    auto group = RenderFont::group({mono, sans});
    ASSERT_TRUE(group->shapeTextWithFallback(text.c_str(), glyphs));
    EXPECT_EQ(glyphs.front().face, sans.get());
    expectShapedAsWhole(*sans, text);
  }
}

}  // namespace
