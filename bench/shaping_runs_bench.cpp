// The width of long runs that HarfBuzz alone would shape in time growing with their square: marks that look
// back past default ignorables, Thai, Khmer and Myanmar cluster chains, a stack of combining marks, and a
// word of letters that its font's GDEF calls marks; of Khmer words written, as usual, without spaces; and of
// Burmese, Arabic and Urdu in faces that HarfBuzz shapes with Graphite, which get each run whole unless it
// holds a run without white space far longer than a word (the fatha chain in Awami Nastaliq).
// Each at two lengths, four times apart; after the run a table gives each kind's time ratio against the
// target "4 x the text within 5 x the time".
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fonts/render_font.h"
#include "ratio_reporter.h"

namespace {

const std::string kNoto = "/usr/share/fonts/truetype/noto/";
const char* const kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
// Faces that HarfBuzz shapes with Graphite, which gets each run whole.
const char* const kPadauk = "/usr/share/fonts/truetype/padauk/Padauk-Regular.ttf";
const char* const kScheherazade = "/usr/share/fonts/truetype/scheherazade/Scheherazade-Regular.ttf";
const char* const kAwami = "/usr/share/fonts/truetype/awami/AwamiNastaliq-Regular.ttf";

struct RunKind {
  const char* name;
  std::string font;
  std::string head;  // once, before the repeated unit
  std::string unit;
  int64_t count;  // units in the shorter text, about 40 KB of it
};

// "a" and the combining marks U+0300 to U+034E, all of which DejaVu Sans has.
std::string zalgoUnit() {
  std::string marks;
  for (uint32_t mark = 0x300; mark < 0x34F; ++mark) {
    marks += static_cast<char>(0xC0 | (mark >> 6));
    marks += static_cast<char>(0x80 | (mark & 0x3F));
  }
  return marks;
}

// The font whose GDEF calls beh a mark, written by the tests' fixture script; removed at exit.
class MarkLetterFont {
 public:
  MarkLetterFont()
      : path_((std::filesystem::temp_directory_path() / ("qz_bench_mark_letter_" + std::to_string(getpid()) + ".ttf"))
                  .string()) {
    const std::string command = "/usr/bin/python3 " QZ_FONT_FIXTURES_DIR "/make_mark_letter_font.py " + path_;
    made_ = std::system(command.c_str()) == 0;
  }
  ~MarkLetterFont() { std::remove(path_.c_str()); }
  std::string path() const { return made_ ? path_ : std::string(); }

 private:
  std::string path_;
  bool made_ = false;
};

void BM_WidthOfRun(benchmark::State& state, const RunKind* kind) {
  std::shared_ptr<RenderFont> font = kind->font.empty() ? nullptr : RenderFont::load(kind->font, 16, 0);
  if (font == nullptr) {
    state.SkipWithError("the font could not be loaded");
    return;
  }
  std::string text = kind->head;
  for (int64_t i = 0; i < state.range(0); ++i) text += kind->unit;
  font->textWidth(text.c_str());  // fills the glyph caches
  for (auto _ : state) benchmark::DoNotOptimize(font->textWidth(text.c_str()));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const MarkLetterFont markLetterFont;
  const std::vector<RunKind> kinds = {
      {"fatha_feff", kSans, "\xD8\xA8", "\xD9\x8E\xEF\xBB\xBF", 8000},
      {"acute_zwnj", kSans, "a", "\xCC\x81\xE2\x80\x8C", 8000},
      {"thai_sara_am", kNoto + "NotoSansThai-Regular.ttf", "\xE0\xB8\x81", "\xE0\xB9\x88\xE0\xB8\xB3", 6700},
      {"khmer_coeng", kNoto + "NotoSansKhmer-Regular.ttf", "\xE1\x9E\x80", "\xE1\x9F\x92\xE1\x9E\x80", 6700},
      {"myanmar_virama", kNoto + "NotoSansMyanmar-Regular.ttf", "\xE1\x80\x80", "\xE1\x80\xB9\xE1\x80\x80", 6700},
      {"zalgo", kSans, "a", zalgoUnit(), 256},
      {"gdef_mark_letters", markLetterFont.path(), "\xD8\xA7", "\xD8\xA8", 20000},
      {"khmer_words", kNoto + "NotoSansKhmer-Regular.ttf", "",
       "កុមារទាំងអស់ត្រូវមានសិទ្ធិរៀនសូត្រព្រះអាទិត្យរះនៅពេលព្រឹកយើងញ៉ាំបាយជាមួយគ្រួសារសាលារៀនរបស់យើងស្អាតណាស់ខ្ញុំស្រឡាញ់ភាសាខ្មែរ", 110},
      {"padauk_burmese_words", kPadauk, "",
       "ကမ္ဘာကြီးသည် လှပသည် ကျွန်ုပ်သည် မန္တလေးမြို့သို့ သွားမည် ဗုဒ္ဓဘာသာဝင်များ ပစ္စည်းများကို ဝယ်သည် ", 140},
      {"padauk_virama", kPadauk, "\xE1\x80\x80", "\xE1\x80\xB9\xE1\x80\x80", 6700},
      {"scheherazade_arabic_words", kScheherazade, "",
       "بِسْمِ اللَّهِ الرَّحْمَٰنِ الرَّحِيمِ اللغة العربية جميلة جدًا وهي لغة القرآن الكريم ", 250},
      {"scheherazade_fatha_feff", kScheherazade, "\xD8\xA8", "\xD9\x8E\xEF\xBB\xBF", 8000},
      {"awami_fatha_chain", kAwami, "\xD8\xA8", "\xD9\x8E", 512},
      {"awami_urdu_words", kAwami, "",
       "اردو زبان بہت خوبصورت ہے اور ہم سب کو اس سے پیار ہے۔ پاکستان کی قومی زبان اردو ہے ", 120},
  };
  for (const RunKind& kind : kinds) {
    benchmark::RegisterBenchmark((std::string("BM_WidthOfRun/") + kind.name).c_str(), BM_WidthOfRun, &kind)
        ->Arg(kind.count)
        ->Arg(4 * kind.count)
        ->Unit(benchmark::kMillisecond);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  for (const RunKind& kind : kinds) {
    const std::string base = std::string("BM_WidthOfRun/") + kind.name + "/";
    reporter.printRatio((std::string(kind.name) + ": 4 x the text").c_str(),
                        (base + std::to_string(4 * kind.count)).c_str(), (base + std::to_string(kind.count)).c_str(),
                        5.0, "ms");
  }
  benchmark::Shutdown();
  return 0;
}
