// The per-window frame recorder. Between the begin and the end of a frame every drawing request becomes
// a RenderCommand record in one reused arena; the end of the frame hashes the records into 96-pixel
// cells, compares them with the previous frame, replays the commands over the changed rectangles through
// the WindowRenderer's rasterizer and presents just those rectangles.
//
// Invariants: records are 8-byte aligned, zero-filled, at least 96 bytes and walked only by their size;
// the arena never exceeds 16 MiB; a frame that lost a command is dropped whole at its end, with one warning;
// outside a frame nothing is recorded.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "render/canvas_bitmap.h"
#include "render/cell_fold.h"
#include "render/record_hash_memo.h"
#include "render/render_command.h"
#include "render/text_cache.h"
#include "render/text_layout.h"
#include "render/window_renderer.h"

class RenderFont;

// Where a record draws: its rect, united for a text record with the box its glyphs reach (kept in its
// source rectangle). Cells are marked and text is replayed by it.
RenderRect textReach(const RenderCommand& command);

class RenderCache {
 public:
  static constexpr int32_t kCellSize = 96;
  static constexpr int32_t kGridColumns = 80;
  static constexpr int32_t kGridRows = 50;
  static constexpr int32_t kCellCount = kGridColumns * kGridRows;
  static constexpr int64_t kArenaLimit = 16 * 1024 * 1024;
  static constexpr int64_t kInitialArenaBytes = 512 * 1024;
  static constexpr uint32_t kFnvStart = 0x811C9DC5u;
  static constexpr uint32_t kCellMustRedraw = 0xFFFFFFFFu;

  explicit RenderCache(WindowRenderer* windowRenderer);
  ~RenderCache();
  RenderCache(const RenderCache&) = delete;
  RenderCache& operator=(const RenderCache&) = delete;

  // The arena.
  RenderCommand* allocateCommand(uint32_t type, int32_t size);
  // Walks the records of the frame: a null cursor starts at the first one.
  bool nextCommand(const RenderCommand*& cursor) const;
  int32_t commandBytes() const { return commandBytes_; }
  // Between beginFrame and endFrame; outside, records are dropped (no frame would replay them).
  bool frameOpen() const { return frameOpen_; }
  bool frameDiscarded() const { return discardReason_ != nullptr; }
  // Why the open frame will be dropped at its end (the warning it wrote); null while it is whole.
  const char* discardReason() const { return discardReason_; }

  // Emitters (nothing is recorded for a command wholly outside the viewport).
  void setClipRect(const RenderRect& rect);
  // The clip the frame's next records are drawn with: the last one set, else the viewport.
  const RenderRect& clipRect() const { return clipRect_; }
  void fillRect(const RenderRect& rect, uint32_t color);
  void drawVerticalRules(const RenderRect& rect, float firstX, float spacing, uint32_t ruleWidth, uint32_t count,
                         uint32_t activeIndex, uint32_t color, uint32_t activeColor);
  void fillCircle(const RenderRect& rect, uint32_t color);
  void strokeCircle(const RenderRect& rect, uint32_t lineWidth, uint32_t color);
  void drawCrossShape(const RenderRect& rect, uint32_t stroke, uint32_t color);
  void drawTriangleRight(const RenderRect& rect, uint32_t color);
  void drawTriangleUp(const RenderRect& rect, uint32_t color);
  void drawTriangleDown(const RenderRect& rect, uint32_t color);
  void drawAntialiasedRect(float x, float y, float w, float h, uint32_t color);
  void drawPolyline(std::span<const PolylinePoint> points, float width, uint32_t color);
  void clearRect(const RenderRect& rect);
  void drawCheckerboard(const RenderRect& rect, int32_t cellSize, uint32_t color1, uint32_t color2);
  void drawCanvas(CanvasBitmap* image, int32_t x, int32_t y);
  void drawMask(CanvasBitmap* image, int32_t x, int32_t y, uint32_t color);
  void drawCanvasScaled(CanvasBitmap* image, const RenderRect& source, const RenderRect& dest);
  // Text emitters return the pen x after the text whether or not the command was recorded.
  int32_t drawGlyph(RenderFont* font, uint32_t glyphId, int32_t penX, int32_t y, uint32_t color);
  int32_t drawText(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color);
  int32_t drawTransientText(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color);
  int32_t drawTextCells(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color, int32_t cellWidth);

  // Text layout and measurement; references stay valid until the next call into the same cache.
  const TextLayout& layoutText(RenderFont* font, const char* text);
  int32_t cachedTextWidth(RenderFont* font, const char* text);
  int32_t textWidth(RenderFont* font, const char* text, int32_t x);
  int32_t measureTransientText(RenderFont* font, const char* text, int32_t x);
  const TextCellLayout& layoutTextCells(RenderFont* font, const char* text);
  int32_t textXOffset(RenderFont* font, const char* text, int32_t column);
  int32_t columnAtX(RenderFont* font, const char* text, int32_t x);
  std::vector<TextCluster> textClusters(RenderFont* font, const char* text);
  void perfStats(uint64_t* widthHits, uint64_t* widthMisses, uint64_t* runHits, uint64_t* runMisses) const;
  void resetPerfStats();

  // Frames.
  void beginFrame();
  void endFrame();
  void invalidateRect(const RenderRect& rect);
  void invalidateAll();
  // Keeps a font that is being released alive until the current frame ends.
  void releaseFont(std::shared_ptr<RenderFont> font);
  // Notes an image the frame draws (a record or an image placement points at it); a frame that cannot note
  // it is discarded.
  void noteFrameImage(const CanvasBitmap* image);
  // Keeps a share of an image that is being released until the frame ends, when the frame draws it; any
  // other is let go at once.
  void releaseImage(const std::shared_ptr<CanvasBitmap>& image);
  void setDebugView(bool on) { debugView_ = on; }
  const RenderRect& viewport() const { return viewport_; }

  // The steps of endFrame.
  void hashCommandsIntoCells();
  void markCells(const RenderRect& region, uint32_t hash);
  int32_t collectDirtyRects();
  void addDirtyRect(int32_t column, int32_t row, int32_t* count);
  void dirtyRectsToPixels(int32_t count);
  bool fullRedrawDue() const;
  void replay(int32_t count);
  void finishFrame();
  int32_t drawLayoutRuns(const TextLayout& layout, int32_t x, int32_t y, uint32_t color);
  const RenderRect& dirtyRect(int32_t index) const { return dirtyRects_[static_cast<size_t>(index)]; }
  uint32_t previousCellHash(int32_t index) const { return previousHashes_[index]; }

 private:
  // A record that covers cells, its covered region, its index in the frame and its hash.
  struct CellMark {
    const RenderCommand* command;
    RenderRect region;
    uint32_t record;
    uint32_t hash;
  };

  // Whether a command's bounds lie wholly outside the viewport (edges touching count as inside).
  bool culled(int64_t x, int64_t y, int64_t w, int64_t h) const {
    return x + w < viewport_.x || int64_t{viewport_.x} + viewport_.w < x || y + h < viewport_.y ||
           int64_t{viewport_.y} + viewport_.h < y;
  }
  unsigned char* reserveRecord(int32_t size);
  void discardFrame(const char* message);
  void forgetFrameImages();
  RenderCommand* allocateTextCommand(uint32_t type, std::string_view text);
  RenderCommand* recordShape(RenderCommandType type, const RenderRect& rect, uint32_t color);
  RenderCommand* recordImage(RenderCommandType type, const RenderRect& rect, uint32_t color, CanvasBitmap* image);
  bool growArena(int64_t bytesNeeded);
  uint32_t foldIdentities(const RenderCommand& command, uint32_t hash) const;
  void hashNewRecords();
  void foldMarksIntoCells();
  int32_t scannedColumns() const;
  int32_t scannedRows() const;
  int32_t dropEmptyDirtyRects(int32_t count);
  void replayCommand(const RenderCommand& command, const RenderRect& dirty, RenderRect* activeClip);
  void replayTextCommand(const RenderCommand& command, const RenderRect& activeClip);
  TextLayout& cachedLayout(RenderFont* font, const char* text, TextCacheSpot* spot);
  RenderCommand* recordText(RenderCommandType type, RenderFont* font, std::string_view text, int32_t x, int32_t y,
                            int64_t width, const GlyphInk& ink, uint32_t color);
  TextCellLayout& cellLayout(RenderFont* font, const char* text);
  int32_t measuredTextWidth(RenderFont* font, std::string_view text, TextCacheSpot* spot, GlyphInk* ink);
  void clearTextCaches();

  std::array<std::array<uint32_t, kCellCount>, 2> cellHashes_{};
  uint32_t* previousHashes_;
  uint32_t* currentHashes_;
  std::array<RenderRect, kCellCount> dirtyRects_{};
  std::vector<ArenaChunk> commandArena_;
  int32_t commandBytes_ = 0;
  bool frameOpen_ = false;               // between beginFrame and endFrame
  const char* discardReason_ = nullptr;  // set when a command is lost; the frame is dropped at its end
  RenderRect viewport_{0, 0, 0, 0};
  RenderRect clipRect_{0, 0, 0, 0};
  bool debugView_ = false;
  bool fullRedrawPending_ = true;
  std::vector<std::shared_ptr<RenderFont>> retainedFonts_;
  std::vector<std::shared_ptr<CanvasBitmap>> retainedImages_;
  // What the frame draws, so that releasing an image takes one lookup however many it draws; the last one
  // noted spares the lookup for a run of records of one image.
  std::unordered_set<const CanvasBitmap*> frameImages_;
  const CanvasBitmap* lastFrameImage_ = nullptr;
  std::vector<CellMark> cellMarks_;  // reused by every frame
  RecordHashMemo recordMemo_;
  std::vector<CellFold> cellFolds_;  // reused by every frame
  CellFoldMemo cellFoldMemo_;
  // A text's width and, once it was recorded, the ink it draws.
  struct TextExtent {
    uint32_t width;
    KnownInk ink;
  };
  TwoGenerationCache<TextExtent> widthCache_{4095};
  std::vector<TextCacheSpot> widthSpots_;  // where the n-th drawText of the last frame found its width
  size_t textsDrawn_ = 0;
  std::vector<TextCacheSpot> layoutSpots_;  // where the n-th text record of the last replay found its layout
  size_t textsReplayed_ = 0;
  TwoGenerationCache<TextLayout> layoutCache_{2047};
  TwoGenerationCache<TextCellLayout> cellCache_{2047};
  uint64_t widthCacheHits_ = 0;
  uint64_t widthCacheMisses_ = 0;
  uint64_t runCacheHits_ = 0;
  uint64_t runCacheMisses_ = 0;
  uint64_t svgGlyphGeneration_ = 0;  // of the SVG glyph results this window has drawn with
  WindowRenderer* windowRenderer_;
};
