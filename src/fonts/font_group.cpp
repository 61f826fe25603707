// Font groups and per-codepoint fallback. A group asks its members in slot order for each codepoint; the
// first with a usable glyph draws it and slot 0 answers when none does. Lazy members are probed through
// the shared probe cache and loaded only when their file has a needed glyph. Answers are remembered in two
// flat maps over all of Unicode, so a repeated codepoint costs a byte read (or a byte, a u16 and a slot).
#include <SDL3/SDL.h>

#include <algorithm>

#include "fonts/codepoints.h"
#include "fonts/fallback_probe.h"
#include "fonts/font_debug_log.h"
#include "fonts/font_path_text.h"
#include "fonts/font_rounding.h"
#include "fonts/glyph_loading.h"
#include "fonts/render_font.h"

namespace {

void initGroupMaps(FontGroupData& data) {
  data.codepointState.assign(kUnicodeLimit, kCodepointUnresolved);
  data.codepointSlot.assign(kUnicodeLimit, kNoFallbackSlot);
}

bool isLineControl(uint32_t codepoint) { return codepoint == '\t' || codepoint == '\n' || codepoint == '\r'; }

// The resolution timing line, written only for resolutions of 1 ms or more.
void logSlowResolution(uint32_t codepoint, uint64_t startNs, const ProbeCounts& counts, size_t slotCount,
                       size_t result) {
  if (!fallbackDebugEnabled()) return;
  const double elapsedMs = static_cast<double>(SDL_GetTicksNS() - startNs) / 1e6;
  if (elapsedMs < 1.0) return;
  fallbackDebugLog(
      "[qz-font] resolved U+%04X in %.3f ms after %zu path probes, %zu probe-cache misses, %zu fallback slots, "
      "result %zu",
      static_cast<unsigned>(codepoint), elapsedMs, counts.probes, counts.newEntries, slotCount, result);
}

}  // namespace

void RenderFont::copyGroupSettingsFrom(const RenderFont& source) {
  lineHeight_ = source.lineHeight_;
  tabAdvance_ = source.tabAdvance_;
  baseline_ = source.baseline_;
  baseHeight_ = source.baseHeight_;
  lineGap_ = source.lineGap_;
  lineGapOn_ = source.lineGapOn_;
  antialias_ = source.antialias_;
  embolden_ = source.embolden_;
}

std::shared_ptr<RenderFont> RenderFont::groupLazy(std::shared_ptr<RenderFont> primary,
                                                  std::span<const std::string_view> paths, float pixelSize) {
  if (!primary || primary->isGroup()) return nullptr;
  std::vector<std::string_view> lazyPaths;
  for (const std::string_view path : paths) {
    if (!path.empty()) lazyPaths.push_back(path);
  }
  if (lazyPaths.size() + 1 > kMaxFontGroupSlots) return nullptr;
  std::shared_ptr<RenderFont> font = makeEmpty(kKindGroup);
  FontGroupData& data = font->group_.emplace();
  data.groupSize = pixelSize;
  data.slots.resize(lazyPaths.size() + 1);
  data.slotPaths.emplace_back();
  for (const std::string_view path : lazyPaths) data.slotPaths.emplace_back(path);
  data.baselineShifts.assign(data.slots.size(), 0);
  initGroupMaps(data);
  font->copyGroupSettingsFrom(*primary);
  data.slots[0] = std::move(primary);
  return font;
}

std::shared_ptr<RenderFont> RenderFont::group(std::vector<std::shared_ptr<RenderFont>> fonts) {
  const size_t memberCount = std::count_if(fonts.begin(), fonts.end(), [](const auto& f) { return f != nullptr; });
  if (memberCount == 0 || memberCount > kMaxFontGroupSlots) return nullptr;
  std::shared_ptr<RenderFont> font = makeEmpty(kKindGroup);
  FontGroupData& data = font->group_.emplace();
  data.slots.reserve(memberCount);
  data.slotPaths.resize(memberCount);
  data.baselineShifts.assign(memberCount, 0);
  initGroupMaps(data);
  for (std::shared_ptr<RenderFont>& member : fonts) {
    if (member) data.slots.push_back(std::move(member));
  }
  font->copyGroupSettingsFrom(*data.slots[0]);
  for (size_t i = 0; i < data.slots.size(); ++i) {
    RenderFont& member = *data.slots[i];
    data.baselineShifts[i] = clampToInt32(int64_t{font->baseline_} - member.baseline_);
    member.setLineGap(font->lineGapOn_ != 0);
    member.setAntialias(font->antialias_ != 0);
  }
  return font;
}

bool RenderFont::groupReady() const {
  if (kind_ != kKindGroup || !group_) return false;
  const FontGroupData& data = *group_;
  return !data.slots.empty() && data.slotPaths.size() == data.slots.size() &&
         data.baselineShifts.size() == data.slots.size() && data.codepointState.size() == kUnicodeLimit &&
         data.codepointSlot.size() == kUnicodeLimit && data.slots[0] != nullptr;
}

RenderFont* RenderFont::resolveFallback(uint32_t codepoint) {
  countFontEvent(FontCounter::ResolveForCodepointCalls);
  if (!isGroup()) return this;
  if (!groupReady()) return nullptr;
  FontGroupData& data = *group_;
  if (codepoint < kUnicodeLimit && data.codepointState[codepoint] != kCodepointUnresolved) {
    countFontEvent(FontCounter::FallbackResolutionCacheHits);
    ++data.resolutionHits;
    if (data.codepointState[codepoint] != kCodepointInSlot) return data.slots[0].get();
    const size_t slot = data.codepointSlot[codepoint];
    if (slot < data.slots.size()) {
      if (data.slots[slot]) return data.slots[slot].get();
      if (!data.slotPaths[slot].empty() && loadLazySlot(slot, codepoint)) return data.slots[slot].get();
    }
    data.codepointState[codepoint] = kCodepointUnresolved;
    data.codepointSlot[codepoint] = kNoFallbackSlot;
  }
  return resolveInSlots(codepoint);
}

// The full resolution: the first member in slot order with a usable glyph, loading lazy members on the way.
RenderFont* RenderFont::resolveInSlots(uint32_t codepoint) {
  countFontEvent(FontCounter::FallbackResolutionCacheMisses);
  FontGroupData& data = *group_;
  const uint64_t startNs = fallbackDebugEnabled() ? SDL_GetTicksNS() : 0;
  ProbeCounts counts;
  const bool mapped = codepoint < kUnicodeLimit;
  for (size_t slot = 0; slot < data.slots.size(); ++slot) {
    if (!data.slots[slot]) {
      if (data.slotPaths[slot].empty()) continue;
      if (fallbackProbeCache().probe(data.slotPaths[slot], codepoint, counts) != ProbeResult::Usable) continue;
      if (!loadLazySlot(slot, codepoint)) continue;
      if (mapped) {
        data.codepointState[codepoint] = kCodepointInSlot;
        data.codepointSlot[codepoint] = static_cast<uint16_t>(slot);
      }
    }
    RenderFont* member = data.slots[slot].get();
    if (member->isGroup()) continue;  // nested groups never answer
    if (!isLineControl(codepoint) && !member->hasCodepoint(codepoint)) continue;
    if (mapped) {
      data.codepointState[codepoint] = slot == 0 ? kCodepointInPrimary : kCodepointInSlot;
      data.codepointSlot[codepoint] = slot == 0 ? kNoFallbackSlot : static_cast<uint16_t>(slot);
    }
    logSlowResolution(codepoint, startNs, counts, data.slots.size(), slot);
    return member;
  }
  if (mapped) {
    data.codepointState[codepoint] = kCodepointInNoMember;
    ++data.unresolvedCount;
  }
  logSlowResolution(codepoint, startNs, counts, data.slots.size(), kNoFallbackSlot);
  return data.slots[0].get();
}

bool RenderFont::loadLazySlot(size_t slot, uint32_t codepoint) {
  FontGroupData& data = *group_;
  ++data.loadAttempts;
  std::shared_ptr<RenderFont> member = load(data.slotPaths[slot], data.groupSize, embolden_);
  if (!member) {
    fallbackDebugLog("[qz-font] failed fallback[%zu] for U+%04X from %s", slot, static_cast<unsigned>(codepoint),
                     textNamingFontPath("", data.slotPaths[slot]).c_str());
    data.slotPaths[slot].clear();  // never tried again
    return false;
  }
  member->setTabSize(tabAdvance_);
  member->setLineGap(lineGapOn_ != 0);
  member->setAntialias(antialias_ != 0);
  data.baselineShifts[slot] = clampToInt32(int64_t{baseline_} - member->baseline_);
  data.slots[slot] = std::move(member);
  ++data.loadSuccesses;
  fallbackDebugLog("[qz-font] loaded fallback[%zu] for U+%04X from %s", slot, static_cast<unsigned>(codepoint),
                   textNamingFontPath("", data.slotPaths[slot]).c_str());
  return true;
}

bool RenderFont::hasCodepoint(uint32_t codepoint) {
  if (isGroup()) return false;
  if (isLineControl(codepoint)) return true;
  if (!ftFace_ || codepoint >= kUnicodeLimit) return false;
  const uint32_t glyph = glyphIndexFor(codepoint);
  if (glyph == 0) return false;
  if (!colourFace_ || !svgGlyphsAllowed_) return true;
  return colourGlyphUsable(ftFace_.get(), glyph);
}

ResolvedAdvance RenderFont::resolveAdvance(uint32_t codepoint) {
  if (codepoint < 128 && asciiAdvanceValid_[codepoint]) return asciiAdvances_[codepoint];
  ResolvedAdvance answer;
  if (!isGroup()) {
    answer.face = this;
  } else {
    if (!groupReady()) return answer;
    const FontGroupData& data = *group_;
    const uint8_t state = codepoint < 128 ? data.codepointState[codepoint] : kCodepointUnresolved;
    answer.face = (state == kCodepointInPrimary || state == kCodepointInNoMember) ? data.slots[0].get()
                                                                                  : resolveFallback(codepoint);
    if (answer.face != nullptr && answer.face != data.slots[0].get()) {
      answer.baselineShift = memberBaselineShift(answer.face);
    }
  }
  if (answer.face != nullptr && !answer.face->isGroup())
    answer.advance = answer.face->codepointAdvance(codepoint).advance;
  if (codepoint < 128) {
    asciiAdvances_[codepoint] = answer;
    asciiAdvanceValid_[codepoint] = 1;
  }
  return answer;
}

RenderFont* RenderFont::resolveFallbackWithShift(uint32_t codepoint, int32_t& shift) {
  shift = 0;
  if (!isGroup()) return this;
  if (!groupReady()) return nullptr;
  const FontGroupData& data = *group_;
  if (codepoint < 128) {
    const uint8_t state = data.codepointState[codepoint];
    if (state == kCodepointInPrimary || state == kCodepointInNoMember) return data.slots[0].get();
  }
  RenderFont* face = resolveFallback(codepoint);
  if (face != nullptr && face != data.slots[0].get()) shift = memberBaselineShift(face);
  return face;
}

int32_t RenderFont::memberBaselineShift(const RenderFont* face) const {
  if (!groupReady()) return 0;
  const FontGroupData& data = *group_;
  for (size_t slot = 0; slot < data.slots.size(); ++slot) {
    if (data.slots[slot].get() == face) return data.baselineShifts[slot];
  }
  return 0;
}

void RenderFont::setTabSize(int32_t pixels) {
  asciiAdvanceValid_['\t'] = 0;
  if (!isGroup()) {
    tabAdvance_ = pixels;
  } else if (groupReady()) {
    setTabSizeRecursive(pixels);
  }
}

void RenderFont::setTabSizeRecursive(int32_t pixels) {
  for (const std::shared_ptr<RenderFont>& member : group_->slots) {
    if (!member) continue;
    member->asciiAdvanceValid_['\t'] = 0;
    if (!member->isGroup()) {
      member->tabAdvance_ = pixels;
    } else if (member->groupReady()) {
      member->setTabSizeRecursive(pixels);
    }
  }
  tabAdvance_ = pixels;
}

// Sets the flag and the line height it implies. The missing-glyph box width follows the line height, so
// the cached ASCII answers go too.
void RenderFont::setLineGapFlag(bool on) {
  lineGapOn_ = on ? 1 : 0;
  lineHeight_ = clampToInt32(int64_t{baseHeight_} + (on ? lineGap_ : 0));
  asciiAdvanceValid_.fill(0);
}

void RenderFont::setLineGap(bool on) {
  setLineGapFlag(on);
  if (groupReady()) setLineGapRecursive(on);
}

void RenderFont::setLineGapRecursive(bool on) {
  for (const std::shared_ptr<RenderFont>& member : group_->slots) {
    if (!member) continue;
    member->setLineGapFlag(on);
    if (member->groupReady()) member->setLineGapRecursive(on);
  }
  asciiAdvanceValid_.fill(0);
  if (group_->slots[0]) lineHeight_ = group_->slots[0]->lineHeight_;
}

void RenderFont::setAntialias(bool on) {
  setAntialiasFlag(on);
  if (groupReady()) setAntialiasRecursive(on);
}

void RenderFont::setAntialiasRecursive(bool on) {
  for (const std::shared_ptr<RenderFont>& member : group_->slots) {
    if (!member) continue;
    member->setAntialiasFlag(on);
    if (member->groupReady()) member->setAntialiasRecursive(on);
  }
}

// The flag changes how the font's text is drawn, which its records do not hold: a new serial makes the
// records that name the font new ones, so their cells are drawn again.
void RenderFont::setAntialiasFlag(bool on) {
  if (antialias_ == (on ? 1 : 0)) return;
  antialias_ = on ? 1 : 0;
  serial_ = nextFontSerial();
}

FontFallbackStats RenderFont::fallbackStats() const {
  FontFallbackStats stats;
  if (!groupReady()) return stats;
  const FontGroupData& data = *group_;
  stats.total = static_cast<uint32_t>(data.slots.size());
  for (size_t slot = 0; slot < data.slots.size(); ++slot) {
    if (data.slots[slot]) ++stats.loaded;
    if (!data.slotPaths[slot].empty()) ++stats.withPath;
  }
  stats.attempts = data.loadAttempts;
  stats.successes = data.loadSuccesses;
  return stats;
}

void RenderFont::fallbackCacheStats(uint32_t* resolutionHits, uint32_t* unresolvedCount) const {
  const bool ready = groupReady();
  if (resolutionHits != nullptr) *resolutionHits = ready ? group_->resolutionHits : 0;
  if (unresolvedCount != nullptr) *unresolvedCount = ready ? group_->unresolvedCount : 0;
}
