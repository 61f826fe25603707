// Text shaping and measurement. Text is measured per codepoint from the cached advances unless it holds
// something only a shaper gets right; such text is shaped whole in one face (for a group, the first member
// that shapes all of it), or measured per codepoint when no single face can. A run of combining marks past
// the stream-safe limit is shaped only up to that limit; HarfBuzz's mark attachment costs time quadratic in the
// run, and the marks beyond it are measured one by one at zero advance.
#include <hb.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "fonts/codepoints.h"
#include "fonts/font_rounding.h"
#include "fonts/render_font.h"

namespace {

// A HarfBuzz position (26.6) in pixels; `scale` carries a bitmap strike's positions to the requested size.
int32_t harfBuzzPixels(hb_position_t position, double scale) { return roundToInt32(position / 64.0 * scale); }

// Grows `bounds` to take in the box at (x, y) of `width` x `height`.
void addBox(TextBounds& bounds, int64_t x, int64_t y, int32_t width, int32_t height) {
  int64_t left = x;
  int64_t top = y;
  int64_t right = x + width;
  int64_t bottom = y + height;
  if (bounds.valid) {
    left = std::min<int64_t>(left, bounds.x);
    top = std::min<int64_t>(top, bounds.y);
    right = std::max<int64_t>(right, int64_t{bounds.x} + bounds.width);
    bottom = std::max<int64_t>(bottom, int64_t{bounds.y} + bounds.height);
  }
  bounds.x = clampToInt32(left);
  bounds.y = clampToInt32(top);
  bounds.width = clampToInt32(right - bounds.x);
  bounds.height = clampToInt32(bottom - bounds.y);
  bounds.valid = true;
}

// The text without its variation selectors.
std::string withoutVariationSelectors(const char* text) {
  std::string filtered;
  while (*text != '\0') {
    uint32_t codepoint = 0;
    const char* next = nextUtf8CodepointUnchecked(text, codepoint);
    if (!isVariationSelector(codepoint)) filtered.append(text, next);
    text = next;
  }
  return filtered;
}

// Marks shaped in one run of non-starters: the stream-safe limit of Unicode's normalization forms, far above
// any mark stack of real text.
constexpr size_t kShapedMarkRun = 30;

struct OverflowMark {
  uint32_t codepoint;
  uint32_t start;  // byte offset in the text
};

bool isNonStarter(hb_unicode_funcs_t* unicode, uint32_t codepoint) {
  if (codepoint < 0x300) return false;  // the first combining mark
  if (hb_unicode_combining_class(unicode, codepoint) != HB_UNICODE_COMBINING_CLASS_NOT_REORDERED) return true;
  const hb_unicode_general_category_t category = hb_unicode_general_category(unicode, codepoint);
  return category == HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK ||
         category == HB_UNICODE_GENERAL_CATEGORY_SPACING_MARK || category == HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK;
}

// Default-ignorable marks (variation selectors, the grapheme joiner, Mongolian and Khmer selectors), which
// HarfBuzz draws as nothing: past the limit they take no glyph.
bool isIgnorableMark(uint32_t codepoint) {
  return codepoint == 0x34F || (codepoint >= 0x17B4 && codepoint <= 0x17B5) ||
         (codepoint >= 0x180B && codepoint <= 0x180F) || isVariationSelector(codepoint);
}

// The marks of the text past the first kShapedMarkRun of each run of non-starters, in text order.
std::vector<OverflowMark> overflowMarks(const char* text) {
  std::vector<OverflowMark> overflow;
  hb_unicode_funcs_t* unicode = hb_unicode_funcs_get_default();
  size_t run = 0;
  for (const char* cursor = text; *cursor != '\0';) {
    uint32_t codepoint = 0;
    const char* next = nextUtf8CodepointUnchecked(cursor, codepoint);
    run = isNonStarter(unicode, codepoint) ? run + 1 : 0;
    if (run > kShapedMarkRun) overflow.push_back({codepoint, static_cast<uint32_t>(cursor - text)});
    cursor = next;
  }
  return overflow;
}

// Fills the buffer with the text's codepoints but the overflow marks, each with its byte offset as its cluster,
// as hb_buffer_add_utf8 numbers them.
void addAllButOverflow(hb_buffer_t* buffer, const char* text, const std::vector<OverflowMark>& overflow) {
  hb_buffer_set_content_type(buffer, HB_BUFFER_CONTENT_TYPE_UNICODE);
  auto skipped = overflow.begin();
  for (const char* cursor = text; *cursor != '\0';) {
    uint32_t codepoint = 0;
    const char* next = nextUtf8CodepointUnchecked(cursor, codepoint);
    const auto offset = static_cast<uint32_t>(cursor - text);
    if (skipped != overflow.end() && skipped->start == offset) {
      ++skipped;
    } else {
      hb_buffer_add(buffer, codepoint, offset);
    }
    cursor = next;
  }
}

}  // namespace

bool RenderFont::shapeRun(hb_buffer_t* buffer, const char* text, uint32_t wholeClusterEnd, int32_t baselineShift,
                          bool wholeCluster, std::vector<ShapedGlyph>& output) {
  const std::vector<OverflowMark> overflow = overflowMarks(text);
  hb_buffer_reset(buffer);
  if (overflow.empty()) {
    hb_buffer_add_utf8(buffer, text, -1, 0, -1);
  } else {
    addAllButOverflow(buffer, text, overflow);
  }
  hb_buffer_guess_segment_properties(buffer);
  hb_shape(hbFont_.get(), buffer, nullptr, 0);
  const bool rightToLeft = hb_buffer_get_direction(buffer) == HB_DIRECTION_RTL;
  unsigned int count = 0;
  const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer, &count);
  const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, nullptr);
  if (infos == nullptr || positions == nullptr || count == 0) return false;
  const auto textLength = static_cast<uint32_t>(std::min<size_t>(std::strlen(text), UINT32_MAX));
  std::vector<uint32_t> clusterStarts;
  if (!wholeCluster || !overflow.empty()) {
    clusterStarts.reserve(count);
    for (unsigned int i = 0; i < count; ++i) clusterStarts.push_back(infos[i].cluster);
    std::sort(clusterStarts.begin(), clusterStarts.end());
    clusterStarts.erase(std::unique(clusterStarts.begin(), clusterStarts.end()), clusterStarts.end());
  }
  // HarfBuzz measures a bitmap strike at the strike's own size.
  const double scale = bitmapStrike_ ? strikeScale_ : 1.0;
  const auto makeGlyph = [&](uint32_t glyphId, uint32_t cluster, const hb_glyph_position_t* position) {
    ShapedGlyph glyph;
    glyph.face = this;
    glyph.glyphId = glyphId;
    if (position != nullptr) {
      glyph.xAdvance = harfBuzzPixels(position->x_advance, scale);
      glyph.xOffset = harfBuzzPixels(position->x_offset, scale);
      glyph.yOffset = harfBuzzPixels(position->y_offset, scale);
    }
    glyph.baselineShift = baselineShift;
    glyph.rightToLeft = rightToLeft ? 1 : 0;
    if (wholeCluster) {
      glyph.clusterEnd = wholeClusterEnd;
    } else {
      glyph.clusterStart = cluster;
      const auto next = std::upper_bound(clusterStarts.begin(), clusterStarts.end(), cluster);
      glyph.clusterEnd = next != clusterStarts.end() ? *next : textLength;
    }
    return glyph;
  };
  // An overflow mark joins the cluster that holds the marks before it, beside that cluster's glyphs: after them
  // left to right, before them right to left. The clusters of the marks rise as the marks follow the text.
  std::vector<uint32_t> overflowClusters;
  overflowClusters.reserve(overflow.size());
  for (const OverflowMark& mark : overflow) {
    const auto holder = std::upper_bound(clusterStarts.begin(), clusterStarts.end(), mark.start);
    overflowClusters.push_back(holder == clusterStarts.begin() ? clusterStarts.front() : *(holder - 1));
  }
  std::vector<bool> placedClusters(overflow.size());  // by the index of a cluster's first overflow mark
  std::vector<ShapedGlyph> glyphs;
  glyphs.reserve(count + overflow.size());
  const auto placeOverflow = [&](uint32_t cluster) {
    const auto [first, last] = std::equal_range(overflowClusters.begin(), overflowClusters.end(), cluster);
    if (first == last || placedClusters[static_cast<size_t>(first - overflowClusters.begin())]) return true;
    placedClusters[static_cast<size_t>(first - overflowClusters.begin())] = true;
    const size_t placed = glyphs.size();
    for (auto at = first; at != last; ++at) {
      const uint32_t codepoint = overflow[static_cast<size_t>(at - overflowClusters.begin())].codepoint;
      if (isIgnorableMark(codepoint)) continue;
      hb_codepoint_t glyphId = 0;
      if (!hb_font_get_nominal_glyph(hbFont_.get(), codepoint, &glyphId) || glyphId == 0 ||
          glyphEntryById(glyphId).missing) {
        return false;
      }
      glyphs.push_back(makeGlyph(glyphId, cluster, nullptr));
    }
    if (rightToLeft) std::reverse(glyphs.begin() + static_cast<std::ptrdiff_t>(placed), glyphs.end());
    return true;
  };
  for (unsigned int i = 0; i < count; ++i) {
    const uint32_t cluster = infos[i].cluster;
    const bool firstOfCluster = i == 0 || infos[i - 1].cluster != cluster;
    const bool lastOfCluster = i + 1 == count || infos[i + 1].cluster != cluster;
    if (rightToLeft && firstOfCluster && !placeOverflow(cluster)) return false;
    const uint32_t glyphId = infos[i].codepoint;
    if (glyphId == 0 || glyphEntryById(glyphId).missing) return false;
    glyphs.push_back(makeGlyph(glyphId, cluster, &positions[i]));
    if (!rightToLeft && lastOfCluster && !placeOverflow(cluster)) return false;
  }
  output.swap(glyphs);
  return true;
}

bool RenderFont::shapeText(const char* text, int32_t baselineShift, std::vector<ShapedGlyph>& output) {
  if (text == nullptr || text[0] == '\0' || isGroup() || !ensureHarfBuzzFont()) return false;
  HarfBuzzBufferHandle buffer(hb_buffer_create());
  if (!hb_buffer_allocation_successful(buffer.get())) return false;
  std::vector<ShapedGlyph> glyphs;
  if (!shapeRun(buffer.get(), text, 0, baselineShift, false, glyphs)) return false;
  // A keycap that came out in pieces may shape as one glyph without its variation selector.
  if (glyphs.size() > 1 && isKeycapSequence(text)) {
    const std::string filtered = withoutVariationSelectors(text);
    std::vector<ShapedGlyph> keycap;
    const auto textLength = static_cast<uint32_t>(std::strlen(text));
    if (!filtered.empty() && shapeRun(buffer.get(), filtered.c_str(), textLength, baselineShift, true, keycap) &&
        keycap.size() < glyphs.size()) {
      glyphs.swap(keycap);
    }
  }
  output = std::move(glyphs);
  return true;
}

bool RenderFont::shapeTextWithFallback(const char* text, std::vector<ShapedGlyph>& output) {
  output.clear();
  if (text == nullptr || text[0] == '\0') return false;
  if (!isGroup()) return shapeText(text, 0, output);
  if (!groupReady()) return false;
  // Resolving every codepoint first loads the lazy members that cover the text.
  for (const char* cursor = text; *cursor != '\0';) {
    uint32_t codepoint = 0;
    cursor = nextUtf8CodepointUnchecked(cursor, codepoint);
    resolveFallback(codepoint);
  }
  if (isKeycapSequence(text)) return shapeKeycapWithFallback(text, output);
  const FontGroupData& data = *group_;
  for (size_t slot = 0; slot < data.slots.size(); ++slot) {
    if (data.slots[slot] && data.slots[slot]->shapeText(text, data.baselineShifts[slot], output)) return true;
  }
  return false;
}

// Shapes a keycap in every loaded member and keeps the best-scoring result (the earlier member on a tie).
bool RenderFont::shapeKeycapWithFallback(const char* text, std::vector<ShapedGlyph>& output) {
  const FontGroupData& data = *group_;
  bool found = false;
  int32_t bestScore = INT32_MIN;
  for (size_t slot = 0; slot < data.slots.size(); ++slot) {
    RenderFont* member = data.slots[slot].get();
    std::vector<ShapedGlyph> glyphs;
    if (member == nullptr || !member->shapeText(text, data.baselineShifts[slot], glyphs)) continue;
    const int32_t score = keycapShapeScore(member, text, glyphs);
    if (!found || score > bestScore) {
      found = true;
      bestScore = score;
      output.swap(glyphs);
    }
  }
  return found;
}

int32_t keycapShapeScore(const RenderFont* face, const char* text, const std::vector<ShapedGlyph>& glyphs) {
  if (text == nullptr || glyphs.empty()) return INT32_MIN;
  const int64_t count = static_cast<int64_t>(glyphs.size());
  int32_t score = count == 1 ? 80 : static_cast<int32_t>(std::max<int64_t>(0, 32 - 8 * count));
  if (face != nullptr && face->colourFace()) score += 100;
  const uint32_t firstStart = glyphs.front().clusterStart;
  const bool oneCluster = std::all_of(glyphs.begin(), glyphs.end(),
                                      [firstStart](const ShapedGlyph& g) { return g.clusterStart == firstStart; });
  uint32_t lastEnd = 0;
  for (const ShapedGlyph& glyph : glyphs) lastEnd = std::max(lastEnd, glyph.clusterEnd);
  if (firstStart == 0 && oneCluster && lastEnd == std::strlen(text)) score += 40;
  return score;
}

int32_t RenderFont::textWidth(const char* text) {
  if (text == nullptr) return 0;
  int64_t width = 0;
  std::vector<ShapedGlyph> glyphs;
  if (textNeedsShaping(text) && shapeTextWithFallback(text, glyphs)) {
    for (const ShapedGlyph& glyph : glyphs) width += glyph.xAdvance;
    return clampToInt32(width);
  }
  for (const char* cursor = text; *cursor != '\0';) {
    uint32_t codepoint = 0;
    cursor = nextUtf8CodepointUnchecked(cursor, codepoint);
    RenderFont* face = resolveFallback(codepoint);
    if (face == nullptr || face->isGroup()) continue;
    width += face->codepointAdvance(codepoint).advance;
  }
  return clampToInt32(width);
}

TextBounds RenderFont::textBounds(const char* text) {
  TextBounds bounds;
  if (text == nullptr || text[0] == '\0') return bounds;
  int64_t pen = 0;
  std::vector<ShapedGlyph> glyphs;
  if (textNeedsShaping(text) && shapeTextWithFallback(text, glyphs)) {
    for (const ShapedGlyph& glyph : glyphs) {
      if (glyph.face != nullptr) {
        const GlyphBitmapView view = glyph.face->glyphBitmapForGlyphId(glyph.glyphId);
        if (view.hasBitmap && view.width > 0 && view.height > 0) {
          addBox(bounds, pen + glyph.xOffset + view.left, int64_t{view.topOffset} + glyph.baselineShift - glyph.yOffset,
                 view.width, view.height);
        }
      }
      pen += glyph.xAdvance;
    }
    return bounds;
  }
  for (const char* cursor = text; *cursor != '\0';) {
    uint32_t codepoint = 0;
    cursor = nextUtf8CodepointUnchecked(cursor, codepoint);
    RenderFont* face = resolveFallback(codepoint);
    if (face == nullptr) continue;
    const GlyphBitmapView view = face->glyphBitmapForCodepoint(codepoint);
    if (view.hasBitmap && view.width > 0 && view.height > 0) {
      addBox(bounds, pen + view.left, int64_t{view.topOffset} + memberBaselineShift(face), view.width, view.height);
    }
    pen += view.advance;
  }
  return bounds;
}
