// Font groups: building them, per-codepoint resolution with its maps, lazy members, the probe cache and
// the settings that reach every member.
#include <gtest/gtest.h>

#include "font_test_support.h"
#include "fonts/codepoints.h"
#include "fonts/fallback_probe.h"

namespace {

using fonttest::counterValue;
using fonttest::FontTest;
using fonttest::TempPath;

constexpr uint32_t kAlef = 0x05D0;
constexpr uint32_t kBet = 0x05D1;

std::shared_ptr<RenderFont> lazyGroup(std::shared_ptr<RenderFont> primary, std::vector<std::string_view> paths,
                                      float size = 14) {
  return RenderFont::groupLazy(primary, paths, size);
}

TEST_F(FontTest, Group_SkipsNullsAndTakesTheFirstMembersSettings) {
  auto a = loadOrFail(fonttest::kSans, 14);
  auto b = loadOrFail(fonttest::kSerif, 20);
  b->setAntialias(false);
  b->setLineGap(false);
  RenderFont* rawB = b.get();
  auto group = RenderFont::group({a, nullptr, b});
  ASSERT_NE(group, nullptr);
  EXPECT_TRUE(group->isGroup());
  EXPECT_TRUE(group->isReady());
  EXPECT_EQ(group->groupData().slots.size(), 2u);
  EXPECT_EQ(group->height(), a->height());
  EXPECT_EQ(group->tabWidth(), a->tabWidth());
  EXPECT_EQ(group->baseline(), a->baseline());
  EXPECT_TRUE(rawB->antialias());
  EXPECT_TRUE(rawB->lineGap());
  EXPECT_EQ(group->memberBaselineShift(rawB), a->baseline() - rawB->baseline());
  EXPECT_EQ(group->memberBaselineShift(a.get()), 0);
  EXPECT_TRUE(group->info().familyName.empty());
  EXPECT_EQ(RenderFont::group({nullptr}), nullptr);
  EXPECT_EQ(RenderFont::group({}), nullptr);
}

TEST_F(FontTest, GroupLazy_MakesOneSlotPerNonEmptyPath) {
  auto primary = loadOrFail(fonttest::kSansMono, 14);
  RenderFont* rawPrimary = primary.get();
  auto group = lazyGroup(primary, {"/p.ttf", "", "/p.ttf"});
  ASSERT_NE(group, nullptr);
  const FontGroupData& data = group->groupData();
  ASSERT_EQ(data.slots.size(), 3u);
  EXPECT_EQ(data.slots[0].get(), rawPrimary);
  EXPECT_EQ(data.slotPaths, (std::vector<std::string>{"", "/p.ttf", "/p.ttf"}));
  const FontFallbackStats stats = group->fallbackStats();
  EXPECT_EQ(stats.total, 3u);
  EXPECT_EQ(stats.loaded, 1u);
  EXPECT_EQ(stats.withPath, 2u);
  EXPECT_EQ(stats.attempts, 0u);
}

TEST_F(FontTest, GroupLazy_RefusesGroupPrimariesAndTooManySlots) {
  auto face = loadOrFail(fonttest::kSans, 14);
  std::shared_ptr<RenderFont> inner = RenderFont::group({face});
  EXPECT_EQ(lazyGroup(inner, {}), nullptr);
  std::shared_ptr<RenderFont> nothing;
  EXPECT_EQ(lazyGroup(nothing, {}), nullptr);
  auto primary = loadOrFail(fonttest::kSans, 14);
  std::vector<std::string_view> paths(kMaxFontGroupSlots, "/p.ttf");
  EXPECT_EQ(RenderFont::groupLazy(primary, paths, 14), nullptr);
  paths.pop_back();
  EXPECT_NE(RenderFont::groupLazy(primary, paths, 14), nullptr);
}

TEST_F(FontTest, Resolve_PrimaryAnswersAndTheSecondAskIsAHit) {
  auto group = lazyGroup(loadOrFail(fonttest::kSans, 14), {});
  RenderFont* primary = group->groupData().slots[0].get();
  EXPECT_EQ(group->resolveFallback('x'), primary);
  EXPECT_EQ(group->groupData().codepointState['x'], kCodepointInPrimary);
  const uint64_t hits = counterValue(FontCounter::FallbackResolutionCacheHits);
  EXPECT_EQ(group->resolveFallback('x'), primary);
  uint32_t resolutionHits = 0;
  group->fallbackCacheStats(&resolutionHits, nullptr);
  EXPECT_EQ(resolutionHits, 1u);
  EXPECT_EQ(counterValue(FontCounter::FallbackResolutionCacheHits), hits + 1);
}

TEST_F(FontTest, Resolve_NoMemberHasItSoSlotZeroAnswersOnce) {
  auto group = lazyGroup(loadOrFail(fonttest::kSansMono, 14), {});
  RenderFont* primary = group->groupData().slots[0].get();
  EXPECT_EQ(group->resolveFallback(0x10FFFD), primary);
  EXPECT_EQ(group->groupData().codepointState[0x10FFFD], kCodepointInNoMember);
  const uint64_t misses = counterValue(FontCounter::FallbackResolutionCacheMisses);
  EXPECT_EQ(group->resolveFallback(0x10FFFD), primary);
  EXPECT_EQ(counterValue(FontCounter::FallbackResolutionCacheMisses), misses);
  uint32_t unresolved = 0;
  group->fallbackCacheStats(nullptr, &unresolved);
  EXPECT_EQ(unresolved, 1u);
  EXPECT_EQ(group->resolveFallback(0x110000), primary);  // beyond Unicode: no map, not counted
  group->fallbackCacheStats(nullptr, &unresolved);
  EXPECT_EQ(unresolved, 1u);
}

TEST_F(FontTest, LazyGroup_LoadsTheMemberThatHasTheGlyphAndSkipsAMissingFile) {
  TempPath missing("absent_fallback");
  auto group = lazyGroup(loadOrFail(fonttest::kSansMono, 14), {missing.c_str(), fonttest::kSans});
  RenderFont* alef = group->resolveFallback(kAlef);
  ASSERT_NE(alef, nullptr);
  EXPECT_EQ(alef, group->groupData().slots[2].get());
  EXPECT_EQ(alef->path(), fonttest::kSans);
  EXPECT_EQ(group->groupData().codepointState[kAlef], kCodepointInSlot);
  EXPECT_EQ(group->groupData().codepointSlot[kAlef], 2);
  const FontFallbackStats stats = group->fallbackStats();
  EXPECT_EQ(stats.total, 3u);
  EXPECT_EQ(stats.loaded, 2u);
  EXPECT_EQ(stats.withPath, 2u);  // the missing file keeps its path: only its probe failed
  EXPECT_EQ(stats.attempts, 1u);
  EXPECT_EQ(stats.successes, 1u);
  uint32_t hits = 0;
  group->fallbackCacheStats(&hits, nullptr);
  EXPECT_EQ(group->resolveFallback(kAlef), alef);  // from the maps
  uint32_t hitsAfter = 0;
  group->fallbackCacheStats(&hitsAfter, nullptr);
  EXPECT_EQ(hitsAfter, hits + 1);
  // The missing file now appears; the probe cache remembers its failure and never reads it again.
  missing.copyFrom(fonttest::kSans);
  EXPECT_EQ(group->resolveFallback(kBet), alef);
  EXPECT_EQ(group->fallbackStats().attempts, 1u);
  EXPECT_EQ(group->memberBaselineShift(alef), group->baseline() - alef->baseline());
}

TEST_F(FontTest, LazyGroup_MemberThatFailsToLoadLosesItsPath) {
  auto group = lazyGroup(loadOrFail(fonttest::kSansMono, 14), {fonttest::kFixed10x20});
  // The strike font has the glyph, but without bitmap glyphs it can't be sized to 14 pixels.
  EXPECT_EQ(group->resolveFallback(kAlef), group->groupData().slots[0].get());
  const FontFallbackStats stats = group->fallbackStats();
  EXPECT_EQ(stats.attempts, 1u);
  EXPECT_EQ(stats.successes, 0u);
  EXPECT_EQ(stats.withPath, 0u);
  EXPECT_EQ(group->groupData().slotPaths[1], "");
}

TEST_F(FontTest, LazyGroup_FindsColourBitmapGlyphsWhenSvgIsAllowed) {
  setAllowFontBitmapGlyphs(true);
  setAllowFontSvgGlyphs(true);
  auto group = lazyGroup(loadOrFail(fonttest::kSansMono, 14), {fonttest::kColorEmoji});
  RenderFont* emoji = group->resolveFallback(0x1F600);
  ASSERT_NE(emoji, group->groupData().slots[0].get());
  EXPECT_TRUE(emoji->colourFace());
  EXPECT_TRUE(emoji->bitmapStrike());
  EXPECT_TRUE(emoji->hasCodepoint(0x1F600));
}

TEST_F(FontTest, ProbeCache_EvictsTheLeastRecentlyProbedPath) {
  FallbackProbeCache cache;
  ProbeCounts counts;
  std::vector<std::string> paths;
  for (int i = 0; i < 33; ++i) paths.push_back("/nonexistent/probe-" + std::to_string(i) + ".ttf");
  for (const std::string& path : paths) EXPECT_EQ(cache.probe(path, 'a', counts), ProbeResult::None);
  EXPECT_EQ(cache.size(), FallbackProbeCache::kMaxEntries);
  EXPECT_FALSE(cache.contains(paths[0]));
  EXPECT_TRUE(cache.contains(paths[1]));
  EXPECT_EQ(counts.newEntries, 33u);
  cache.probe(paths[0], 'a', counts);
  EXPECT_EQ(counts.newEntries, 34u);
  EXPECT_FALSE(cache.contains(paths[1]));
  EXPECT_EQ(counts.probes, 34u);
}

TEST_F(FontTest, ProbeCache_AnswersFromTheBareFace) {
  FallbackProbeCache cache;
  ProbeCounts counts;
  EXPECT_EQ(cache.probe(fonttest::kSans, kAlef, counts), ProbeResult::Usable);
  EXPECT_EQ(cache.probe(fonttest::kSansMono, kAlef, counts), ProbeResult::NoGlyph);
  EXPECT_EQ(cache.probe(fonttest::kSans, 0x110000, counts), ProbeResult::None);
  setAllowFontSvgGlyphs(true);  // colour strikes must answer without a size chosen by a full load
  EXPECT_EQ(cache.probe(fonttest::kColorEmoji, 0x1F600, counts), ProbeResult::Usable);
  EXPECT_EQ(cache.probe(fonttest::kSans, kAlef, counts), ProbeResult::Usable);
  EXPECT_EQ(counts.newEntries, 3u);
}

TEST_F(FontTest, NestedGroup_NeverAnswersButReceivesSettings) {
  auto innerFace = loadOrFail(fonttest::kSansMono, 14);
  RenderFont* rawInnerFace = innerFace.get();
  auto inner = RenderFont::group({innerFace});
  auto outerFace = loadOrFail(fonttest::kSans, 14);
  RenderFont* rawOuterFace = outerFace.get();
  auto outer = RenderFont::group({inner, outerFace});
  EXPECT_EQ(outer->resolveFallback('a'), rawOuterFace);
  EXPECT_EQ(outer->resolveFallback(0x10FFFD), outer->groupData().slots[0].get());
  EXPECT_EQ(outer->resolveAdvance(0x10FFFD).advance, 0);
  outer->setTabSize(40);
  outer->setAntialias(false);
  outer->setLineGap(false);
  EXPECT_EQ(rawInnerFace->tabWidth(), 40);
  EXPECT_FALSE(rawInnerFace->antialias());
  EXPECT_FALSE(rawInnerFace->lineGap());
  EXPECT_EQ(outer->tabWidth(), 40);
}

TEST_F(FontTest, ResolveAdvance_TabsAndTheAsciiCacheFollowTheGroup) {
  auto group = lazyGroup(loadOrFail(fonttest::kSans, 14), {fonttest::kSerif});
  EXPECT_EQ(group->resolveFallback('\t'), group->groupData().slots[0].get());
  EXPECT_EQ(group->resolveAdvance('\t').advance, 16);
  group->setTabSize(33);
  EXPECT_EQ(group->resolveAdvance('\t').advance, 33);
  const ResolvedAdvance a = group->resolveAdvance('a');
  EXPECT_EQ(a.face, group->groupData().slots[0].get());
  EXPECT_EQ(a.baselineShift, 0);
  EXPECT_EQ(a.advance, a.face->codepointAdvance('a').advance);
  EXPECT_EQ(group->resolveAdvance('a').face, a.face);
  const ResolvedAdvance unknown = group->resolveAdvance(0x10FFFD);  // in neither member: the primary's box
  EXPECT_EQ(unknown.face, group->groupData().slots[0].get());
  EXPECT_EQ(unknown.advance, 13);
}

TEST_F(FontTest, ResolveAdvance_OfASingleFaceAndAnUnreadyGroup) {
  auto font = loadOrFail(fonttest::kSans, 14);
  const ResolvedAdvance answer = font->resolveAdvance('W');
  EXPECT_EQ(answer.face, font.get());
  EXPECT_EQ(answer.advance, font->codepointAdvance('W').advance);
  int32_t shift = 9;
  EXPECT_EQ(font->resolveFallbackWithShift('W', shift), font.get());
  EXPECT_EQ(shift, 0);
  EXPECT_FALSE(font->hasCodepoint(0x110000));
  EXPECT_TRUE(font->hasCodepoint('\n'));
  EXPECT_EQ(font->fallbackStats().total, 0u);
}

}  // namespace
