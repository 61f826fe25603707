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

// The box a text record's glyphs reach: its line box and its ink, which marks stacked above the line or
// glyphs of a fallback face may carry beyond it. The ink box is kept in `source`, which text records do not
// otherwise use, so that a record says where it draws.
RenderRect textReach(const RenderCommand& command) {
  const auto type = static_cast<RenderCommandType>(command.type);
  const bool text = type == RenderCommandType::Text || type == RenderCommandType::TransientText ||
                    type == RenderCommandType::TextCells;
  if (!text || command.source.w <= 0 || command.source.h <= 0) return command.rect;
  return uniteRects(command.rect, command.source);
}

// `text` ends in a NUL, which the record keeps. `ink` is the glyphs' box from (x, y).
RenderCommand* RenderCache::recordText(RenderCommandType type, RenderFont* font, std::string_view text, int32_t x,
                                       int32_t y, int64_t width, const GlyphInk& ink, uint32_t color) {
  const int32_t height = font->height();
  const RenderRect inkBox = ink.empty()
                                ? RenderRect{0, 0, 0, 0}
                                : RenderRect{clampToInt32(x + ink.left), clampToInt32(y + ink.top),
                                             clampToInt32(ink.right - ink.left), clampToInt32(ink.bottom - ink.top)};
  const RenderRect line{x, y, clampToInt32(width), height};
  const RenderRect reach = inkBox.w > 0 ? uniteRects(line, inkBox) : line;
  if (culled(reach.x, reach.y, reach.w, reach.h)) return nullptr;
  if (text.size() + 1 > kMaxTextPayload) return nullptr;
  RenderCommand* command = allocateTextCommand(static_cast<uint32_t>(type), text);
  if (command == nullptr) return nullptr;
  command->rect = line;
  command->source = inkBox;
  command->color = color;
  command->font = font;
  return command;
}

int32_t RenderCache::drawText(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color) {
  if (font == nullptr || text == nullptr) return x;
  // A frame mostly repeats the last one, so the n-th text drawn is looked up where the last frame's was.
  if (textsDrawn_ == widthSpots_.size()) widthSpots_.emplace_back();
  const std::string_view bytes(text);
  GlyphInk ink;
  const int64_t width = measuredTextWidth(font, bytes, &widthSpots_[textsDrawn_++], &ink);
  if (RenderCommand* command = recordText(RenderCommandType::Text, font, bytes, x, y, width, ink, color)) {
    command->tabWidth = static_cast<uint32_t>(font->tabWidth());
  }
  return clampToInt32(x + width);
}

int32_t RenderCache::drawTransientText(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color) {
  if (font == nullptr || text == nullptr) return x;
  int64_t width = 0;
  GlyphInk ink;
  if (textMayNeedShaping(text)) {
    const TextLayout layout = buildTextRuns(font, text);
    width = layout.width;
    ink = windowRenderer_->inkOfRuns(layout);
  } else {
    width = font->textWidth(text);
    ink = windowRenderer_->inkOfUtf8Text(font, text);
  }
  if (RenderCommand* command = recordText(RenderCommandType::TransientText, font, text, x, y, width, ink, color)) {
    command->tabWidth = static_cast<uint32_t>(font->tabWidth());
  }
  return clampToInt32(x + width);
}

int32_t RenderCache::drawTextCells(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color,
                                   int32_t cellWidth) {
  if (font == nullptr || text == nullptr) return x;
  TextCellLayout& cells = cellLayout(font, text);
  const int64_t width = std::min<int64_t>(int64_t{std::max(0, cellWidth)} * cells.cellCount, 2147483647);
  if (!cells.ink.known || cells.inkCellWidth != cellWidth) {
    cells.ink = {windowRenderer_->inkOfTextCells(cells.cells, cellWidth), true};
    cells.inkCellWidth = cellWidth;
  }
  if (RenderCommand* command =
          recordText(RenderCommandType::TextCells, font, text, x, y, width, cells.ink.ink, color)) {
    command->param = static_cast<uint32_t>(cellWidth);
  }
  return clampToInt32(x + width);
}

int32_t RenderCache::drawLayoutRuns(const TextLayout& layout, int32_t x, int32_t y, uint32_t color) {
  int32_t pen = x;
  for (const TextRun& run : layout.runs) {
    pen = run.glyphs.empty() ? windowRenderer_->drawCodepointRun(run.codepoints, pen, y, color)
                             : windowRenderer_->drawShapedRun(run.glyphs, pen, y, color);
  }
  return pen;
}

void RenderCache::replayTextCommand(const RenderCommand& command, const RenderRect& activeClip) {
  // The n-th text of a walk is looked up where the last walk found it (the spot is taken even when skipped).
  TextCacheSpot* spot = nullptr;
  if (command.type == static_cast<uint32_t>(RenderCommandType::Text)) {
    if (textsReplayed_ == layoutSpots_.size()) layoutSpots_.emplace_back();
    spot = &layoutSpots_[textsReplayed_++];
  }
  RenderFont* font = command.font;
  // A text none of whose glyphs reaches the clip is not laid out again.
  if (font == nullptr || !rectsTouch(textReach(command), activeClip)) return;
  const char* text = command.payloadText();
  const RenderRect& rect = command.rect;
  switch (static_cast<RenderCommandType>(command.type)) {
    case RenderCommandType::Text:
      font->setTabSize(static_cast<int32_t>(command.tabWidth));
      drawLayoutRuns(cachedLayout(font, text, spot), rect.x, rect.y, command.color);
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
