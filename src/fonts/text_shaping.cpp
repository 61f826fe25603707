// Text shaping and measurement. Text is measured per codepoint from the cached advances unless it holds
// something only a shaper gets right; such text is shaped whole in one face (for a group, the first member
// that shapes all of it), or measured per codepoint when no single face can. A long text goes to HarfBuzz in
// bounded pieces, one after another (shaping_pieces.h), so that its work grows with the text, not its square;
// a face that HarfBuzz shapes with Graphite gets it whole, unless it is very long or holds a run without white
// space far longer than a word.
#include <hb.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "fonts/codepoints.h"
#include "fonts/font_rounding.h"
#include "fonts/render_font.h"
#include "fonts/shaping_pieces.h"

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

// One glyph as HarfBuzz gave it.
struct RunGlyph {
  uint32_t glyphId;
  uint32_t cluster;  // byte offset in the whole text
  hb_position_t xAdvance;
  hb_position_t xOffset;
  hb_position_t yOffset;
};

// HarfBuzz takes text lengths as int.
constexpr size_t kMaxShapedBytes = INT_MAX;

// Shapes bytes [start, end) of the text with the text around them as context; with `properties` (those of the
// whole text) rather than what HarfBuzz guesses for the bytes alone.
void shapeBytes(hb_font_t* font, hb_buffer_t* buffer, const char* text, size_t length, size_t start, size_t end,
                const hb_segment_properties_t* properties) {
  hb_buffer_reset(buffer);
  hb_buffer_add_utf8(buffer, text, static_cast<int>(length), static_cast<unsigned int>(start),
                     static_cast<int>(end - start));
  if (properties != nullptr) {
    hb_buffer_set_segment_properties(buffer, properties);
  } else {
    hb_buffer_guess_segment_properties(buffer);
  }
  hb_shape(font, buffer, nullptr, 0);
}

// What HarfBuzz guesses for the whole text: the script of its first codepoint that has one, that script's
// direction (left to right when it has none) and the default language. Found without handing HarfBuzz the
// whole text, which would hold a buffer as long as the text.
hb_segment_properties_t wholeTextProperties(const char* text, size_t length) {
  hb_segment_properties_t properties = HB_SEGMENT_PROPERTIES_DEFAULT;
  hb_unicode_funcs_t* unicode = hb_unicode_funcs_get_default();
  for (const char* at = text; at < text + length && properties.script == HB_SCRIPT_INVALID;) {
    uint32_t codepoint = 0;
    at = nextUtf8CodepointUnchecked(at, codepoint);
    const hb_script_t script = hb_unicode_script(unicode, codepoint);
    if (script != HB_SCRIPT_COMMON && script != HB_SCRIPT_INHERITED && script != HB_SCRIPT_UNKNOWN) {
      properties.script = script;
    }
  }
  properties.direction = hb_script_get_horizontal_direction(properties.script);
  if (properties.direction == HB_DIRECTION_INVALID) properties.direction = HB_DIRECTION_LTR;
  properties.language = hb_language_get_default();
  return properties;
}

// Whether HarfBuzz shapes the face with its OpenType shaper, whose unsafe-to-break flags the pieces are cut
// by. Its Graphite shaper marks every glyph after the first unsafe, so such a face never offers a safe cut.
bool shapesInPieces(hb_face_t* face, const hb_segment_properties_t& properties) {
  const std::unique_ptr<hb_shape_plan_t, decltype(&hb_shape_plan_destroy)> plan(
      hb_shape_plan_create_cached(face, &properties, nullptr, 0, nullptr), hb_shape_plan_destroy);
  const char* shaper = hb_shape_plan_get_shaper(plan.get());
  return shaper != nullptr && std::strcmp(shaper, "ot") == 0;
}

// The last cluster in (start, end] of the shaped buffer before which HarfBuzz says the text may be cut and the
// two sides shaped apart with the same result; 0 when there is none.
size_t lastSafeCut(hb_buffer_t* buffer, size_t start, size_t end) {
  unsigned int count = 0;
  const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer, &count);
  size_t cut = 0;
  for (unsigned int i = 0; i < count; ++i) {
    const size_t cluster = infos[i].cluster;
    if (cluster > start && cluster <= end &&
        (hb_glyph_info_get_glyph_flags(&infos[i]) & HB_GLYPH_FLAG_UNSAFE_TO_BREAK) == 0) {
      cut = std::max(cut, cluster);
    }
  }
  return cut;
}

}  // namespace

bool RenderFont::shapeRun(hb_buffer_t* buffer, const char* text, uint32_t wholeClusterEnd, int32_t baselineShift,
                          bool wholeCluster, std::vector<ShapedGlyph>& output) {
  const size_t length = std::strlen(text);
  if (length > kMaxShapedBytes) return false;
  // The pieces of a text longer than one window are shaped with what HarfBuzz guesses for the whole text
  // (direction, script, language), and see the text around them as context.
  hb_segment_properties_t wholeProperties = HB_SEGMENT_PROPERTIES_DEFAULT;
  const hb_segment_properties_t* properties = nullptr;
  ShapingWalk walk(text, length);
  bool cutWhereSafe = true;
  if (walk.window().end < length) {
    wholeProperties = wholeTextProperties(text, length);
    properties = &wholeProperties;
    if (!shapesInPieces(hbFace_.get(), wholeProperties)) {
      const bool wordTooLong = hasRunWithoutWhiteSpaceOver(text, length, kUnflaggedPieceCodepoints);
      walk = ShapingWalk(text, length, wordTooLong ? kUnflaggedPieceCodepoints : kUnflaggedWindowCodepoints);
      cutWhereSafe = false;
    }
  }
  std::vector<RunGlyph> shaped;
  std::vector<size_t> pieceStarts;  // of each piece's glyphs in `shaped`
  bool rightToLeft = false;
  while (!walk.done()) {
    const ShapingWindow window = walk.window();
    shapeBytes(hbFont_.get(), buffer, text, length, window.start, window.end, properties);
    if (!hb_buffer_allocation_successful(buffer)) return false;
    const uint32_t end = walk.endPiece(cutWhereSafe ? lastSafeCut(buffer, window.start, window.latestCut) : 0);
    rightToLeft = hb_buffer_get_direction(buffer) == HB_DIRECTION_RTL;
    unsigned int count = 0;
    const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer, &count);
    const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, nullptr);
    if (count == 0) continue;  // a piece of hidden default ignorables only
    if (infos == nullptr || positions == nullptr) return false;
    const size_t pieceStart = shaped.size();
    for (unsigned int i = 0; i < count; ++i) {
      if (infos[i].cluster >= end) continue;  // past the piece: the next window shapes it again
      // A glyph the face lacks fails the run at once, before the pieces after it are shaped.
      if (infos[i].codepoint == 0 || glyphEntryById(infos[i].codepoint).missing) return false;
      shaped.push_back(
          {infos[i].codepoint, infos[i].cluster, positions[i].x_advance, positions[i].x_offset, positions[i].y_offset});
    }
    if (shaped.size() > pieceStart) pieceStarts.push_back(pieceStart);
  }
  if (shaped.empty()) return false;
  const auto textLength = static_cast<uint32_t>(length);
  std::vector<uint32_t> clusterStarts;
  if (!wholeCluster) {
    clusterStarts.reserve(shaped.size());
    for (const RunGlyph& glyph : shaped) clusterStarts.push_back(glyph.cluster);
    std::sort(clusterStarts.begin(), clusterStarts.end());
    clusterStarts.erase(std::unique(clusterStarts.begin(), clusterStarts.end()), clusterStarts.end());
  }
  // HarfBuzz measures a bitmap strike at the strike's own size.
  const double scale = bitmapStrike_ ? strikeScale_ : 1.0;
  std::vector<ShapedGlyph> glyphs;
  glyphs.reserve(shaped.size());
  const auto appendPiece = [&](size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) {
      const RunGlyph& run = shaped[i];
      ShapedGlyph glyph;
      glyph.face = this;
      glyph.glyphId = run.glyphId;
      glyph.xAdvance = harfBuzzPixels(run.xAdvance, scale);
      glyph.xOffset = harfBuzzPixels(run.xOffset, scale);
      glyph.yOffset = harfBuzzPixels(run.yOffset, scale);
      glyph.baselineShift = baselineShift;
      glyph.rightToLeft = rightToLeft ? 1 : 0;
      if (wholeCluster) {
        glyph.clusterEnd = wholeClusterEnd;
      } else {
        glyph.clusterStart = run.cluster;
        const auto next = std::upper_bound(clusterStarts.begin(), clusterStarts.end(), run.cluster);
        glyph.clusterEnd = next != clusterStarts.end() ? *next : textLength;
      }
      glyphs.push_back(glyph);
    }
  };
  // Each piece comes in visual order; right to left, the later pieces of the text come first.
  for (size_t p = 0; p < pieceStarts.size(); ++p) {
    const size_t piece = rightToLeft ? pieceStarts.size() - 1 - p : p;
    appendPiece(pieceStarts[piece], piece + 1 < pieceStarts.size() ? pieceStarts[piece + 1] : shaped.size());
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
