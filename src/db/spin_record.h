// Whether spinning pays for one side of a database worker's hand-off, learned from its own spins. A spin pays
// only while the other side runs at the same time on another processor; on a machine whose processors are
// all busy the other side often has none, and a spin in vain costs its whole window and keeps a processor
// from the very thread it waits for. So a side spins while most of its recent spins found what they waited
// for, and otherwise only now and then, to notice when spinning pays again.
#pragma once

#include <atomic>

class SpinRecord {
 public:
  // Whether this wait should spin before it sleeps.
  bool shouldSpin() {
    if (payRate_.load(std::memory_order_relaxed) >= kPaysEnough) return true;
    // One wait in kProbeInterval, spread by a multiplicative hash: a fixed stride would land on the same wait
    // of a script's regular run of them each time (the larger query after seven small ones) and, if that one
    // does not pay, never spin again.
    const unsigned drawn = skipped_.fetch_add(1, std::memory_order_relaxed) * kSpread;
    return drawn < ~0u / kProbeInterval;
  }
  // Each spin moves the rate an eighth of the way to all (it found what it waited for) or none.
  void record(bool paid) {
    const int rate = payRate_.load(std::memory_order_relaxed);
    payRate_.store(paid ? rate + (kAll - rate + 7) / 8 : rate - (rate + 7) / 8, std::memory_order_relaxed);
  }

 private:
  static constexpr int kAll = 256;
  // A vain spin costs about as much as a paid one saves (a wake-up on another processor), so spinning pays
  // while clearly more spins pay than not.
  static constexpr int kPaysEnough = 192;
  static constexpr unsigned kProbeInterval = 64;
  static constexpr unsigned kSpread = 2654435769u;  // 2^32 over the golden ratio

  std::atomic<int> payRate_{kAll};  // the share of recent spins that paid, in 1/kAll
  std::atomic<unsigned> skipped_{0};
};
