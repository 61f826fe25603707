// Whether a side of the worker's hand-off spins: it stops once its spins stop paying, and spins again once
// they pay, whichever of a script's regular waits the look now and then falls on.
#include "db/spin_record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A wait of a run of waits in which one in every `period`, at `slow`, does not end within a spin, as a loop
// of seven point queries and one larger query gives.
bool paysAt(int wait, int period, int slow) { return wait % period != slow; }

// After a busy spell in which no spin paid, waits whose spins would mostly pay: the record spins again within
// a few hundred looks, whatever the period of the waits that do not pay and wherever they fall.
TEST(SpinRecordTest, SpinsAgainOnceMostSpinsWouldPayWhereverTheWaitsThatDoNotFall) {
  for (const int period : {8, 16, 64}) {
    for (int slow = 0; slow < period; ++slow) {
      SpinRecord record;
      for (int wait = 0; wait < 1000; ++wait) {
        if (record.shouldSpin()) record.record(false);
      }
      int spinsAtTheEnd = 0;
      constexpr int kWaits = 64 * 400;
      constexpr int kEnd = 1000;
      for (int wait = 0; wait < kWaits; ++wait) {
        if (!record.shouldSpin()) continue;
        record.record(paysAt(wait, period, slow));
        if (wait >= kWaits - kEnd) ++spinsAtTheEnd;
      }
      EXPECT_GT(spinsAtTheEnd, kEnd / 2) << "one in " << period << " at " << slow << " does not pay";
    }
  }
}

// Spins that pay keep it spinning; spins in vain stop it, but for a look now and then.
TEST(SpinRecordTest, SpinsWhileSpinsPayAndRarelyOnceTheyDoNot) {
  SpinRecord record;
  for (int wait = 0; wait < 1000; ++wait) {
    ASSERT_TRUE(record.shouldSpin()) << wait;
    record.record(true);
  }
  int spins = 0;
  for (int wait = 0; wait < 64 * 100; ++wait) {
    if (!record.shouldSpin()) continue;
    ++spins;
    record.record(false);
  }
  EXPECT_LT(spins, 2 * 100 + 10);
  EXPECT_GT(spins, 100 / 2);
}

}  // namespace
