// RenderCache construction, the command arena and the objects kept alive until a frame ends.
#include "render/render_cache.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "fonts/render_font.h"

namespace {

constexpr int64_t kChunkBytes = 32;

}  // namespace

RenderCache::RenderCache(WindowRenderer* windowRenderer)
    : previousHashes_(cellHashes_[0].data()),
      currentHashes_(cellHashes_[1].data()),
      commandArena_(static_cast<size_t>(kInitialArenaBytes / kChunkBytes)),
      recordMemo_(static_cast<size_t>(kInitialArenaBytes / kChunkBytes)),
      windowRenderer_(windowRenderer) {}

RenderCache::~RenderCache() = default;

RenderCommand* RenderCache::allocateCommand(uint32_t type, int32_t size) {
  const int64_t rounded = (int64_t{size} + 7) & ~int64_t{7};
  unsigned char* start = reserveRecord(size);
  if (start == nullptr) return nullptr;
  std::memset(start, 0, static_cast<size_t>(rounded));
  auto* command = reinterpret_cast<RenderCommand*>(start);
  command->type = type;
  command->size = static_cast<uint32_t>(rounded);
  return command;
}

// A text record zeroes only its header and the padding after the text, which the copy does not cover.
RenderCommand* RenderCache::allocateTextCommand(uint32_t type, std::string_view text) {
  const int64_t size = RenderCommand::kHeaderSize + static_cast<int64_t>(text.size()) + 1;
  if (size > INT32_MAX) return nullptr;
  const int64_t rounded = (size + 7) & ~int64_t{7};
  unsigned char* start = reserveRecord(static_cast<int32_t>(size));
  if (start == nullptr) return nullptr;
  auto* command = new (start) RenderCommand{};
  command->type = type;
  command->size = static_cast<uint32_t>(rounded);
  std::memset(start + rounded - 8, 0, 8);
  std::memcpy(command->payload(), text.data(), text.size() + 1);
  return command;
}

// One warning per frame: once the frame is lost, further commands that do not fit change nothing.
void RenderCache::discardFrame(const char* message) {
  if (discardReason_ != nullptr) return;
  std::fprintf(stderr, "Warning: (%s): %s\n", __FILE__, message);
  discardReason_ = message;
}

// Room for a record of `size` bytes at the end of the arena, or null (the frame is then discarded). Outside
// a frame nothing is recorded: no frame would ever replay it, and the next one must not.
unsigned char* RenderCache::reserveRecord(int32_t size) {
  if (size < RenderCommand::kHeaderSize || !frameOpen_) return nullptr;
  const int64_t rounded = (int64_t{size} + 7) & ~int64_t{7};
  const int64_t bytesNeeded = commandBytes_ + rounded;
  const int64_t arenaBytes = static_cast<int64_t>(commandArena_.size()) * kChunkBytes;
  if (bytesNeeded > arenaBytes) {
    if (bytesNeeded > kArenaLimit) {
      discardFrame("render command limit exceeded; frame discarded");
      return nullptr;
    }
    if (!growArena(bytesNeeded)) {
      discardFrame("render command allocation failed; frame discarded");
      return nullptr;
    }
  }
  unsigned char* start = reinterpret_cast<unsigned char*>(commandArena_.data()) + commandBytes_;
  commandBytes_ = static_cast<int32_t>(bytesNeeded);
  return start;
}

bool RenderCache::growArena(int64_t bytesNeeded) {
  const int64_t current = static_cast<int64_t>(commandArena_.size()) * kChunkBytes;
  const int64_t target = std::min(std::max(2 * current, bytesNeeded), kArenaLimit);
  try {
    commandArena_.resize(static_cast<size_t>((target + kChunkBytes - 1) / kChunkBytes));
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

bool RenderCache::nextCommand(const RenderCommand*& cursor) const {
  const auto* base = reinterpret_cast<const unsigned char*>(commandArena_.data());
  if (cursor == nullptr) {
    cursor = reinterpret_cast<const RenderCommand*>(base);
  } else {
    cursor = reinterpret_cast<const RenderCommand*>(reinterpret_cast<const unsigned char*>(cursor) + cursor->size);
  }
  return reinterpret_cast<const unsigned char*>(cursor) < base + commandBytes_;
}

void RenderCache::releaseFont(std::shared_ptr<RenderFont> font) {
  if (!font) return;
  clearTextCaches();  // their keys hold raw font pointers
  retainedFonts_.push_back(std::move(font));
}

void RenderCache::releaseImage(const std::shared_ptr<CanvasBitmap>& image) {
  if (!image) return;
  if (frameImages_.contains(image.get())) retainedImages_.push_back(image);
}
