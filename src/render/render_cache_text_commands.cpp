// The text and glyph commands: recording (the width is measured with the same cache key the replay lays
// the text out with) and their replay through the rasterizer's text primitives.
#include <algorithm>
#include <cstring>

#include "fonts/codepoints.h"
#include "fonts/render_font.h"
#include "render/pixel_ops.h"
#include "render/render_cache.h"

namespace {

// Longest text (with its NUL) a text record may carry.
constexpr size_t kMaxTextPayload = 0x7FFFFF9F;

}  // namespace

int32_t RenderCache::drawGlyph(RenderFont* font, uint32_t glyphId, int32_t penX, int32_t y, uint32_t color) {
  if (font == nullptr || glyphId == 0) return penX;
  const GlyphBitmapView view = font->glyphBitmapForGlyphId(glyphId);
  const int64_t boxX = int64_t{penX} + view.left;
  const int64_t boxY = int64_t{y} + view.topOffset;
  if (!culled(boxX, boxY, view.width, view.height)) {
    if (RenderCommand* command =
            allocateCommand(static_cast<uint32_t>(RenderCommandType::Glyph), RenderCommand::kHeaderSize)) {
      command->rect = {clampToInt32(boxX), clampToInt32(boxY), view.width, view.height};
      command->source = {penX, y, 0, 0};
      command->color = color;
      command->font = font;
      command->param = glyphId;
    }
  }
  return clampToInt32(int64_t{penX} + view.advance);
}

// `text` ends in a NUL, which the record keeps.
RenderCommand* RenderCache::recordText(RenderCommandType type, RenderFont* font, std::string_view text, int32_t x,
                                       int32_t y, int64_t width, uint32_t color) {
  const int32_t height = font->height();
  if (culled(x, y, width, height)) return nullptr;
  if (text.size() + 1 > kMaxTextPayload) return nullptr;
  RenderCommand* command = allocateTextCommand(static_cast<uint32_t>(type), text);
  if (command == nullptr) return nullptr;
  command->rect = {x, y, clampToInt32(width), height};
  command->color = color;
  command->font = font;
  return command;
}

int32_t RenderCache::drawText(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color) {
  if (font == nullptr || text == nullptr) return x;
  // A frame mostly repeats the last one, so the n-th text drawn is looked up where the last frame's was.
  if (textsDrawn_ == widthSpots_.size()) widthSpots_.emplace_back();
  const std::string_view bytes(text);
  const int64_t width = measuredTextWidth(font, bytes, &widthSpots_[textsDrawn_++]);
  if (RenderCommand* command = recordText(RenderCommandType::Text, font, bytes, x, y, width, color)) {
    command->tabWidth = static_cast<uint32_t>(font->tabWidth());
  }
  return clampToInt32(x + width);
}

int32_t RenderCache::drawTransientText(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color) {
  if (font == nullptr || text == nullptr) return x;
  const int64_t width = measureTransientText(font, text, 0);
  if (RenderCommand* command = recordText(RenderCommandType::TransientText, font, text, x, y, width, color)) {
    command->tabWidth = static_cast<uint32_t>(font->tabWidth());
  }
  return clampToInt32(x + width);
}

int32_t RenderCache::drawTextCells(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color,
                                   int32_t cellWidth) {
  if (font == nullptr || text == nullptr) return x;
  const int64_t count = layoutTextCells(font, text).cellCount;
  const int64_t width = std::min<int64_t>(int64_t{std::max(0, cellWidth)} * count, 2147483647);
  if (RenderCommand* command = recordText(RenderCommandType::TextCells, font, text, x, y, width, color)) {
    command->param = static_cast<uint32_t>(cellWidth);
  }
  return clampToInt32(x + width);
}

int32_t RenderCache::drawLayoutRuns(const TextLayout& layout, int32_t x, int32_t y, uint32_t color) {
  return drawLayoutRuns(layout, x, y, color, nullptr);
}

int32_t RenderCache::drawLayoutRuns(const TextLayout& layout, int32_t x, int32_t y, uint32_t color,
                                    GlyphRowSpan* rows) {
  int32_t pen = x;
  for (const TextRun& run : layout.runs) {
    pen = run.glyphs.empty() ? windowRenderer_->drawCodepointRun(run.codepoints, pen, y, color, rows)
                             : windowRenderer_->drawShapedRun(run.glyphs, pen, y, color, rows);
  }
  return pen;
}

// Draws a cached layout, skipping it when the rows its glyphs cover miss the clip; the first drawing
// learns those rows.
void RenderCache::replayLayout(TextLayout& layout, const RenderRect& rect, uint32_t color,
                               const RenderRect& activeClip) {
  TextInk& ink = layout.ink;
  if (ink.known) {
    if (rect.y + ink.bottom <= activeClip.y || rect.y + ink.top >= int64_t{activeClip.y} + activeClip.h) return;
    drawLayoutRuns(layout, rect.x, rect.y, color, nullptr);
    return;
  }
  GlyphRowSpan rows;
  drawLayoutRuns(layout, rect.x, rect.y, color, &rows);
  if (!rows.settled) return;
  ink = rows.top <= rows.bottom ? TextInk{rows.top, rows.bottom, true} : TextInk{0, 0, true};
}

void RenderCache::replayTextCommand(const RenderCommand& command, const RenderRect& activeClip) {
  // The n-th text of a walk is looked up where the last walk found it (the spot is taken even when skipped).
  TextCacheSpot* spot = nullptr;
  if (command.type == static_cast<uint32_t>(RenderCommandType::Text)) {
    if (textsReplayed_ == layoutSpots_.size()) layoutSpots_.emplace_back();
    spot = &layoutSpots_[textsReplayed_++];
  }
  RenderFont* font = command.font;
  if (font == nullptr) return;
  // Glyphs may overhang their line box a little; text farther than a line height from the clip cannot
  // reach it, and skipping it spares laying it out again.
  const int64_t margin = std::max(font->height(), 0);
  const RenderRect reach{clampToInt32(command.rect.x - margin), clampToInt32(command.rect.y - margin),
                         clampToInt32(command.rect.w + 2 * margin), clampToInt32(command.rect.h + 2 * margin)};
  if (!rectsTouch(reach, activeClip)) return;
  const char* text = command.payloadText();
  const RenderRect& rect = command.rect;
  switch (static_cast<RenderCommandType>(command.type)) {
    case RenderCommandType::Text:
      font->setTabSize(static_cast<int32_t>(command.tabWidth));
      replayLayout(cachedLayout(font, text, spot), rect, command.color, activeClip);
      break;
    case RenderCommandType::Glyph:
      windowRenderer_->drawGlyph(font, command.param, command.source.x, command.source.y, command.color);
      break;
    case RenderCommandType::TextCells:
      windowRenderer_->drawTextCells(layoutTextCells(font, text).cells, rect.x, rect.y, command.color,
                                     static_cast<int32_t>(command.param));
      break;
    case RenderCommandType::TransientText:
      font->setTabSize(static_cast<int32_t>(command.tabWidth));
      if (textMayNeedShaping(text)) {
        drawLayoutRuns(buildTextRuns(font, text), rect.x, rect.y, command.color);
      } else {
        windowRenderer_->drawUtf8Text(font, text, rect.x, rect.y, command.color);
      }
      break;
    default:
      break;
  }
}
