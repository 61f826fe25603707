// Rendering one glyph of an SVG glyph document in the render process, and the job bodies that the SVG glyph
// worker runs: each opens its own face on its worker's FreeType library from the font's file bytes, which
// never change once the font is loaded, and reads the glyph's document from the place its record gives
// (svg_document_record.h). The last document read is kept, inflated, while the workers have glyphs to draw:
// a font may keep thousands of glyphs in one gzip document of megabytes, drawn one after another.
#include "fonts/svg_glyph_document.h"

#include <freetype/freetype.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "fonts/bitmap_strikes.h"
#include "fonts/font_options.h"
#include "fonts/font_rounding.h"
#include "fonts/freetype_library.h"
#include "fonts/render_font.h"
#include "fonts/svg_document_record.h"
#include "fonts/svg_glyph_worker.h"
#include "render_process/render_process.h"

namespace {

// Documents whose drawing failed for want of time or memory, that librsvg could not read or that ended a
// render process, by their hash and units per em, with the smallest pixel size that failed (0 for one unread
// or that ended a process, which fails at any size): librsvg reads a whole document to draw any element of
// it, so every glyph of such a document at that size or larger would fail the same way, each at the cost of
// the time limit or of a new process. Those glyphs are missing at once. A glyph kept from the processor
// says nothing of its document, and is not remembered.
std::mutex failedDocumentsMutex;
std::unordered_map<size_t, float> failedDocuments;  // guarded by failedDocumentsMutex
constexpr size_t kMostFailedDocuments = 4096;

bool knownToFail(size_t hash, float pixelSize) {
  const std::lock_guard<std::mutex> lock(failedDocumentsMutex);
  const auto found = failedDocuments.find(hash);
  return found != failedDocuments.end() && pixelSize >= found->second;
}

void rememberFailed(size_t hash, float pixelSize) {
  const std::lock_guard<std::mutex> lock(failedDocumentsMutex);
  if (failedDocuments.size() >= kMostFailedDocuments) failedDocuments.clear();
  const auto [entry, added] = failedDocuments.emplace(hash, pixelSize);
  if (!added) entry->second = std::min(entry->second, pixelSize);
}

// The document text a worker read last: of which font (its serial) and where in its table. The workers drawing
// glyphs of one document share it.
struct KeptText {
  uint64_t font = 0;
  uint64_t offset = 0;
  std::shared_ptr<const std::string> text;
};
std::mutex keptTextMutex;
KeptText keptText;  // guarded by keptTextMutex

// The text of the document at `place` of `face`'s font, read anew unless it is kept; null when it cannot be
// read.
std::shared_ptr<const std::string> documentText(const RenderFont& face, FT_Face opened, const SvgDocumentPlace& place) {
  {
    const std::lock_guard<std::mutex> lock(keptTextMutex);
    if (keptText.text && keptText.font == face.serial() && keptText.offset == place.offset) return keptText.text;
  }
  auto text = std::make_shared<std::string>();
  if (!readSvgGlyphDocument(opened, place, *text)) return nullptr;
  const std::lock_guard<std::mutex> lock(keptTextMutex);
  keptText = KeptText{face.serial(), place.offset, text};
  return text;
}

// When the glyphs this thread draws are given up.
thread_local const std::atomic<bool>* drawingStop = nullptr;

// An unsucceeded result for the entry of `key`.
SvgGlyphResult svgGlyphResultFor(const std::shared_ptr<RenderFont>& face, uint32_t key, bool byGlyphId) {
  SvgGlyphResult result;
  result.face = face;
  result.byGlyphId = byGlyphId ? 1 : 0;
  (byGlyphId ? result.glyphId : result.codepoint) = key;
  return result;
}

}  // namespace

bool renderSvgGlyphDocument(std::string_view document, uint32_t unitsPerEm, float pixelSize, uint32_t glyphIndex,
                            SvgGlyphImage& image) {
  if (unitsPerEm == 0 || document.empty()) return false;
  // The document as drawn in this font: the same bytes in a font of other units per em draw at another scale.
  const size_t hash = std::hash<std::string_view>()(document) ^ (size_t{unitsPerEm} * 0x9E3779B97F4A7C15ull);
  if (knownToFail(hash, pixelSize)) return false;
  RenderJob job;
  job.kind = RenderJobKind::SvgGlyph;
  job.document = document;
  job.glyphIndex = glyphIndex;
  job.pixelSize = pixelSize;
  job.unitsPerEm = static_cast<float>(unitsPerEm);
  job.maxSide = kMaxGlyphBitmapSide;
  job.timeLimit = kSvgGlyphTimeLimit;
  job.limitProcessorTime = true;  // glyphs drawn at once, or on a busy machine, each have their time
  job.stop = drawingStop;
  const RenderResult drawn = runRenderJob(job);
  if (drawn.failure == RenderFailure::Ended || drawn.failure == RenderFailure::Unreadable) rememberFailed(hash, 0.0f);
  if (drawn.failure == RenderFailure::OutOfTime || drawn.failure == RenderFailure::OutOfMemory) {
    rememberFailed(hash, pixelSize);
  }
  if (!drawn.drawn) return false;
  SvgGlyphImage rendered;
  rendered.pixels.resize(static_cast<size_t>(drawn.width) * static_cast<size_t>(drawn.height));
  std::memcpy(rendered.pixels.data(), drawn.pixels.data(), rendered.pixels.size() * 4);
  rendered.left = drawn.left;
  rendered.top = drawn.top;
  rendered.width = drawn.width;
  rendered.height = drawn.height;
  image = std::move(rendered);
  return true;
}

void stopSvgGlyphDrawingWhen(const std::atomic<bool>* stop) { drawingStop = stop; }

void forgetKeptSvgGlyphDocument() {
  std::shared_ptr<const std::string> forgotten;  // freed outside the lock
  const std::lock_guard<std::mutex> lock(keptTextMutex);
  forgotten = std::move(keptText.text);
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
  // The document a colour load would take: the main thread found no strike bitmap before it.
  const std::optional<SvgDocumentPlace> place =
      face->colourFace() ? svgGlyphDocumentPlace(opened, glyph) : std::nullopt;
  const std::shared_ptr<const std::string> document = place ? documentText(*face, opened, *place) : nullptr;
  if (document == nullptr) return result;
  // The face's size exactly (y_ppem is rounded to whole pixels).
  const double pixelSize = static_cast<double>(opened->size->metrics.y_scale) / 65536.0 * opened->units_per_EM / 64.0;
  SvgGlyphImage image;
  if (!renderSvgGlyphDocument(*document, opened->units_per_EM, static_cast<float>(pixelSize), glyph, image)) {
    return result;
  }
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
  job.font = svgGlyphFontKey(*face);
  job.body = [face, key, byGlyphId](FT_LibraryRec_* library) { return runSvgGlyphJob(face, key, byGlyphId, library); };
  return job;
}
