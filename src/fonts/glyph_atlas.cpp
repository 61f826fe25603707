// Glyph atlas pages: every rendered bitmap of a face is packed once into one of its square pages with a
// shelf allocator (one empty pixel right of each glyph, one empty row below each shelf). Pages only grow in
// number, never shrink or move glyphs, so a stored glyph keeps its place for the life of the face.
#include <algorithm>
#include <cmath>

#include "fonts/bitmap_strikes.h"
#include "fonts/render_font.h"

namespace {

constexpr int32_t kMinPageSide = 128;

// The smallest power of two that is at least `minimum` and 128, capped at 4096.
int32_t pageSideFor(double minimum) {
  int32_t side = kMinPageSide;
  while (side < minimum && side < kMaxGlyphBitmapSide) side *= 2;
  return side;
}

// Finds room for a w x h glyph on the page's current or next shelf; moves the page's cursor when it does.
bool placeOnPage(GlyphAtlasPage& page, uint32_t w, uint32_t h, uint32_t& x, uint32_t& y) {
  if (!page.image || page.width < static_cast<int32_t>(w) || page.height < static_cast<int32_t>(h)) return false;
  x = page.cursorX;
  y = page.cursorY;
  uint32_t row = page.rowHeight;
  if (uint64_t{x} + w > static_cast<uint32_t>(page.width)) {
    x = 0;
    y = page.cursorY + page.rowHeight + 1;
    row = 0;
  }
  if (uint64_t{y} + h > static_cast<uint32_t>(page.height)) return false;
  page.cursorX = x + w + 1;
  page.cursorY = y;
  page.rowHeight = std::max(row, h);
  return true;
}

}  // namespace

void RenderFont::storeGlyphBitmap(const std::vector<uint32_t>& pixels, GlyphMetricEntry& entry) {
  entry.atlasPage = kNoAtlasPage;
  entry.atlasX = 0;
  entry.atlasY = 0;
  auto fail = [&entry] {
    entry.width = 0;
    entry.height = 0;
    entry.missing = 1;
  };
  const int32_t w = entry.width;
  const int32_t h = entry.height;
  if (w <= 0 || h <= 0 || w > kMaxGlyphBitmapSide || h > kMaxGlyphBitmapSide ||
      pixels.size() < static_cast<size_t>(w) * static_cast<size_t>(h)) {
    return fail();
  }
  size_t pageIndex = 0;
  uint32_t x = 0;
  uint32_t y = 0;
  while (pageIndex < atlasPages_.size() && !placeOnPage(atlasPages_[pageIndex], w, h, x, y)) ++pageIndex;
  if (pageIndex == atlasPages_.size()) {
    if (atlasPages_.size() >= kNoAtlasPage) return fail();  // page numbers are 16-bit, 0xFFFF meaning none
    const int32_t glyphSide = pageSideFor(std::max(w, h) + 2);
    const int32_t fontSide = pageSideFor(std::trunc(std::ceil(2.0 * pixelSize_)) + 2);
    const int32_t side = std::min(std::max({glyphSide, fontSide, atlasPageSize_}), kMaxGlyphBitmapSide);
    GlyphAtlasPage page;
    page.image = std::make_unique<CanvasBitmap>(side, side);
    page.width = side;
    page.height = side;
    page.cursorX = static_cast<uint32_t>(w) + 1;
    page.rowHeight = static_cast<uint32_t>(h);
    atlasPages_.push_back(std::move(page));
    atlasPageSize_ = std::max(atlasPageSize_, side);
    x = 0;
    y = 0;
  }
  GlyphAtlasPage& page = atlasPages_[pageIndex];
  const size_t pageWidth = static_cast<size_t>(page.width);
  if (page.width < 1 || page.width > kMaxGlyphBitmapSide || !page.image ||
      page.image->pixels.size() < pageWidth * static_cast<size_t>(page.height) || w > page.width - int64_t{x} ||
      h > page.height - int64_t{y}) {
    return fail();
  }
  for (int32_t r = 0; r < h; ++r) {
    std::copy_n(pixels.begin() + static_cast<ptrdiff_t>(r) * w, w,
                page.image->pixels.begin() + static_cast<ptrdiff_t>((y + r) * pageWidth + x));
  }
  entry.atlasPage = static_cast<uint16_t>(pageIndex);
  entry.atlasX = static_cast<uint16_t>(x);
  entry.atlasY = static_cast<uint16_t>(y);
}

RenderFont::AtlasMark RenderFont::markAtlas() const {
  AtlasMark mark;
  mark.pageCount = atlasPages_.size();
  mark.cursors.reserve(atlasPages_.size());
  for (const GlyphAtlasPage& page : atlasPages_) mark.cursors.push_back({page.cursorX, page.cursorY, page.rowHeight});
  return mark;
}

// A glyph stored since the mark lies past the cursors kept there, on a page that existed then, or on a page
// made since; either way no glyph stored before the mark shares its pixels. An entry that existed before the
// call goes back to what it was, so one whose bitmap the call stored no longer points into the space given back.
void RenderFont::rollBackGlyphIdEntries(const AtlasMark& mark, const std::vector<GlyphIdBefore>& touched) {
  for (const GlyphIdBefore& before : touched) {
    const auto found = glyphIdEntries_.find(before.glyphId);
    if (found == glyphIdEntries_.end()) continue;
    const GlyphMetricEntry& entry = found->second;
    const bool storedByCall = !before.existed || entry.atlasPage != before.entry.atlasPage ||
                              entry.atlasX != before.entry.atlasX || entry.atlasY != before.entry.atlasY;
    if (storedByCall && entry.atlasPage < mark.pageCount && entry.width > 0 && entry.height > 0) {
      GlyphAtlasPage& page = atlasPages_[entry.atlasPage];
      for (int32_t row = 0; row < entry.height; ++row) {
        uint32_t* start = page.image->pixels.data() + (size_t{entry.atlasY} + row) * page.width + entry.atlasX;
        std::fill(start, start + entry.width, 0u);
      }
    }
    if (before.existed) {
      found->second = before.entry;
    } else {
      glyphIdEntries_.erase(found);
    }
  }
  atlasPages_.erase(atlasPages_.begin() + static_cast<std::ptrdiff_t>(mark.pageCount), atlasPages_.end());
  for (size_t index = 0; index < mark.pageCount; ++index) {
    atlasPages_[index].cursorX = mark.cursors[index][0];
    atlasPages_[index].cursorY = mark.cursors[index][1];
    atlasPages_[index].rowHeight = mark.cursors[index][2];
  }
}
