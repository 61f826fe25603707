// OpenType MATH queries of a face through HarfBuzz: layout constants, italics correction, top accent
// attachment, cut-in kerning, and the stretch variants and assembly of a glyph with the placement of every
// glyph named. HarfBuzz gives 26.6 pixels at the face's size (its font is made from the FreeType face);
// percentages come unscaled. A group, a face without MATH data or a text without a glyph answers neutrally.
#include <hb-ot.h>
#include <hb.h>

#include <algorithm>

#include "fonts/codepoints.h"
#include "fonts/font_rounding.h"
#include "fonts/render_font.h"

namespace {

struct MathConstantSource {
  hb_ot_math_constant_t constant;
  bool percent;
};

// In the order of MathConstants::values.
constexpr MathConstantSource kMathConstantSources[kMathConstantCount] = {
    {HB_OT_MATH_CONSTANT_SCRIPT_PERCENT_SCALE_DOWN, true},
    {HB_OT_MATH_CONSTANT_SCRIPT_SCRIPT_PERCENT_SCALE_DOWN, true},
    {HB_OT_MATH_CONSTANT_AXIS_HEIGHT, false},
    {HB_OT_MATH_CONSTANT_SUBSCRIPT_SHIFT_DOWN, false},
    {HB_OT_MATH_CONSTANT_SUPERSCRIPT_SHIFT_UP, false},
    {HB_OT_MATH_CONSTANT_SUPERSCRIPT_BOTTOM_MIN, false},
    {HB_OT_MATH_CONSTANT_UPPER_LIMIT_GAP_MIN, false},
    {HB_OT_MATH_CONSTANT_UPPER_LIMIT_BASELINE_RISE_MIN, false},
    {HB_OT_MATH_CONSTANT_LOWER_LIMIT_GAP_MIN, false},
    {HB_OT_MATH_CONSTANT_LOWER_LIMIT_BASELINE_DROP_MIN, false},
    {HB_OT_MATH_CONSTANT_FRACTION_NUMERATOR_GAP_MIN, false},
    {HB_OT_MATH_CONSTANT_FRACTION_DENOMINATOR_GAP_MIN, false},
    {HB_OT_MATH_CONSTANT_FRACTION_RULE_THICKNESS, false},
    {HB_OT_MATH_CONSTANT_RADICAL_VERTICAL_GAP, false},
    {HB_OT_MATH_CONSTANT_RADICAL_DISPLAY_STYLE_VERTICAL_GAP, false},
    {HB_OT_MATH_CONSTANT_RADICAL_RULE_THICKNESS, false},
    {HB_OT_MATH_CONSTANT_RADICAL_EXTRA_ASCENDER, false},
    {HB_OT_MATH_CONSTANT_RADICAL_KERN_BEFORE_DEGREE, false},
    {HB_OT_MATH_CONSTANT_RADICAL_KERN_AFTER_DEGREE, false},
    {HB_OT_MATH_CONSTANT_RADICAL_DEGREE_BOTTOM_RAISE_PERCENT, true},
};

float pixels(hb_position_t value) { return static_cast<float>(value) / 64.0f; }

// HarfBuzz reads the table's unsigned 16-bit lengths as signed, so a length past 32,767 units comes back
// negative; a length is never below 0.
float lengthPixels(hb_position_t value) { return pixels(std::max(value, 0)); }

constexpr uint32_t kLastMathKern = HB_OT_MATH_KERN_BOTTOM_LEFT;

// The nominal glyph of the text's first codepoint; 0 without a font, for an empty text, or for a codepoint
// without one.
uint32_t mathNominalGlyph(hb_font_t* font, const char* text) {
  if (font == nullptr || text == nullptr || text[0] == '\0') return 0;
  uint32_t codepoint = 0;
  nextUtf8Codepoint(text, &codepoint);
  hb_codepoint_t glyph = 0;
  return hb_font_get_nominal_glyph(font, codepoint, &glyph) ? glyph : 0;
}

}  // namespace

hb_font_t* RenderFont::mathFont() {
  if (!ensureHarfBuzzFont() || !hb_ot_math_has_data(hbFace_.get())) return nullptr;
  return hbFont_.get();
}

MathGlyphPlacement RenderFont::mathPlacement(hb_font_t* font, uint32_t glyphId) {
  MathGlyphPlacement placement;
  placement.glyphId = glyphId;
  placement.width = static_cast<float>(glyphIdAdvance(glyphId).advance);
  hb_glyph_extents_t extents{};
  placement.outlineTop = static_cast<float>(baseline_);
  if (hb_font_get_glyph_extents(font, glyphId, &extents)) placement.outlineTop -= pixels(extents.y_bearing);
  const GlyphBitmapView view = glyphBitmapForGlyphId(glyphId);
  placement.drawOffsetX = view.left;
  placement.drawOffsetY = view.topOffset;
  placement.bitmapWidth = view.width;
  placement.bitmapHeight = view.height;
  return placement;
}

MathConstants RenderFont::mathConstants() {
  MathConstants constants;
  hb_font_t* font = mathFont();
  if (font == nullptr) return constants;
  constants.present = true;
  for (size_t i = 0; i < kMathConstantCount; ++i) {
    const hb_position_t value = hb_ot_math_get_constant(font, kMathConstantSources[i].constant);
    constants.values[i] = kMathConstantSources[i].percent ? static_cast<float>(value) / 100.0f : pixels(value);
  }
  return constants;
}

float RenderFont::mathItalicsCorrection(const char* text) {
  hb_font_t* font = mathFont();
  const uint32_t glyph = mathNominalGlyph(font, text);
  return glyph != 0 ? pixels(hb_ot_math_get_glyph_italics_correction(font, glyph)) : 0.0f;
}

float RenderFont::mathTopAccentAttachment(const char* text) {
  hb_font_t* font = mathFont();
  const uint32_t glyph = mathNominalGlyph(font, text);
  return glyph != 0 ? pixels(hb_ot_math_get_glyph_top_accent_attachment(font, glyph)) : 0.0f;
}

float RenderFont::mathKerning(const char* text, uint32_t corner, float correctionHeight) {
  if (corner > kLastMathKern) return 0.0f;
  hb_font_t* font = mathFont();
  const uint32_t glyph = mathNominalGlyph(font, text);
  if (glyph == 0) return 0.0f;
  // Saturating: a height beyond the 26.6 range takes the nearest end, NaN gives 0.
  const hb_position_t height = roundToInt32(static_cast<double>(correctionHeight) * 64.0);
  return pixels(hb_ot_math_get_glyph_kerning(font, glyph, static_cast<hb_ot_math_kern_t>(corner), height));
}

// A call that fails (running out of memory) gives back the glyphs it rendered, so that no failed call leaves
// their bitmaps behind in the font, nor an entry pointing at atlas space it gave back.
MathGlyphShape RenderFont::mathGlyphShape(const char* text, bool vertical) {
  const AtlasMark mark = markAtlas();
  std::vector<GlyphIdBefore> touched;
  touched.reserve(1 + kMaxMathVariants + kMaxMathParts);
  try {
    return readMathGlyphShape(text, vertical, touched);
  } catch (...) {
    rollBackGlyphIdEntries(mark, touched);
    throw;
  }
}

MathGlyphShape RenderFont::readMathGlyphShape(const char* text, bool vertical, std::vector<GlyphIdBefore>& touched) {
  // Each glyph's entry is noted as it was before the call first places the glyph (a bounded number of them).
  auto place = [&](hb_font_t* font, uint32_t glyphId) {
    const bool noted = std::any_of(touched.begin(), touched.end(),
                                   [glyphId](const GlyphIdBefore& before) { return before.glyphId == glyphId; });
    if (!noted) {
      const auto found = glyphIdEntries_.find(glyphId);
      GlyphIdBefore before;
      before.glyphId = glyphId;
      before.existed = found != glyphIdEntries_.end();
      if (before.existed) before.entry = found->second;
      touched.push_back(before);
    }
    return mathPlacement(font, glyphId);
  };
  MathGlyphShape shape;
  hb_font_t* font = mathFont();
  const uint32_t glyph = mathNominalGlyph(font, text);
  if (glyph == 0) return shape;
  const hb_direction_t direction = vertical ? HB_DIRECTION_TTB : HB_DIRECTION_LTR;
  shape.hasBase = true;
  shape.base = place(font, glyph);
  shape.baseAdvance = vertical ? static_cast<float>(std::max(shape.base.bitmapHeight, lineHeight_)) : shape.base.width;

  // Each glyph named is rendered and kept, so only a bounded number of them is read.
  unsigned int count = kMaxMathVariants;
  std::vector<hb_ot_math_glyph_variant_t> variants(count);
  hb_ot_math_get_glyph_variants(font, glyph, direction, 0, &count, variants.data());
  variants.resize(std::min<size_t>(count, kMaxMathVariants));
  shape.variants.reserve(variants.size());
  for (const hb_ot_math_glyph_variant_t& variant : variants) {
    shape.variants.push_back({place(font, variant.glyph), lengthPixels(variant.advance)});
  }

  // An assembly longer than that is left out whole: a cut one would draw a broken glyph.
  count = hb_ot_math_get_glyph_assembly(font, glyph, direction, 0, nullptr, nullptr, nullptr);
  std::vector<hb_ot_math_glyph_part_t> parts;
  if (count <= kMaxMathParts) {
    parts.resize(count);
    hb_ot_math_get_glyph_assembly(font, glyph, direction, 0, &count, parts.data(), nullptr);
    parts.resize(std::min<size_t>(count, parts.size()));
  }
  shape.parts.reserve(parts.size());
  for (const hb_ot_math_glyph_part_t& part : parts) {
    shape.parts.push_back({place(font, part.glyph), lengthPixels(part.start_connector_length),
                           lengthPixels(part.end_connector_length), lengthPixels(part.full_advance),
                           (part.flags & HB_OT_MATH_GLYPH_PART_FLAG_EXTENDER) != 0});
  }
  shape.minimumConnectorOverlap = lengthPixels(hb_ot_math_get_min_connector_overlap(font, direction));
  return shape;
}
