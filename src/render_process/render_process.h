// Drawing in the render process: SVG documents (librsvg, and SDL_image's own SVG decoder) and XPM images are
// drawn in a process of their own, so that a library that aborts, runs away or swells takes only that
// process down. A process is started on first need and serves one request at a time; several may run at
// once (each caller takes an idle one or starts another). Only a process that drew what it was asked, or
// declined it by its own checks after drawing soundly, goes back to the pool: one that otherwise refused, ran
// out of memory or time, ended or answered out of turn is ended, and the next request starts another. qz
// kills one whose resident memory passes the ceiling or that passes a request's time limit, and the process
// refuses a drawing during which an allocation failed. The process reads nothing but what it is sent.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "render_process/render_process_protocol.h"
#include "render_process/sealed_memory.h"

struct RenderJob {
  RenderJobKind kind = RenderJobKind::SvgFitted;
  std::string_view document;  // the document's or image's bytes
  int32_t width = 0;
  int32_t height = 0;
  int32_t maxSide = 0;
  uint32_t glyphIndex = 0;
  float pixelSize = 0.0f;
  float unitsPerEm = 0.0f;
  bool sdlSvg = false;
  std::chrono::milliseconds timeLimit{5000};
  // Judge the time limit on the processor time the process had as well as on the wall clock (job_time.h), so
  // that a job that waited for a processor still has its time.
  bool limitProcessorTime = false;
  // When the time limit began: a load gives its job its own start, so that reading the image before counts
  // against the one limit of the load.
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  // How a refusal begins: "SVG document could not be drawn", say.
  const char* what = "SVG document could not be drawn";
  // Once set, the job is given up at once: its caller is stopping and waits for no drawing.
  const std::atomic<bool>* stop = nullptr;
};

// Pixels as they came back: small ones in the reply itself, larger ones in a sealed memory file mapped here.
struct RenderedPixels {
  MappedMemory mapped;
  std::vector<uint8_t> carried;

  const uint8_t* data() const { return mapped.empty() ? carried.data() : mapped.data(); }
  size_t size() const { return mapped.empty() ? carried.size() : mapped.size(); }
  bool empty() const { return size() == 0; }
};

enum class RenderFailure {
  None,         // drawn
  Refused,      // the process answered with its library's reason
  Unreadable,   // the library could not read the document at all
  Declined,     // the process's own checks refused what it drew soundly: a glyph not there, empty or too large
  OutOfMemory,  // the drawing needed more than the memory ceiling
  OutOfTime,    // the drawing took longer than the time limit (judged on processor time: and had that much)
  Starved,      // judged on processor time, the process had next to none of it for a long while
  Ended,        // the process ended otherwise (a crash, a sanitizer report), or answered what was not asked
  NotStarted,   // no process could be started, or handed the document: nothing about the document is known
  Stopped,      // given up because the job's stop was set: nothing about the document is known
};

struct RenderResult {
  bool drawn = false;
  RenderFailure failure = RenderFailure::None;
  std::string error;  // why not, when not drawn
  int32_t width = 0;
  int32_t height = 0;
  int32_t left = 0;
  int32_t top = 0;
  RenderedPixels pixels;  // width x height x 4 bytes: B, G, R, A, straight alpha, as the process wrote them
};

// Runs the job in a render process and waits for its answer until the job is out of time (job_time.h). A
// drawing is taken only when it fits the request: the size asked for a fitted document, within the size asked
// for an image (an XPM image's declared size; an SVG image's within a pixel, or no side past maxSide for one
// asked at 0 x 0, which declares no size), no side past maxSide for a glyph. A job that fails in a process
// that drew others before is tried once more in a fresh process; one that fails in a fresh process, or ran
// out of its time, is refused. A process whose resident memory passes the ceiling is ended, and its job refused as needing more.
// Thread-safe.
RenderResult runRenderJob(const RenderJob& job);

// How many render processes are running (idle or busy), for tests.
size_t renderProcessCount();
// How many render processes were started so far, for tests.
uint64_t renderProcessesStarted();
// How many render processes ended on a sanitizer report (the sanitizer build's fuzzers fail on any).
uint64_t renderProcessSanitizerReports();
// The process ids of the render processes now idle, for tests.
std::vector<int> idleRenderProcesses();
// Starts the program at `path` instead of qz-render from now on (empty: qz-render again), and ends the idle
// processes; for tests.
void useRenderProgram(const std::string& path);
