// The asynchronous SVG glyph worker: one process-wide pool of four threads, each with its own FreeType
// library, that renders the SVG documents of colour glyphs so that the main thread never does. At most 256
// jobs are outstanding (queued, running, or finished and waiting in the result ring); a glyph that finds no
// room is deferred and asks again in a later frame. A thread takes the queued job of the font with the fewest
// jobs running (the oldest among equals), and no font has more than three running whatever sizes its faces
// draw it at, so that a font whose glyphs each take the render process's whole time limit leaves a thread to
// the other fonts. Each finished job
// pushes one wake-up event carrying the main window's SDL id; the main thread applies the results to their
// glyph entries when a frame begins, and every window redraws once any was applied.
//
// Threads: enqueue, applyFinished, hasPendingGlyphs and shutdown run on the main thread, job bodies on the
// workers. One mutex guards the queue, the ring and the counters; it is never held while a body runs or a
// glyph entry changes. A job's body may hold the last reference to its face: bodies are destroyed on the
// main thread only (by applyFinished or shutdown), so a face's FreeType objects, which belong to the main
// thread's library, are never released on a worker.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class RenderFont;
struct FT_LibraryRec_;

// A rendered glyph for the entry of `codepoint` (or, byGlyphId, of `glyphId`) of a face.
struct SvgGlyphResult {
  std::weak_ptr<RenderFont> face;
  uint32_t codepoint = 0;
  uint32_t glyphId = 0;
  uint8_t byGlyphId = 0;
  uint8_t succeeded = 0;
  int32_t left = 0;
  int32_t top = 0;  // above the baseline
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;  // width x height, bytes B, G, R, A, rows packed
};

// Renders on a worker with that worker's FreeType library (null when the worker could not make one).
using SvgGlyphBody = std::function<SvgGlyphResult(FT_LibraryRec_* library)>;

// A job: the entry it fills and the body that renders it. A job without a body yields its own fields.
struct SvgGlyphJob {
  SvgGlyphResult result;
  SvgGlyphBody body;
  size_t font = 0;  // svgGlyphFontKey of the job's face: the faces of one font file at every size share it
};

// What the workers tell fonts apart by: the font's file, whatever size a face draws it at.
size_t svgGlyphFontKey(const RenderFont& face);

class AsyncSvgGlyphWorker {
 public:
  static constexpr size_t kThreadCount = 4;
  static constexpr size_t kRingSlots = 256;

  AsyncSvgGlyphWorker();
  // Shuts down when shutdown was not called.
  ~AsyncSvgGlyphWorker();
  AsyncSvgGlyphWorker(const AsyncSvgGlyphWorker&) = delete;
  AsyncSvgGlyphWorker& operator=(const AsyncSvgGlyphWorker&) = delete;

  // The process-wide worker, made on first use (after the shared FreeType library, which it outlives).
  static AsyncSvgGlyphWorker& instance();
  // Shuts the process-wide worker down if it was ever made. Start-up's teardown calls it before the
  // application, SDL and the FreeType library go.
  static void shutdownInstance();

  // Queues a job, starting the four threads on the first; false when stopping, when 256 jobs are
  // outstanding, or when a thread cannot be started.
  bool enqueue(SvgGlyphJob job);
  // True, and noted, when 256 jobs are outstanding (and the worker is not stopping): the glyph that asks
  // finds no room this frame and asks again in a later one.
  bool deferIfFull();
  // Applies every finished result to its face's waiting entry; true when at least one entry was settled, or
  // when glyphs were deferred and there is room again, so that the frame draws them and they ask again.
  bool applyFinished();
  // Anything queued, running, finished and not yet applied, or deferred for want of room.
  bool hasPendingGlyphs() const;
  // Counts the calls of applyFinished that settled an entry: a window that last drew at another count
  // redraws everything.
  uint64_t appliedGeneration() const { return appliedGeneration_; }
  // Stops the threads (each finishes the body it runs; results of stopping threads are dropped), joins
  // them and frees everything still held. Idempotent; later jobs are refused.
  void shutdown();

 private:
  struct Finished {
    SvgGlyphResult result;
    SvgGlyphBody spentBody;  // destroyed on the main thread
  };

  bool ensureStarted();
  void run();
  // The queued job to run next, or the queue's end when every queued job waits for its face.
  std::deque<SvgGlyphJob>::iterator nextJob();
  size_t runningOf(size_t font) const;
  size_t outstanding() const { return queue_.size() + runningFonts_.size() + finishedCount_; }

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<SvgGlyphJob> queue_;
  std::array<std::optional<Finished>, kRingSlots> resultRing_;
  std::vector<size_t> runningFonts_;  // the font of each job taken and not yet published
  uint64_t finishedHead_ = 0;
  uint64_t finishedCount_ = 0;
  std::vector<std::thread> threads_;
  std::vector<SvgGlyphBody> spentBodies_;  // of results dropped while stopping
  bool stopping_ = false;
  std::atomic<bool> stopDrawing_{false};  // set with stopping_: the glyphs being drawn are given up
  bool deferred_ = false;           // a glyph found no room since the last frame that had room
  uint64_t appliedGeneration_ = 0;  // main thread only
};

// The body of an SVG glyph job: renders the glyph of `key` (a codepoint, or a glyph id when `byGlyphId`)
// from its own face opened on the worker's library; never touches the font's own FreeType face or entries.
SvgGlyphResult runSvgGlyphJob(const std::shared_ptr<RenderFont>& face, uint32_t key, bool byGlyphId,
                              FT_LibraryRec_* library);
// A job for that entry whose body holds the face until it is destroyed.
SvgGlyphJob makeSvgGlyphJob(const std::shared_ptr<RenderFont>& face, uint32_t key, bool byGlyphId);
