// The SVG glyph worker's pool: the job queue, the four threads and the 256-slot result ring. The invariant
// queued + running + finished <= 256 keeps the ring from overwriting an unapplied result. The fonts of the
// running jobs choose the next job, so that one font cannot hold every thread. Results and spent
// bodies travel together, so a body's face reference is dropped where the result is applied, on the main
// thread.
#include "fonts/svg_glyph_worker.h"

#include <freetype/freetype.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>
#include <utility>

#include "fonts/freetype_library.h"
#include "fonts/render_font.h"
#include "fonts/svg_glyph_document.h"
#include "host/process_state.h"
#include "platform/thread_priority.h"

namespace {

std::atomic<AsyncSvgGlyphWorker*> processWorker{nullptr};

// The most jobs of one font running at once: one thread is always left to the other fonts.
constexpr size_t kMostRunningOfOneFont = AsyncSvgGlyphWorker::kThreadCount - 1;

// Runs a job's body; a body that throws (out of memory) yields the job's own fields, unsucceeded.
SvgGlyphResult runBody(SvgGlyphJob& job, FT_Library library) {
  if (!job.body) return std::move(job.result);
  try {
    return job.body(library);
  } catch (const std::exception&) {
    SvgGlyphResult failed = std::move(job.result);
    failed.succeeded = 0;
    return failed;
  }
}

}  // namespace

size_t svgGlyphFontKey(const RenderFont& face) { return std::hash<std::string>()(face.path()); }

AsyncSvgGlyphWorker::AsyncSvgGlyphWorker() {
  spentBodies_.reserve(kThreadCount);
  runningFonts_.reserve(kThreadCount);
}

AsyncSvgGlyphWorker::~AsyncSvgGlyphWorker() {
  shutdown();
  AsyncSvgGlyphWorker* self = this;
  processWorker.compare_exchange_strong(self, nullptr);
}

AsyncSvgGlyphWorker& AsyncSvgGlyphWorker::instance() {
  static AsyncSvgGlyphWorker* const worker = [] {
    initFreeTypeLibrary();  // released at exit after the worker, whose bodies may still hold faces
    static AsyncSvgGlyphWorker made;
    processWorker.store(&made);
    return &made;
  }();
  return *worker;
}

void AsyncSvgGlyphWorker::shutdownInstance() {
  if (AsyncSvgGlyphWorker* worker = processWorker.load()) worker->shutdown();
}

bool AsyncSvgGlyphWorker::enqueue(SvgGlyphJob job) {
  {
    const std::lock_guard lock(mutex_);
    if (stopping_ || outstanding() >= kRingSlots) return false;
    try {
      if (!ensureStarted()) return false;
      queue_.push_back(std::move(job));
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  wake_.notify_one();
  return true;
}

// Under the mutex. Threads already started stay when a later one cannot start.
bool AsyncSvgGlyphWorker::ensureStarted() {
  threads_.reserve(kThreadCount);
  while (threads_.size() < kThreadCount) {
    try {
      threads_.emplace_back([this] { run(); });
    } catch (const std::system_error&) {
      return false;
    }
  }
  return true;
}

// Under the mutex.
size_t AsyncSvgGlyphWorker::runningOf(size_t font) const {
  return static_cast<size_t>(std::count(runningFonts_.begin(), runningFonts_.end(), font));
}

// Under the mutex: the oldest queued job among the fonts with the fewest running.
std::deque<SvgGlyphJob>::iterator AsyncSvgGlyphWorker::nextJob() {
  auto chosen = queue_.end();
  size_t fewest = kMostRunningOfOneFont;
  for (auto job = queue_.begin(); job != queue_.end() && fewest > 0; ++job) {
    const size_t running = runningOf(job->font);
    if (running < fewest) {
      fewest = running;
      chosen = job;
    }
  }
  return chosen;
}

void AsyncSvgGlyphWorker::run() {
  lowerCurrentThreadPriority();  // a frame on the main thread goes first
  FT_Library library = nullptr;
  if (FT_Init_FreeType(&library) != 0) library = nullptr;
  stopSvgGlyphDrawingWhen(&stopDrawing_);
  for (;;) {
    SvgGlyphJob job;
    {
      std::unique_lock lock(mutex_);
      auto next = queue_.end();
      if (queue_.empty() && runningFonts_.empty()) {
        lock.unlock();
        forgetKeptSvgGlyphDocument();  // no glyph to draw: no document is kept for the next
        lock.lock();
      }
      wake_.wait(lock, [this, &next] { return stopping_ || (next = nextJob()) != queue_.end(); });
      if (stopping_) break;  // queued jobs are dropped by shutdown
      job = std::move(*next);
      queue_.erase(next);
      runningFonts_.push_back(job.font);  // room for one per thread is reserved
    }
    SvgGlyphResult result = runBody(job, library);
    {
      const std::lock_guard lock(mutex_);
      runningFonts_.erase(std::find(runningFonts_.begin(), runningFonts_.end(), job.font));
      if (stopping_) {
        spentBodies_.push_back(std::move(job.body));  // room for one per thread is reserved
        break;
      }
      resultRing_[(finishedHead_ + finishedCount_) % kRingSlots].emplace(
          Finished{std::move(result), std::move(job.body)});
      ++finishedCount_;
    }
    wake_.notify_one();  // a job of this font may run now
    pushWakeUpEvent();
  }
  if (library != nullptr) FT_Done_FreeType(library);
}

bool AsyncSvgGlyphWorker::deferIfFull() {
  const std::lock_guard lock(mutex_);
  if (stopping_ || outstanding() < kRingSlots) return false;
  deferred_ = true;
  return true;
}

bool AsyncSvgGlyphWorker::applyFinished() {
  bool applied = false;
  for (;;) {
    Finished finished;
    {
      const std::lock_guard lock(mutex_);
      if (finishedCount_ == 0) break;
      finished = std::move(*resultRing_[finishedHead_]);
      resultRing_[finishedHead_].reset();
      finishedHead_ = (finishedHead_ + 1) % kRingSlots;
      --finishedCount_;
    }
    // First the body's reference: when it was the face's last, the face goes here and its result with it.
    finished.spentBody = nullptr;
    const std::shared_ptr<RenderFont> face = finished.result.face.lock();
    if (face == nullptr || face->isGroup()) continue;
    if (face->applySvgGlyphResult(finished.result)) applied = true;
  }
  {
    const std::lock_guard lock(mutex_);
    if (deferred_ && outstanding() < kRingSlots) {  // the deferred glyphs ask again as this frame draws them
      deferred_ = false;
      applied = true;
    }
  }
  if (applied) ++appliedGeneration_;
  return applied;
}

bool AsyncSvgGlyphWorker::hasPendingGlyphs() const {
  const std::lock_guard lock(mutex_);
  return outstanding() != 0 || deferred_;
}

void AsyncSvgGlyphWorker::shutdown() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopDrawing_ = true;  // a render process kept from the processor would otherwise be waited for at exit
  wake_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
  // Every thread is gone: what is left is freed here, on the calling thread, last ring slot first.
  for (size_t i = kRingSlots; i-- > 0;) resultRing_[i].reset();
  finishedHead_ = 0;
  finishedCount_ = 0;
  queue_.clear();
  spentBodies_.clear();
}
