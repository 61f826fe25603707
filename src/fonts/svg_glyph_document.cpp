// Cutting one glyph out of an SVG glyph document and rendering it, and the job bodies that the SVG glyph
// worker runs: each opens its own face on its worker's FreeType library from the font's file bytes, which
// never change once the font is loaded.
#include "fonts/svg_glyph_document.h"

#include <freetype/freetype.h>
#include <freetype/otsvg.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fonts/bitmap_strikes.h"
#include "fonts/font_options.h"
#include "fonts/font_rounding.h"
#include "fonts/freetype_library.h"
#include "fonts/render_font.h"
#include "fonts/svg_document_record.h"
#include "fonts/svg_glyph_worker.h"
#include "platform/svg_render.h"

namespace {

bool endsTagName(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '>' || c == '/';
}

// An unsucceeded result for the entry of `key`.
SvgGlyphResult svgGlyphResultFor(const std::shared_ptr<RenderFont>& face, uint32_t key, bool byGlyphId) {
  SvgGlyphResult result;
  result.face = face;
  result.byGlyphId = byGlyphId ? 1 : 0;
  (byGlyphId ? result.glyphId : result.codepoint) = key;
  return result;
}

}  // namespace

size_t findSvgTagStart(std::string_view text, std::string_view name, size_t from) {
  const std::string needle = "<" + std::string(name);
  for (size_t at = text.find(needle, from); at != std::string_view::npos; at = text.find(needle, at + 1)) {
    const size_t after = at + needle.size();
    if (after < text.size() && endsTagName(text[after])) return at;
  }
  return std::string_view::npos;
}

size_t findSvgElementEnd(std::string_view text, size_t start, std::string_view name) {
  constexpr size_t npos = std::string_view::npos;
  if (start >= text.size()) return npos;
  size_t cursor = text.find('>', start);
  if (cursor == npos) return npos;
  ++cursor;
  const std::string closing = "</" + std::string(name);
  // The first closing and opening tags at or after the cursor, each searched for again only once the cursor
  // has passed it: every byte is scanned a bounded number of times, however deep the nesting.
  size_t close = 0, open = 0;
  for (size_t depth = 1; depth > 0;) {
    if (close < cursor) close = text.find(closing, cursor);
    if (close == npos) return npos;
    if (open < cursor) open = findSvgTagStart(text, name, cursor);
    if (open < close) {
      // A self-closing element of the same name opens nothing.
      const size_t openEnd = text.find('>', open);
      if (openEnd == npos) return npos;
      if (text[openEnd - 1] != '/') ++depth;
      cursor = openEnd + 1;
      continue;
    }
    cursor = text.find('>', close);
    if (cursor == npos) return npos;
    ++cursor;
    --depth;
  }
  return cursor;
}

std::optional<std::string> composeSvgGlyphDocument(std::string_view text, uint32_t glyphIndex) {
  constexpr size_t npos = std::string_view::npos;
  const size_t root = findSvgTagStart(text, "svg", 0);
  if (root == npos) return std::nullopt;
  const size_t rootEnd = text.find('>', root);
  if (rootEnd == npos) return std::nullopt;
  // The closing quote is part of the search, so glyph1 never finds glyph10.
  const std::string id = "glyph" + std::to_string(glyphIndex);
  size_t at = text.find("id=\"" + id + "\"");
  if (at == npos) at = text.find("id='" + id + "'");
  if (at == npos) return std::nullopt;
  const size_t g = text.rfind('<', at);
  if (g == npos || g + 2 >= text.size() || text[g + 1] != 'g' || !endsTagName(text[g + 2])) return std::nullopt;
  const size_t gEnd = findSvgElementEnd(text, g, "g");
  if (gEnd == npos) return std::nullopt;
  std::string_view defs;
  if (const size_t defsStart = findSvgTagStart(text, "defs", rootEnd + 1); defsStart != npos) {
    if (const size_t defsEnd = findSvgElementEnd(text, defsStart, "defs"); defsEnd != npos) {
      defs = text.substr(defsStart, defsEnd - defsStart);
    }
  }
  std::string composed;
  composed.reserve(rootEnd + 1 - root + defs.size() + (gEnd - g) + 6);
  composed.append(text.substr(root, rootEnd + 1 - root)).append(defs).append(text.substr(g, gEnd - g));
  composed.append("</svg>");
  return composed;
}

bool copySvgBitmapRows(const SvgBitmap& bitmap, std::vector<uint32_t>& pixels) {
  if (bitmap.width < 0 || bitmap.height < 0) return false;
  const size_t rowBytes = static_cast<size_t>(bitmap.width) * 4;
  const auto stride = static_cast<size_t>(std::max(bitmap.stride, 0));
  const auto rows = static_cast<size_t>(bitmap.height);
  if (stride < rowBytes || (rows > 0 && bitmap.pixels.size() < (rows - 1) * stride + rowBytes)) return false;
  pixels.assign(static_cast<size_t>(bitmap.width) * rows, 0u);
  for (size_t y = 0; y < rows; ++y) {
    std::memcpy(pixels.data() + y * static_cast<size_t>(bitmap.width), bitmap.pixels.data() + y * stride, rowBytes);
  }
  return true;
}

bool renderSvgGlyphDocument(std::string_view document, uint32_t unitsPerEm, float pixelSize, uint32_t glyphIndex,
                            SvgGlyphImage& image) {
  if (unitsPerEm == 0 || document.empty()) return false;
  const std::optional<std::string> composed = composeSvgGlyphDocument(document, glyphIndex);
  if (!composed) return false;
  SvgBitmap bitmap;
  SvgGlyphImage rendered;
  if (!renderSvgDocumentToBgra(*composed, pixelSize, static_cast<float>(unitsPerEm), kMaxGlyphBitmapSide,
                               &rendered.left, &rendered.top, &bitmap) ||
      !copySvgBitmapRows(bitmap, rendered.pixels)) {
    return false;
  }
  rendered.width = bitmap.width;
  rendered.height = bitmap.height;
  image = std::move(rendered);
  return true;
}

bool renderSvgGlyphSlot(FT_GlyphSlotRec_* slot, uint32_t glyphIndex, SvgGlyphImage& image) {
  const auto* document = static_cast<const FT_SVG_DocumentRec*>(slot->other);
  if (document == nullptr || document->svg_document == nullptr) return false;
  // The face's size exactly (y_ppem is rounded to whole pixels).
  const double pixelSize =
      static_cast<double>(slot->face->size->metrics.y_scale) / 65536.0 * slot->face->units_per_EM / 64.0;
  const std::string_view text(reinterpret_cast<const char*>(document->svg_document), document->svg_document_length);
  return renderSvgGlyphDocument(text, document->units_per_EM, static_cast<float>(pixelSize), glyphIndex, image);
}

SvgGlyphResult runSvgGlyphJob(const std::shared_ptr<RenderFont>& face, uint32_t key, bool byGlyphId,
                              FT_LibraryRec_* library) {
  SvgGlyphResult result = svgGlyphResultFor(face, key, byGlyphId);
  const std::vector<uint8_t>& bytes = face->fileBytes();
  if (bytes.empty() || library == nullptr) return result;
  FT_Face opened = nullptr;
  if (FT_New_Memory_Face(library, bytes.data(), static_cast<FT_Long>(bytes.size()), 0, &opened) != 0) return result;
  const FreeTypeFaceHandle holder(opened);
  FT_Select_Charmap(opened, FT_ENCODING_UNICODE);
  const FT_F26Dot6 charHeight = std::max(1, roundToInt32(static_cast<double>(face->pixelSize()) * 64.0));
  if (FT_Set_Char_Size(opened, 0, charHeight, 0, 0) != 0) return result;
  uint32_t glyph = key;
  if (!byGlyphId) {
    glyph = FT_Get_Char_Index(opened, key);
    if (glyph == 0) return result;
  } else if (face->bitmapStrike()) {
    selectBestStrike(opened, face->pixelSize());
  }
  countFontEvent(FontCounter::BitmapLoadGlyphCalls);
  if (loadGlyphInsideSvgTable(opened, glyph, face->colourFace() ? FT_LOAD_COLOR : FT_LOAD_DEFAULT) != 0 ||
      opened->glyph->format != FT_GLYPH_FORMAT_SVG) {
    return result;
  }
  SvgGlyphImage image;
  if (!renderSvgGlyphSlot(opened->glyph, glyph, image)) return result;
  result.succeeded = 1;
  result.left = image.left;
  result.top = image.top;
  result.width = image.width;
  result.height = image.height;
  result.pixels = std::move(image.pixels);
  return result;
}

SvgGlyphJob makeSvgGlyphJob(const std::shared_ptr<RenderFont>& face, uint32_t key, bool byGlyphId) {
  SvgGlyphJob job;
  job.result = svgGlyphResultFor(face, key, byGlyphId);
  job.body = [face, key, byGlyphId](FT_LibraryRec_* library) { return runSvgGlyphJob(face, key, byGlyphId, library); };
  return job;
}
