// The SVG glyph worker with stub bodies: the 256-job limit, results applied to waiting entries only, faces
// dropped while their glyph renders, wake-up events for the main window, and shutdown.
#include "fonts/svg_glyph_worker.h"

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "font_test_support.h"
#include "host/process_state.h"

namespace {

using fonttest::FontTest;

// Holds bodies until it opens.
class Gate {
 public:
  void wait() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    opened_.wait(lock, [this] { return open_; });
  }
  // How many bodies came to the gate.
  int waiting() {
    const std::lock_guard lock(mutex_);
    return waiting_;
  }
  void open() {
    {
      const std::lock_guard lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  int waiting_ = 0;
};

// A job for the entry of `codepoint` whose body waits at `gate` (when given) and renders a 2 x 1 bitmap,
// or fails.
SvgGlyphJob stubJob(const std::shared_ptr<RenderFont>& face, uint32_t codepoint, bool succeeds, Gate* gate = nullptr) {
  SvgGlyphJob job;
  job.result.face = face;
  job.result.codepoint = codepoint;
  job.font = face != nullptr ? svgGlyphFontKey(*face) : 0;
  job.body = [face, codepoint, succeeds, gate](FT_LibraryRec_*) {
    if (gate != nullptr) gate->wait();
    SvgGlyphResult result;
    result.face = face;
    result.codepoint = codepoint;
    result.succeeded = succeeds ? 1 : 0;
    result.width = 2;
    result.height = 1;
    result.top = 7;
    result.pixels = {0xFF0000FFu, 0x8000FF00u};
    return result;
  };
  return job;
}

// Applies results until nothing is pending; true when any settled an entry. `applyingCalls` counts the calls
// that settled one, since the results may arrive over several of them.
bool settle(AsyncSvgGlyphWorker& worker, uint64_t* applyingCalls = nullptr) {
  uint64_t applied = 0;
  while (worker.hasPendingGlyphs()) {
    applied += worker.applyFinished() ? 1 : 0;
    std::this_thread::yield();
  }
  applied += worker.applyFinished() ? 1 : 0;
  if (applyingCalls != nullptr) *applyingCalls = applied;
  return applied != 0;
}

GlyphMetricEntry& waitingEntry(RenderFont& font, uint32_t codepoint) {
  GlyphMetricEntry& entry = font.glyphMetrics(codepoint);
  entry.bitmapUnavailable = 1;
  return entry;
}

// Applies results until `entry` settles with a colour bitmap, while other jobs may still wait; false when it
// has not by `giveUp`.
bool settlesWhileOthersWait(AsyncSvgGlyphWorker& worker, const GlyphMetricEntry& entry,
                            std::chrono::steady_clock::time_point giveUp) {
  while (!entry.bitmapSettled && std::chrono::steady_clock::now() < giveUp) {
    worker.applyFinished();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return entry.bitmapSettled && entry.colour;
}

TEST_F(FontTest, SvgGlyphWorker_RefusesThe257thOutstandingJob) {
  AsyncSvgGlyphWorker worker;
  Gate gate;
  std::shared_ptr<RenderFont> none;
  for (size_t i = 0; i < AsyncSvgGlyphWorker::kRingSlots; ++i)
    ASSERT_TRUE(worker.enqueue(stubJob(none, 65, true, &gate)));
  EXPECT_FALSE(worker.enqueue(stubJob(none, 65, true)));
  EXPECT_TRUE(worker.hasPendingGlyphs());
  gate.open();
  EXPECT_FALSE(settle(worker)) << "results without a face settle nothing";
  EXPECT_TRUE(worker.enqueue(stubJob(none, 65, true)));
  EXPECT_FALSE(settle(worker));
  EXPECT_EQ(worker.appliedGeneration(), 0u);
}

TEST_F(FontTest, SvgGlyphWorker_AppliesResultsOnlyToWaitingEntries) {
  auto font = loadOrFail(fonttest::kSansMono, 14);
  GlyphMetricEntry& stored = waitingEntry(*font, 'A');
  GlyphMetricEntry& failed = waitingEntry(*font, 'B');
  GlyphMetricEntry& settled = font->glyphMetrics('C');
  AsyncSvgGlyphWorker worker;
  EXPECT_FALSE(worker.applyFinished()) << "nothing finished yet";
  ASSERT_TRUE(worker.enqueue(stubJob(font, 'A', true)));
  ASSERT_TRUE(worker.enqueue(stubJob(font, 'B', false)));
  ASSERT_TRUE(worker.enqueue(stubJob(font, 'C', true)));
  ASSERT_TRUE(worker.enqueue(stubJob(font, 0x10FFFF, true)));  // an entry that never waited
  uint64_t applyingCalls = 0;
  EXPECT_TRUE(settle(worker, &applyingCalls));  // with no main window there is no wake-up, and results still apply
  EXPECT_EQ(worker.appliedGeneration(), applyingCalls) << "one generation per call that settled an entry";

  EXPECT_TRUE(stored.bitmapSettled && !stored.bitmapUnavailable && !stored.missing && stored.colour);
  const GlyphBitmapView view = font->glyphBitmapForCodepoint('A');
  ASSERT_TRUE(view.hasBitmap && view.colour);
  EXPECT_EQ(view.image->pixels[view.atlasY * static_cast<size_t>(view.image->width) + view.atlasX + 1], 0x8000FF00u);
  EXPECT_EQ(view.topOffset, font->baseline() - 7);
  EXPECT_TRUE(failed.bitmapSettled && failed.missing && !failed.bitmapUnavailable);
  EXPECT_FALSE(settled.colour) << "a result for an entry that does not wait is dropped";
}

TEST_F(FontTest, SvgGlyphWorker_FaceDroppedMidJobGoesOnTheMainThread) {
  auto font = loadOrFail(fonttest::kSansMono, 14);
  waitingEntry(*font, 'A');
  const std::weak_ptr<RenderFont> watch = font;
  AsyncSvgGlyphWorker worker;
  Gate gate;
  std::atomic<bool> returned{false};
  SvgGlyphJob job = stubJob(font, 'A', true, &gate);
  job.body = [body = std::move(job.body), &returned](FT_LibraryRec_* library) {
    SvgGlyphResult result = body(library);
    returned = true;
    return result;
  };
  ASSERT_TRUE(worker.enqueue(std::move(job)));
  font.reset();
  gate.open();
  while (!returned) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(watch.expired()) << "the spent body waits with its result for the main thread";
  EXPECT_FALSE(settle(worker)) << "the face is gone, so is its result";
  EXPECT_TRUE(watch.expired());
}

// One font whose glyphs all take long leaves a thread to the others: a glyph of another font queued behind
// eight slow ones is drawn while they still wait.
TEST_F(FontTest, SvgGlyphWorker_ASlowFontLeavesAThreadToTheOthers) {
  auto slow = loadOrFail(fonttest::kSansMono, 14);
  auto ordinary = loadOrFail(fonttest::kSans, 15);
  for (uint32_t codepoint = 'a'; codepoint < 'a' + 8; ++codepoint) waitingEntry(*slow, codepoint);
  GlyphMetricEntry& drawn = waitingEntry(*ordinary, 'A');
  AsyncSvgGlyphWorker worker;
  Gate gate;
  for (uint32_t codepoint = 'a'; codepoint < 'a' + 8; ++codepoint) {
    ASSERT_TRUE(worker.enqueue(stubJob(slow, codepoint, true, &gate)));
  }
  ASSERT_TRUE(worker.enqueue(stubJob(ordinary, 'A', true)));
  EXPECT_TRUE(settlesWhileOthersWait(worker, drawn, std::chrono::steady_clock::now() + std::chrono::seconds(10)));
  gate.open();
  settle(worker);
  EXPECT_TRUE(slow->glyphMetrics('h').bitmapSettled);
}

// A font drawn at two sizes is one font: while its slow glyphs at one size take three threads, its glyphs at
// the other wait for them, and the fourth thread draws another font's glyph at once.
TEST_F(FontTest, SvgGlyphWorker_ASlowFontAtTwoSizesLeavesAThreadToTheOthers) {
  auto small = loadOrFail(fonttest::kSansMono, 14);
  auto large = loadOrFail(fonttest::kSansMono, 28);
  auto ordinary = loadOrFail(fonttest::kSans, 15);
  for (uint32_t codepoint = 'a'; codepoint < 'a' + 4; ++codepoint) {
    waitingEntry(*small, codepoint);
    waitingEntry(*large, codepoint);
  }
  GlyphMetricEntry& drawn = waitingEntry(*ordinary, 'A');
  AsyncSvgGlyphWorker worker;
  Gate gate;
  for (uint32_t codepoint = 'a'; codepoint < 'a' + 4; ++codepoint) {
    ASSERT_TRUE(worker.enqueue(stubJob(small, codepoint, true, &gate)));
  }
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (gate.waiting() < 3 && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
  ASSERT_EQ(gate.waiting(), 3);
  for (uint32_t codepoint = 'a'; codepoint < 'a' + 4; ++codepoint) {
    ASSERT_TRUE(worker.enqueue(stubJob(large, codepoint, true, &gate)));
  }
  ASSERT_TRUE(worker.enqueue(stubJob(ordinary, 'A', true)));
  EXPECT_TRUE(settlesWhileOthersWait(worker, drawn, giveUp));
  EXPECT_EQ(gate.waiting(), 3) << "no fourth glyph of the slow font runs";
  gate.open();
  settle(worker);
  EXPECT_TRUE(small->glyphMetrics('d').bitmapSettled && large->glyphMetrics('d').bitmapSettled);
}

TEST_F(FontTest, SvgGlyphWorker_WakesTheMainWindowOncePerJob) {
  ASSERT_TRUE(SDL_InitSubSystem(SDL_INIT_EVENTS));
  const uint32_t type = SDL_RegisterEvents(1);
  setWakeUpEventType(type);
  setMainWindowSdlId(77);
  {
    AsyncSvgGlyphWorker worker;
    std::shared_ptr<RenderFont> none;
    ASSERT_TRUE(worker.enqueue(stubJob(none, 65, true)));
    ASSERT_TRUE(worker.enqueue(stubJob(none, 66, false)));
    settle(worker);
  }
  setMainWindowSdlId(0);
  setWakeUpEventType(0);
  int wakeUps = 0;
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    if (event.type != type) continue;
    EXPECT_EQ(event.user.windowID, 77u);
    ++wakeUps;
  }
  EXPECT_EQ(wakeUps, 2);
  SDL_QuitSubSystem(SDL_INIT_EVENTS);
}

TEST_F(FontTest, SvgGlyphWorker_ShutdownDropsWorkAndRefusesMore) {
  auto font = loadOrFail(fonttest::kSansMono, 14);
  const std::weak_ptr<RenderFont> watch = font;
  GlyphMetricEntry& entry = waitingEntry(*font, 'A');
  AsyncSvgGlyphWorker worker;
  Gate gate;
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(worker.enqueue(stubJob(font, 'A', true, &gate)));
  std::thread opener([&gate] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gate.open();
  });
  worker.shutdown();  // the running bodies finish; their results and the queued jobs are dropped
  opener.join();
  worker.shutdown();
  EXPECT_FALSE(worker.hasPendingGlyphs());
  EXPECT_FALSE(worker.enqueue(stubJob(font, 'A', true)));
  EXPECT_FALSE(worker.applyFinished());
  EXPECT_TRUE(entry.bitmapUnavailable);
  font.reset();
  EXPECT_TRUE(watch.expired()) << "no job holds the face after shutdown";
}

}  // namespace
