// The fallback probe cache.
#include "fonts/fallback_probe.h"

#include <freetype/freetype.h>

#include <algorithm>

#include "fonts/codepoints.h"
#include "fonts/font_options.h"
#include "fonts/glyph_cost.h"
#include "fonts/glyph_loading.h"
#include "fonts/render_font.h"

ProbeResult FallbackProbeCache::probe(const std::string& path, uint32_t codepoint, ProbeCounts& counts) {
  auto found = entries_.find(path);
  if (found == entries_.end()) {
    if (entries_.size() >= kMaxEntries) evictLeastRecentlyUsed();
    found = entries_.try_emplace(path).first;
    ++counts.newEntries;
  }
  Entry& entry = found->second;
  ++counts.probes;
  entry.lastUse = ++useStamp_;
  if (!entry.opened && !entry.failed) open(entry, path);
  if (entry.failed || codepoint >= kUnicodeLimit) return ProbeResult::None;
  const uint8_t bitmapAllowed = fontBitmapGlyphsAllowed() ? 1 : 0;
  const uint8_t svgAllowed = fontSvgGlyphsAllowed() ? 1 : 0;
  if (entry.snapshotBitmapAllowed == bitmapAllowed && entry.snapshotSvgAllowed == svgAllowed) {
    const auto remembered = entry.probeResults.find(codepoint);
    if (remembered != entry.probeResults.end() && remembered->second != 0) {
      return static_cast<ProbeResult>(remembered->second);
    }
  } else {
    // The permissions changed since these answers were given: they may no longer hold.
    entry.probeResults.clear();
    entry.snapshotBitmapAllowed = bitmapAllowed;
    entry.snapshotSvgAllowed = svgAllowed;
  }
  const ProbeResult result = computeProbe(entry, codepoint);
  entry.probeResults[codepoint] = static_cast<uint8_t>(result);
  return result;
}

void FallbackProbeCache::evictLeastRecentlyUsed() {
  const auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
    return a.second.lastUse < b.second.lastUse;
  });
  if (oldest != entries_.end()) entries_.erase(oldest);
}

void FallbackProbeCache::open(Entry& entry, const std::string& path) {
  FT_Library library = sharedFreeTypeLibrary();
  FT_Face face = nullptr;
  const bool read = readWholeFile(path, entry.fileBytes);
  if (read) emptyCostlyComposites(entry.fileBytes);
  if (!read || library == nullptr ||
      FT_New_Memory_Face(library, entry.fileBytes.data(), static_cast<FT_Long>(entry.fileBytes.size()), 0, &face) !=
          0) {
    entry.failed = 1;
    std::vector<uint8_t>().swap(entry.fileBytes);
    return;
  }
  entry.ftFace.reset(face);
  FT_Select_Charmap(face, FT_ENCODING_UNICODE);
  // A face of bitmap strikes only can't load a glyph before a size is chosen: take its first strike.
  if (!FT_IS_SCALABLE(face) && face->num_fixed_sizes > 0) FT_Select_Size(face, 0);
  entry.opened = 1;
}

ProbeResult FallbackProbeCache::computeProbe(Entry& entry, uint32_t codepoint) {
  FT_Face face = entry.ftFace.get();
  const FT_UInt glyph = FT_Get_Char_Index(face, codepoint);
  if (glyph == 0) return ProbeResult::NoGlyph;
  if (!fontSvgGlyphsAllowed()) return ProbeResult::Usable;
  return colourGlyphUsable(face, glyph) ? ProbeResult::Usable : ProbeResult::NoGlyph;
}

FallbackProbeCache& fallbackProbeCache() {
  sharedFreeTypeLibrary();  // made first, so its at-exit release runs after this cache is gone
  static FallbackProbeCache cache;
  return cache;
}
