// When canvas pixels call for a collection. A canvas's pixels live outside Lua's allocator, so the collector's
// own pace never sees them: a loop that drops one large canvas per turn would grow without bound while the
// heap stays tiny. The pace counts the bytes of the canvases that Lua has not yet collected and asks for a
// full collection once they pass a threshold; after it, the threshold is what survived plus as much again
// as survived (pixels and heap), and never less than kLeastGarbage, so the work of collecting is paid for by
// at least as many bytes of new canvases as the collection had to look at.
#pragma once

#include <algorithm>
#include <cstdint>

class CanvasMemoryPace {
 public:
  static constexpr uint64_t kLeastGarbage = uint64_t{64} << 20;

  // Counts a new canvas's bytes; true when a full collection is due.
  bool charge(uint64_t bytes) {
    live_ += bytes;
    return live_ > threshold_;
  }
  // Uncounts a collected canvas's bytes (never below nothing).
  void release(uint64_t bytes) { live_ -= std::min(live_, bytes); }
  // After a full collection, with the bytes of Lua's heap that survived it.
  void collected(uint64_t heapBytes) { threshold_ = live_ + std::max(kLeastGarbage, live_ + heapBytes); }

  uint64_t liveBytes() const { return live_; }
  uint64_t threshold() const { return threshold_; }

 private:
  uint64_t live_ = 0;
  uint64_t threshold_ = kLeastGarbage;
};
