// Cutting text into runs: which clusters need the shaper, and the unshaped and shaped runs themselves.
#include "render/text_layout.h"

#include <emmintrin.h>

#include <cstring>

#include "fonts/codepoints.h"
#include "fonts/render_font.h"

namespace {

struct DecodedCodepoint {
  uint32_t codepoint;
  size_t start;
  size_t end;
};

bool inRange(uint32_t c, uint32_t first, uint32_t last) { return c >= first && c <= last; }

// Combining marks and variation selectors that stay with the cluster before them.
bool isClusterMark(uint32_t c) {
  return inRange(c, 0x0300, 0x036F) || inRange(c, 0x1AB0, 0x1AFF) || inRange(c, 0x1DC0, 0x1DFF) ||
         inRange(c, 0x20D0, 0x20FF) || inRange(c, 0xFE00, 0xFE0F) || inRange(c, 0xFE20, 0xFE2F) ||
         inRange(c, 0xE0100, 0xE01EF);
}

bool isSequenceMark(uint32_t c) { return isClusterMark(c) || inRange(c, 0x1F3FB, 0x1F3FF); }
bool isRegionalIndicator(uint32_t c) { return inRange(c, 0x1F1E6, 0x1F1FF); }
bool isKeycapBase(uint32_t c) { return c == '#' || c == '*' || inRange(c, '0', '9'); }

constexpr uint32_t kKeycapMark = 0x20E3;
constexpr uint32_t kZeroWidthJoiner = 0x200D;

std::vector<DecodedCodepoint> decodeAll(const char* text, size_t length) {
  std::vector<DecodedCodepoint> decoded;
  const char* p = text;
  while (static_cast<size_t>(p - text) < length) {
    uint32_t codepoint = 0;
    const char* next = nextUtf8CodepointUnchecked(p, codepoint);
    decoded.push_back({codepoint, static_cast<size_t>(p - text), static_cast<size_t>(next - text)});
    p = next;
  }
  return decoded;
}

// End (exclusive index) of the cluster that starts at i and needs the shaper, or 0 when there is none.
size_t shapedClusterEnd(const std::vector<DecodedCodepoint>& cps, size_t i) {
  const size_t n = cps.size();
  const uint32_t c = cps[i].codepoint;
  if (needsComplexShaping(c)) {
    size_t j = i + 1;
    while (j < n && (needsComplexShaping(cps[j].codepoint) || isClusterMark(cps[j].codepoint))) ++j;
    return j;
  }
  size_t indicators = 0;
  while (i + indicators < n && isRegionalIndicator(cps[i + indicators].codepoint)) ++indicators;
  if (indicators >= 2) return i + (indicators & ~size_t{1});
  if (i + 1 == n) return 0;
  if (isKeycapBase(c)) {
    if (cps[i + 1].codepoint == kKeycapMark) return i + 2;
    if (isVariationSelector(cps[i + 1].codepoint) && i + 2 < n && cps[i + 2].codepoint == kKeycapMark) return i + 3;
  }
  size_t j = i + 1;
  bool extended = false;
  const auto skipMarks = [&] {
    while (j < n && isSequenceMark(cps[j].codepoint)) {
      ++j;
      extended = true;
    }
  };
  skipMarks();
  while (j < n && cps[j].codepoint == kZeroWidthJoiner && j + 1 < n) {
    extended = true;
    if (j + 2 == n) {
      j = n;
      break;
    }
    j += 2;
    skipMarks();
  }
  return extended ? j : 0;
}

}  // namespace

const TextCellLayout& emptyTextCellLayout() {
  static const TextCellLayout empty;
  return empty;
}

bool textMayNeedShaping(const char* text) { return text != nullptr && textMayNeedShaping(std::string_view(text)); }

bool textMayNeedShaping(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t length = text.size();
  size_t i = 0;
  __m128i merged = _mm_setzero_si128();
  for (; i + 16 <= length; i += 16) {
    merged = _mm_or_si128(merged, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)));
  }
  uint32_t highBits = static_cast<uint32_t>(_mm_movemask_epi8(merged));
  for (; i < length; ++i) highBits |= bytes[i] & 0x80u;
  return highBits != 0 && textNeedsShaping(text.data());
}

bool needsComplexShaping(uint32_t c) {
  return inRange(c, 0x0590, 0x06FF) || inRange(c, 0x0750, 0x077F) || inRange(c, 0x08A0, 0x0EFF) ||
         inRange(c, 0x1000, 0x109F) || inRange(c, 0x1780, 0x17FF) || inRange(c, 0xA980, 0xA9DF) ||
         inRange(c, 0xAA60, 0xAA7F) || inRange(c, 0xFB1D, 0xFDFF) || inRange(c, 0xFE70, 0xFEFF) ||
         inRange(c, 0x1EE00, 0x1EEFF);
}

void appendUnshapedRun(RenderFont* font, std::string_view range, TextLayout& layout) {
  if (font == nullptr || range.empty()) return;
  TextRun run;
  run.text.assign(range);
  int64_t width = 0;
  const char* p = run.text.c_str();
  const char* end = p + run.text.size();
  while (p < end) {
    uint32_t codepoint = 0;
    p = nextUtf8CodepointUnchecked(p, codepoint);
    const ResolvedAdvance resolved = font->resolveAdvance(codepoint);
    run.codepoints.push_back({resolved.face, codepoint, resolved.face ? resolved.baselineShift : 0});
    if (resolved.face != nullptr) width += resolved.advance;
  }
  // Kept even when no face serves any codepoint (it draws nothing), so later runs keep their byte places.
  run.width = static_cast<uint32_t>(width);
  layout.width += run.width;
  layout.runs.push_back(std::move(run));
}

void appendShapedRun(RenderFont* font, std::string_view range, TextLayout& layout) {
  if (font == nullptr || range.empty()) return;
  const std::string text(range);
  std::vector<ShapedGlyph> glyphs;
  if (!textNeedsShaping(text.c_str()) || !font->shapeTextWithFallback(text.c_str(), glyphs)) {
    appendUnshapedRun(font, range, layout);
    return;
  }
  TextRun run;
  int64_t width = 0;
  for (const ShapedGlyph& glyph : glyphs) width += glyph.xAdvance;
  run.width = static_cast<uint32_t>(width);
  run.rightToLeft = glyphs.empty() ? 0 : glyphs.front().rightToLeft;
  run.text = text;
  run.glyphs = std::move(glyphs);
  layout.width += run.width;
  layout.runs.push_back(std::move(run));
}

TextLayout buildTextRuns(RenderFont* font, const char* text) {
  TextLayout layout;
  layout.needsShaping = textMayNeedShaping(text) ? 1 : 0;
  const std::string_view whole = text != nullptr ? std::string_view(text) : std::string_view();
  if (!layout.needsShaping) {
    appendUnshapedRun(font, whole, layout);
    return layout;
  }
  const std::vector<DecodedCodepoint> cps = decodeAll(text, whole.size());
  size_t pending = 0;
  for (size_t i = 0; i < cps.size();) {
    const size_t end = shapedClusterEnd(cps, i);
    if (end == 0) {
      ++i;
      continue;
    }
    if (pending < cps[i].start) appendUnshapedRun(font, whole.substr(pending, cps[i].start - pending), layout);
    const size_t clusterEnd = cps[end - 1].end;
    appendShapedRun(font, whole.substr(cps[i].start, clusterEnd - cps[i].start), layout);
    pending = clusterEnd;
    i = end;
  }
  if (pending < whole.size()) appendUnshapedRun(font, whole.substr(pending), layout);
  return layout;
}
