// When canvas pixels call for a full collection: past 64 MiB at first, then past what survived the last
// collection plus as much again (pixels and heap).
#include "ui/lua/canvas_memory_pace.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

TEST(CanvasMemoryPace, TheFirstCollectionComesOnceCanvasesPass64MiB) {
  CanvasMemoryPace pace;
  EXPECT_FALSE(pace.charge(63 * kMiB));
  EXPECT_FALSE(pace.charge(kMiB)) << "exactly 64 MiB";
  EXPECT_TRUE(pace.charge(1));
  EXPECT_EQ(pace.liveBytes(), 64 * kMiB + 1);
}

TEST(CanvasMemoryPace, AfterACollectionTheGarbageAllowedIsWhatSurvivedAndAtLeast64MiB) {
  const struct {
    uint64_t survived, heap, threshold;
  } cases[] = {
      {0, 0, 64 * kMiB},                     // nothing survived: the least garbage
      {64 * kMiB, 0, 128 * kMiB},            // one 64 MiB canvas kept: another may wait
      {10 * kMiB, 20 * kMiB, 74 * kMiB},     // less than 64 MiB survived: the least garbage still
      {200 * kMiB, 100 * kMiB, 500 * kMiB},  // a large heap waits for as many bytes of canvases
  };
  for (const auto& c : cases) {
    CanvasMemoryPace pace;
    pace.charge(c.survived);
    pace.collected(c.heap);
    EXPECT_EQ(pace.threshold(), c.threshold) << c.survived / kMiB << " MiB survived";
    EXPECT_FALSE(pace.charge(c.threshold - c.survived)) << "up to the threshold";
    EXPECT_TRUE(pace.charge(1)) << "past it";
  }
}

TEST(CanvasMemoryPace, ReleasingCountsDownToNothingAndNeverBelow) {
  CanvasMemoryPace pace;
  pace.charge(100);
  pace.charge(50);
  pace.release(100);
  EXPECT_EQ(pace.liveBytes(), 50u);
  pace.release(80);
  EXPECT_EQ(pace.liveBytes(), 0u);
  EXPECT_FALSE(pace.charge(64 * kMiB)) << "what was released no longer counts";
}

}  // namespace
