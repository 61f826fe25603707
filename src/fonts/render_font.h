// RenderFont, the one font object: a single FreeType face at one pixel size with its caches (kind face), or
// an ordered fallback group of member fonts consulted per codepoint (kind group). Always owned through
// std::shared_ptr; main thread only.
//
// A face answers glyph indices, metrics and bitmaps from caches that fill once per codepoint or glyph id;
// bitmaps are rendered once into the face's atlas pages. A group resolves every codepoint to the first
// member that has a usable glyph (slot 0 when none does), loading lazy members from their files on first
// need, and remembers the answer in two maps over all of Unicode.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fonts/font_options.h"
#include "fonts/freetype_library.h"
#include "fonts/glyph_cost.h"
#include "fonts/math_types.h"
#include "fonts/render_font_types.h"

// The most slots a group can hold: slot numbers are 16-bit, with 0xFFFF meaning none.
inline constexpr size_t kMaxFontGroupSlots = 65535;
// Pixel sizes beyond this (and non-finite ones) fail the load: FreeType keeps ppem in 16 bits.
inline constexpr float kMaxFontPixelSize = 65535.0f;

// Resolution states of a codepoint in a group.
inline constexpr uint8_t kCodepointUnresolved = 0;
inline constexpr uint8_t kCodepointInPrimary = 1;
inline constexpr uint8_t kCodepointInSlot = 2;
inline constexpr uint8_t kCodepointInNoMember = 3;
inline constexpr uint16_t kNoFallbackSlot = 0xFFFF;

// The members of a group and its per-codepoint answers. The three per-slot vectors have equal lengths.
struct FontGroupData {
  std::vector<std::shared_ptr<RenderFont>> slots;  // slot 0 is the primary; a lazy slot is empty until loaded
  std::vector<std::string> slotPaths;              // file of a lazy member, "" otherwise or after a failed load
  std::vector<int32_t> baselineShifts;             // group baseline minus member baseline
  float groupSize = 0.0f;                          // pixel size of lazy loads
  uint32_t loadAttempts = 0;
  uint32_t loadSuccesses = 0;
  std::vector<uint8_t> codepointState;  // 0x110000 entries, kCodepoint* states
  std::vector<uint16_t> codepointSlot;  // 0x110000 entries, the slot of kCodepointInSlot
  uint32_t resolutionHits = 0;
  uint32_t unresolvedCount = 0;
};

struct FontFallbackStats {
  uint32_t total = 0;
  uint32_t loaded = 0;
  uint32_t withPath = 0;
  uint32_t attempts = 0;
  uint32_t successes = 0;
};

struct SvgGlyphResult;

class RenderFont : public std::enable_shared_from_this<RenderFont> {
  struct Builder {};  // only load and the group builders make fonts

 public:
  using GlyphMetricEntry = ::GlyphMetricEntry;
  static constexpr uint32_t kKindFace = 0;
  static constexpr uint32_t kKindGroup = 1;

  explicit RenderFont(Builder);
  ~RenderFont();
  RenderFont(const RenderFont&) = delete;
  RenderFont& operator=(const RenderFont&) = delete;

  // --- Loading (render_font.cpp) ---
  // Loads a face from the whole file at `path` at `pixelSize` pixels, emboldened by `embolden` (clamped to
  // 0..2). Null on failure; every load writes the load log line. A path holding a zero byte names no file.
  static std::shared_ptr<RenderFont> load(std::string_view path, float pixelSize, float embolden);
  // The same for a NUL-terminated path; a null path is the empty one.
  static std::shared_ptr<RenderFont> load(const char* path, float pixelSize, float embolden) {
    return load(path != nullptr ? std::string_view(path) : std::string_view(), pixelSize, embolden);
  }

  bool isGroup() const { return kind_ == kKindGroup; }
  bool isReady() const;
  // A process-unique number of this font, never reused: identifies it where a freed font's address could
  // come back for a new one. A setting that changes how the font draws, which drawing records do not hold
  // (antialiasing), gives the font a new one.
  uint64_t serial() const { return serial_; }
  int32_t tabWidth() const { return tabAdvance_; }
  int32_t height() const { return lineHeight_; }
  int32_t baseline() const { return baseline_; }
  bool lineGap() const { return lineGapOn_ != 0; }
  bool antialias() const { return antialias_ != 0; }
  const FontInfo& info() const { return info_; }
  float embolden() const { return embolden_; }
  const std::string& path() const { return path_; }
  const std::vector<uint8_t>& fileBytes() const { return fileBytes_; }
  bool colourFace() const { return colourFace_ != 0; }
  bool bitmapStrike() const { return bitmapStrike_ != 0; }
  float strikeScale() const { return strikeScale_; }
  float pixelSize() const { return pixelSize_; }

  // FreeType load flags of glyph bitmaps: the hinting flags plus FT_LOAD_COLOR for a colour face that may
  // draw bitmap or SVG glyphs.
  int32_t loadFlags() const;
  // The process quality with this font's emboldening added (clamped to 0..2).
  FontQuality effectiveQuality() const;

  bool ensureHarfBuzzFont();
  hb_face_t* harfBuzzFace();
  hb_font_t* harfBuzzFont();
  void refreshHarfBuzzFont();
  void releaseHarfBuzz();

  // Estimated bytes of this font and, for a group, its members (each counted once per call).
  uint64_t memoryBytes(std::unordered_set<const RenderFont*>& visited) const;

  // --- Glyph metric caches (glyph_metrics.cpp) ---
  uint32_t glyphIndexFor(uint32_t codepoint);
  // Whether FreeType may be asked to load the glyph: its work is judged once, before the first load
  // (glyph_cost.h); a glyph refused is missing.
  bool glyphLoadAffordable(uint32_t glyphId);
  // The filled entry of a codepoint; the reference lives as long as the face. Values of 0x110000 and above
  // get the (thread-local) empty missing entry, from either name.
  GlyphMetricEntry& glyphMetrics(uint32_t codepoint);
  GlyphMetricEntry& glyphMetricsOrEmpty(uint32_t codepoint);
  // Rounded advance of a codepoint in a face, with the missing-glyph box width for a missing visible one.
  CodepointAdvance codepointAdvance(uint32_t codepoint);
  GlyphMetricEntry& glyphEntryById(uint32_t glyphId);
  CodepointAdvance glyphIdAdvance(uint32_t glyphId);
  GlyphBitmapView glyphBitmapForGlyphId(uint32_t glyphId);
  // Width of the box drawn for a missing visible glyph: max(6, 0.75 x line height).
  int32_t missingGlyphBoxWidth() const;

  // --- Atlas pages and glyph bitmaps (glyph_atlas.cpp, glyph_raster.cpp) ---
  // Packs `entry.width` x `entry.height` pixels into an atlas page and records the place in the entry; an
  // empty, oversized or short bitmap marks the entry missing instead.
  void storeGlyphBitmap(const std::vector<uint32_t>& pixels, GlyphMetricEntry& entry);
  const std::vector<GlyphAtlasPage>& atlasPages() const { return atlasPages_; }
  int32_t atlasPageSize() const { return atlasPageSize_; }
  void ensureGlyphBitmap(uint32_t codepoint, GlyphMetricEntry& entry);
  void ensureGlyphBitmapByGlyphId(uint32_t glyphId, GlyphMetricEntry& entry);
  GlyphBitmapView glyphBitmapForCodepoint(uint32_t codepoint);
  // Settles the entry that a finished SVG glyph job was rendered for, when it still waits: stores the
  // bitmap, or marks the glyph missing. False when no entry of the face waits for it.
  bool applySvgGlyphResult(const SvgGlyphResult& result);

  // --- Groups and fallback (font_group.cpp) ---
  // A group of the non-null fonts in order; null when there is none or more than kMaxFontGroupSlots.
  static std::shared_ptr<RenderFont> group(std::vector<std::shared_ptr<RenderFont>> fonts);
  // A group of `primary` and one lazy slot per non-empty path, loaded at `pixelSize` when a codepoint first
  // needs it; null for a null or group primary, or too many slots.
  static std::shared_ptr<RenderFont> groupLazy(std::shared_ptr<RenderFont> primary,
                                               std::span<const std::string_view> paths, float pixelSize);
  const FontGroupData& groupData() const { return *group_; }
  bool groupReady() const;
  // The face that draws `codepoint` (owned by the group), or null for a group that is not ready.
  RenderFont* resolveFallback(uint32_t codepoint);
  RenderFont* resolveFallbackWithShift(uint32_t codepoint, int32_t& shift);
  ResolvedAdvance resolveAdvance(uint32_t codepoint);
  int32_t memberBaselineShift(const RenderFont* face) const;
  bool hasCodepoint(uint32_t codepoint);
  void setTabSize(int32_t pixels);
  void setLineGap(bool on);
  void setAntialias(bool on);
  FontFallbackStats fallbackStats() const;
  void fallbackCacheStats(uint32_t* resolutionHits, uint32_t* unresolvedCount) const;

  // --- Shaping and measuring (text_shaping.cpp) ---
  // Shapes a whole NUL-terminated text in this face; false (output untouched) when any glyph is missing.
  bool shapeText(const char* text, int32_t baselineShift, std::vector<ShapedGlyph>& output);
  // Shapes the text in this face or, for a group, in the first member that shapes all of it.
  bool shapeTextWithFallback(const char* text, std::vector<ShapedGlyph>& output);
  int32_t textWidth(const char* text);
  TextBounds textBounds(const char* text);

  // --- OpenType MATH (math_table.cpp, math_mask.cpp) ---
  // Every query answers neutrally (nothing present, 0, no glyphs) for a group, a face without MATH data, or
  // a text whose first codepoint has no glyph; the rest of a text is ignored.
  MathConstants mathConstants();
  float mathItalicsCorrection(const char* text);
  float mathTopAccentAttachment(const char* text);
  // `corner` 0 top right, 1 top left, 2 bottom right, 3 bottom left; any other gives 0.
  float mathKerning(const char* text, uint32_t corner, float correctionHeight);
  MathGlyphShape mathGlyphShape(const char* text, bool vertical);
  // Fills the outlines of every glyph and rule together into one coverage mask; may throw std::bad_alloc.
  MathMask composeMathMask(const std::vector<MathMaskComponent>& components, int32_t supersample,
                           uint64_t supersampledByteLimit, uint64_t maskPixelLimit);

 private:
  struct GlyphIndexPage {
    std::array<uint32_t, 256> indices{};
    std::array<uint8_t, 256> states{};
  };
  using MetricPage = std::array<GlyphMetricEntry, 256>;

  static std::shared_ptr<RenderFont> makeEmpty(uint32_t kind);
  bool loadFace(std::string_view path);
  bool applySize();
  void readFontInfo();
  void setLineGapFlag(bool on);
  void setAntialiasFlag(bool on);
  void fillMetricEntry(GlyphMetricEntry& entry, uint32_t codepoint, bool byGlyphId);
  // `key` is the codepoint or, `byGlyphId`, the glyph id of the entry (an SVG glyph's job names it).
  void renderGlyphBitmap(uint32_t glyphIndex, uint32_t key, bool byGlyphId, GlyphMetricEntry& entry);
  bool enqueueSvgGlyph(uint32_t key, bool byGlyphId, GlyphMetricEntry& entry);
  GlyphBitmapView viewOfStoredBitmap(const GlyphMetricEntry& entry, GlyphBitmapView view) const;
  void copyGroupSettingsFrom(const RenderFont& source);
  RenderFont* resolveInSlots(uint32_t codepoint);
  bool loadLazySlot(size_t slot, uint32_t codepoint);
  void setTabSizeRecursive(int32_t pixels);
  void setLineGapRecursive(bool on);
  void setAntialiasRecursive(bool on);
  bool shapeRun(hb_buffer_t* buffer, const char* text, uint32_t wholeClusterEnd, int32_t baselineShift,
                bool wholeCluster, std::vector<ShapedGlyph>& output);
  bool shapeKeycapWithFallback(const char* text, std::vector<ShapedGlyph>& output);
  hb_font_t* mathFont();
  MathGlyphPlacement mathPlacement(hb_font_t* font, uint32_t glyphId);
  // A glyph-id entry as a call found it before it first touched the glyph.
  struct GlyphIdBefore {
    uint32_t glyphId = 0;
    bool existed = false;
    GlyphMetricEntry entry;  // when it existed
  };
  MathGlyphShape readMathGlyphShape(const char* text, bool vertical, std::vector<GlyphIdBefore>& touched);

  // The atlas as a call found it, so that a call that fails can give back what it added.
  struct AtlasMark {
    size_t pageCount = 0;
    std::vector<std::array<uint32_t, 3>> cursors;  // cursorX, cursorY and rowHeight of each page
  };
  AtlasMark markAtlas() const;
  // Puts the glyph-id entries the call touched back as they were (forgetting those it created), clears the
  // bitmaps it stored and puts the atlas back.
  void rollBackGlyphIdEntries(const AtlasMark& mark, const std::vector<GlyphIdBefore>& touched);

  uint32_t kind_ = kKindFace;
  int32_t tabAdvance_ = 0;
  std::optional<FontGroupData> group_;
  int32_t baseline_ = 0;
  int32_t baseHeight_ = 0;
  int32_t lineGap_ = 0;
  uint8_t lineGapOn_ = 1;
  uint8_t antialias_ = 1;
  uint8_t bitmapGlyphsAllowed_ = 0;
  uint8_t svgGlyphsAllowed_ = 0;
  uint8_t colourFace_ = 0;
  uint8_t bitmapStrike_ = 0;
  float embolden_ = 0.0f;
  std::string path_;
  std::vector<uint8_t> fileBytes_;
  FreeTypeFaceHandle ftFace_;
  FontInfo info_;
  HarfBuzzFaceHandle hbFace_;
  HarfBuzzFontHandle hbFont_;
  int32_t hbLoadFlags_ = -1;  // the load flags HarfBuzz was last given; -1 before any
  GlyphLoadVerdicts glyphLoads_;
  std::vector<std::unique_ptr<GlyphIndexPage>> glyphIndexPages_;
  std::vector<std::unique_ptr<MetricPage>> metricPages_;
  std::array<ResolvedAdvance, 128> asciiAdvances_{};
  std::array<uint8_t, 128> asciiAdvanceValid_{};
  std::unordered_map<uint32_t, GlyphMetricEntry> glyphIdEntries_;
  std::vector<GlyphAtlasPage> atlasPages_;
  int32_t atlasPageSize_ = 128;
  float pixelSize_ = 0.0f;
  float strikeScale_ = 1.0f;
  int32_t lineHeight_ = 0;
  uint64_t serial_ = 0;
};

// The next font serial of the process.
uint64_t nextFontSerial();

// fontMemoryBytes: RenderFont::memoryBytes with a fresh visited set.
uint64_t fontMemoryBytes(const RenderFont* font);

// Larger than any real font collection: a bigger file is refused before it is read.
inline constexpr uint64_t kMaxFontFileBytes = uint64_t{256} << 20;

// Whole file into `bytes` (resized); false for an empty path, one that is no regular file (a pipe, device or
// directory is refused without waiting on it), an unreadable or empty file, or one above kMaxFontFileBytes.
bool readWholeFile(std::string_view path, std::vector<uint8_t>& bytes);
// Whole-text keycap score of a shaping result: fewer glyphs, a colour face and one cluster score higher.
int32_t keycapShapeScore(const RenderFont* face, const char* text, const std::vector<ShapedGlyph>& glyphs);
