// What a drawing may use in the render process is the memory it holds, not what librsvg reserves: a document
// whose filters reserve gigabytes they never touch is drawn as librsvg alone draws it, at every size; a
// drawing during which an allocation failed (under a user's address-space limit, say) is refused as needing
// more, never taken with what was left out; a document that fails in a process that drew others is tried
// once more in a fresh one; and an idle process holds no more than a fresh one once its drawing freed what it
// used.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "render_process/render_process.h"
#include "render_process/svg_render.h"
#include "sanitizer_build.h"

namespace {

// A square drawn by an image filter of a group drawn by an image filter: librsvg reserves surfaces of
// gigabytes for the chain (1.7 GB at 1,024 square, 6.7 GB at 1,448) and touches a few megabytes of them.
const std::string kChainedImages =
    R"svg(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="100" height="100">)svg"
    R"svg(<defs><rect id="core" x="30" y="30" width="40" height="40" fill="green"/>)svg"
    R"svg(<filter id="f1" x="0" y="0" width="1" height="1"><feImage xlink:href="#core"/></filter>)svg"
    R"svg(<g id="level1"><rect width="100" height="100" fill="none" filter="url(#f1)"/></g>)svg"
    R"svg(<filter id="f2" x="0" y="0" width="1" height="1"><feImage xlink:href="#level1"/></filter></defs>)svg"
    R"svg(<rect width="100" height="100" fill="#ddd"/><rect width="100" height="100" filter="url(#f2)"/></svg>)svg";

RenderResult drawFitted(const std::string& document, int32_t side) {
  RenderJob job;
  job.document = document;
  job.width = job.height = side;
  job.timeLimit = std::chrono::milliseconds(30000);
  return runRenderJob(job);
}

std::vector<uint8_t> drawnAlone(const std::string& document, int32_t side) {
  SvgBitmap bitmap;
  EXPECT_TRUE(renderSvgToBgra(document, side, side, &bitmap)) << svgLastError();
  return bitmap.pixels;
}

TEST(RenderProcessMemory, ReservationsNeverTouchedDoNotCountAgainstTheCeiling) {
  for (const int32_t side : {1024, 1200, 1448, 2048}) {
    const std::vector<uint8_t> alone = drawnAlone(kChainedImages, side);
    const RenderResult drawn = drawFitted(kChainedImages, side);
    ASSERT_TRUE(drawn.drawn) << side << ": " << drawn.error;
    ASSERT_EQ(drawn.pixels.size(), alone.size()) << side;
    EXPECT_TRUE(std::equal(alone.begin(), alone.end(), drawn.pixels.data())) << side << ": not the library's pixels";
  }
}

// Under a user's `ulimit -v 600000` librsvg's reservations may fail: a drawing is then refused as needing more,
// never taken without what could not be allocated; one drawn is the library's.
TEST(RenderProcessMemory, UnderAnAddressSpaceLimitADrawingIsTheLibrarysOrRefused) {
#ifdef QZ_TEST_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's shadow memory rules out an address-space limit";
#else
  const struct {
    int32_t side;
    bool drawn;
  } cases[] = {{200, true}, {1024, false}, {1448, false}};
  for (const auto& c : cases) {
    const std::vector<uint8_t> alone = drawnAlone(kChainedImages, c.side);
    useRenderProgram("");  // the child starts its own process, under its limit, not one of the pool's
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const rlimit userLimit{600000 * 1024, 600000 * 1024};
      if (setrlimit(RLIMIT_AS, &userLimit) != 0) _exit(10);
      const RenderResult result = drawFitted(kChainedImages, c.side);
      const bool asAlone = result.drawn && result.pixels.size() == alone.size() &&
                           std::equal(alone.begin(), alone.end(), result.pixels.data());
      const bool refusedAsMemory =
          !result.drawn && result.error == "SVG document could not be drawn: the renderer needed more than 585 MiB";
      std::fprintf(stderr, "%d: drawn %d as alone %d: %s\n", c.side, result.drawn ? 1 : 0, asAlone ? 1 : 0,
                   result.error.c_str());
      _exit(c.drawn ? (asAlone ? 0 : 11) : (refusedAsMemory ? 0 : 12));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.side << ": status " << status;
  }
#endif
}

// The memory a process holds (its resident pages).
[[maybe_unused]] uint64_t residentBytesOf(int pid) {
  FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/statm").c_str(), "r");
  unsigned long long pages = 0, resident = 0;
  const bool read = status != nullptr && std::fscanf(status, "%llu %llu", &pages, &resident) == 2;
  if (status != nullptr) std::fclose(status);
  return read ? resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// A document of 100,000 small shapes leaves a process's heap full of small blocks when freed: kept, a process
// would hold some hundreds of megabytes while idle, and the next document would start that near the ceiling.
// A glyph document is kept parsed for the next glyph of it, but not while the process stays idle: a font's
// whole set of glyphs in one document holds hundreds of megabytes parsed, in each process that drew from it.
TEST(RenderProcessMemory, AnIdleProcessHoldsNoMoreThanAFreshOne) {
#ifdef QZ_TEST_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's allocator keeps freed memory back on purpose";
#else
  std::string rects;
  for (int i = 0; i < 100000; ++i) {
    rects += "<rect x=\"" + std::to_string(i % 100) + "\" y=\"-" + std::to_string(i / 100 % 100) +
             "\" width=\"1\" height=\"1\" fill=\"#" + std::to_string(100 + i % 900) + "\"/>";
  }
  const std::string fitted =
      R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 -99 100 100">)" + rects + "</svg>";
  const std::string glyphs = R"(<svg xmlns="http://www.w3.org/2000/svg"><g id="glyph1">)" + rects + "</g></svg>";
  for (const bool glyph : {false, true}) {
    useRenderProgram("");
    ASSERT_TRUE(drawFitted(R"(<svg xmlns="http://www.w3.org/2000/svg" width="4" height="4"/>)", 4).drawn);
    const std::vector<int> idle = idleRenderProcesses();
    ASSERT_EQ(idle.size(), 1u);
    const uint64_t fresh = residentBytesOf(idle.front());
    if (glyph) {
      RenderJob job;
      job.kind = RenderJobKind::SvgGlyph;
      job.document = glyphs;
      job.glyphIndex = 1;
      job.pixelSize = job.unitsPerEm = 100.0f;
      job.maxSide = 4096;
      job.timeLimit = std::chrono::seconds(60);
      const RenderResult drawn = runRenderJob(job);
      ASSERT_TRUE(drawn.drawn) << drawn.error;
    } else {
      ASSERT_TRUE(drawFitted(fitted, 100).drawn);
    }
    ASSERT_EQ(idleRenderProcesses(), idle);
    // It gives the memory back once its answer went out, or once idle.
    uint64_t held = residentBytesOf(idle.front());
    for (int tries = 0; tries < 3000 && held > fresh + (uint64_t{32} << 20); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      held = residentBytesOf(idle.front());
    }
    EXPECT_LE(held, fresh + (uint64_t{32} << 20)) << "glyph: " << glyph << ", fresh: " << (fresh >> 20) << " MiB";
  }
#endif
}

}  // namespace
