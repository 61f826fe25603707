// The render process as qz sees it: documents drawn there come back whole; a document that makes librsvg
// abort, run away or swell ends that process with a clear refusal while the caller goes on, and the next
// request is served by a new process; nothing is left behind (no zombie, no descriptor of the caller's).
#include "render_process/render_process.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sanitizer_build.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kRed = R"(<svg xmlns="http://www.w3.org/2000/svg" width="4" height="4">)"
                         R"(<rect width="4" height="4" fill="red"/></svg>)";

RenderResult drawFitted(const std::string& document, int32_t side = 4,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  RenderJob job;
  job.document = document;
  job.width = side;
  job.height = side;
  job.timeLimit = limit;
  return runRenderJob(job);
}

void expectRed(const RenderResult& drawn, const char* what) {
  ASSERT_TRUE(drawn.drawn) << what << ": " << drawn.error;
  ASSERT_EQ(drawn.pixels.size(), 64u) << what;
  for (size_t at = 0; at < 64; at += 4) {
    EXPECT_EQ(std::vector<int>(drawn.pixels.data() + at, drawn.pixels.data() + at + 4),
              std::vector<int>({0, 0, 255, 255}))
        << what;
  }
}

std::string svgOf(const std::string& body, int side = 100) {
  const std::string size = std::to_string(side);
  return R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width=")" + size +
         "\" height=\"" + size + "\">" + body + "</svg>";
}

// A noise filter of 100,000 octaves, each a pass over every pixel.
const std::string kOctaves =
    "<filter id='f'><feTurbulence baseFrequency='0.05' numOctaves='100000'/></filter>"
    "<rect width='100' height='100' filter='url(#f)'/>";

// A convolution kernel of `values` ones.
std::string kernel(int values) {
  std::string text;
  for (int i = 0; i < values; ++i) text += i == 0 ? "1" : " 1";
  return text;
}

// The caller's children that are zombies.
int zombieChildren() {
  int zombies = 0;
  DIR* proc = opendir("/proc");
  for (dirent* entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
    const std::string status = "/proc/" + std::string(entry->d_name) + "/stat";
    FILE* file = fopen(status.c_str(), "r");
    if (file == nullptr) continue;
    int pid = 0, parent = 0;
    char state = 0;
    if (fscanf(file, "%d %*s %c %d", &pid, &state, &parent) == 3 && parent == getpid() && state == 'Z') ++zombies;
    fclose(file);
  }
  if (proc != nullptr) closedir(proc);
  return zombies;
}

// Whether the process runs (a zombie has ended; its new parent may reap it late).
bool running(int pid) {
  FILE* file = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (file == nullptr) return false;
  char state = 0;
  const bool read = fscanf(file, "%*d %*s %c", &state) == 1;
  fclose(file);
  return read && state != 'Z';
}

std::vector<std::string> descriptorsOf(int pid) {
  std::vector<std::string> targets;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = opendir(folder.c_str());
  for (dirent* entry; fds != nullptr && (entry = readdir(fds)) != nullptr;) {
    if (entry->d_name[0] == '.') continue;
    char target[256] = {};
    const ssize_t length = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    // The kind of object, not which one: a replaced process has a new socket.
    const std::string kind(target, length > 0 ? static_cast<size_t>(length) : 0);
    targets.push_back(std::string(entry->d_name) + " " + kind.substr(0, kind.find(":[")));
  }
  if (fds != nullptr) closedir(fds);
  return targets;
}

TEST(RenderProcess, DrawsDocumentsWholeAndKeepsItsProcess) {
  expectRed(drawFitted(kRed), "first");
  const std::vector<int> first = idleRenderProcesses();
  ASSERT_FALSE(first.empty());
  expectRed(drawFitted(kRed), "second");
  EXPECT_EQ(idleRenderProcesses(), first) << "the process stays up between documents";
}

// Documents that make librsvg 2.54 abort: a tile whose input lies outside the filter region, a convolution
// of order 24 or more, and a font size far past any real one.
TEST(RenderProcess, AbortingDocumentsAreRefusedAndTheNextIsDrawn) {
  const struct {
    const char* what;
    std::string document;
  } cases[] = {
      {"feTile outside its region",
       svgOf("<filter id='f' x='0' y='0' width='1' height='1'><feFlood flood-color='red' x='200' y='200'"
             " width='10' height='10' result='a'/><feTile in='a'/></filter>"
             "<rect width='100' height='100' filter='url(#f)'/>")},
      {"feConvolveMatrix of order 24",
       svgOf("<filter id='f'><feConvolveMatrix order='24' kernelMatrix='" + kernel(24 * 24) +
             "'/></filter><rect width='100' height='100' filter='url(#f)'/>")},
      {"text at 3,000,000 px", svgOf("<text y='50' font-size='3000000'>qz</text>")},
  };
  for (const auto& c : cases) {
    const RenderResult refused = drawFitted(c.document, 100);
    EXPECT_FALSE(refused.drawn) << c.what;
    EXPECT_EQ(refused.error.rfind("SVG document could not be drawn: the renderer ", 0), 0u)
        << c.what << ": " << refused.error;
    expectRed(drawFitted(kRed), c.what);
  }
}

TEST(RenderProcess, RunawayDocumentsEndAtTheTimeLimit) {
  const std::string octaves = svgOf(kOctaves, 400);
  const auto start = Clock::now();
  const RenderResult refused = drawFitted(octaves, 400, std::chrono::milliseconds(1000));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(refused.error, "SVG document could not be drawn: the renderer took longer than 1 s");
  EXPECT_LT(seconds, 3.0);
  expectRed(drawFitted(kRed), "after the runaway");
  EXPECT_EQ(zombieChildren(), 0);
}

// Glyph 1 of `document` (which the job only looks at), whose em is 1000 units, drawn at `pixelSize`, no side
// past `maxSide`.
RenderJob glyphJob(std::string_view document, float pixelSize, int32_t maxSide = 4096) {
  RenderJob job;
  job.kind = RenderJobKind::SvgGlyph;
  job.document = document;
  job.glyphIndex = 1;
  job.pixelSize = pixelSize;
  job.unitsPerEm = 1000.0f;
  job.maxSide = maxSide;
  return job;
}

// A glyph cropped to 30,000 square: 3.6 GB of pixels.
RenderJob swellingGlyphJob() {
  return glyphJob(R"(<svg xmlns="http://www.w3.org/2000/svg"><rect id="glyph1" width="1000" height="1000"/></svg>)",
                  30000.0f, 30000);
}

TEST(RenderProcess, MemoryPastTheCeilingIsRefusedAsSuch) {
  const RenderResult refused = runRenderJob(swellingGlyphJob());
  EXPECT_EQ(refused.error, "SVG document could not be drawn: the renderer needed more than 1 GiB");
  expectRed(drawFitted(kRed), "after the swelling");
}

// The process that had drawn before is killed, and so is the fresh one the document is tried in again.
TEST(RenderProcess, AProcessKilledFromOutsideIsReplacedAndLeavesNothing) {
  expectRed(drawFitted(kRed), "warm");
  const std::vector<std::string> before = descriptorsOf(getpid());
  const std::string slow = svgOf(kOctaves, 400);
  std::atomic<bool> answered{false};
  std::thread killer([&answered] {
    while (!answered) {
      for (int tries = 0; tries < 200 && !answered; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (idleRenderProcesses().empty() && renderProcessCount() > 0) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      [[maybe_unused]] const int status =
          system(("pkill -KILL -P " + std::to_string(getpid()) + " -x qz-render").c_str());
    }
  });
  const RenderResult killed = drawFitted(slow, 400, std::chrono::milliseconds(10000));
  answered = true;
  killer.join();
  EXPECT_EQ(killed.error, "SVG document could not be drawn: the renderer stopped (signal 9)");
  expectRed(drawFitted(kRed), "after the kill");
  EXPECT_EQ(zombieChildren(), 0);
  EXPECT_EQ(descriptorsOf(getpid()), before);
}

TEST(RenderProcess, TheProcessHoldsNoDescriptorOfTheCaller) {
  int marker[2];
  ASSERT_EQ(pipe(marker), 0);  // inheritable on purpose
  const std::vector<int> idle = idleRenderProcesses();
  for (const int pid : idle) kill(pid, SIGKILL);
  // Ended: each is a zombie until the next request finds its socket closed and reaps it.
  for (int tries = 0; tries < 500 && zombieChildren() < static_cast<int>(idle.size()); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  expectRed(drawFitted(kRed), "a new process");
  const std::vector<int> started = idleRenderProcesses();
  ASSERT_EQ(started.size(), 1u);
  const std::vector<std::string> held = descriptorsOf(started.front());
  close(marker[0]);
  close(marker[1]);
  ASSERT_GE(held.size(), 4u);
  for (const std::string& line : held) {
    const int fd = std::stoi(line);
    EXPECT_TRUE(fd <= 3 || line.find("pipe:") == std::string::npos) << line;
    if (fd == 0 || fd == 1) {
      EXPECT_NE(line.find("/dev/null"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(zombieChildren(), 0);
}

// A render process ends with the process that started it, even one killed outright: it sees its socket close.
TEST(RenderProcess, EndsWhenItsStarterEnds) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t starter = fork();
  ASSERT_GE(starter, 0);
  if (starter == 0) {
    const bool drawn = drawFitted(kRed).drawn;
    const std::vector<int> idle = idleRenderProcesses();
    const int pid = drawn && idle.size() == 1 ? idle.front() : -1;
    [[maybe_unused]] const ssize_t wrote = write(report[1], &pid, sizeof pid);
    pause();
    _exit(0);
  }
  close(report[1]);
  int server = -1;
  ASSERT_EQ(read(report[0], &server, sizeof server), static_cast<ssize_t>(sizeof server));
  close(report[0]);
  ASSERT_GT(server, 0);
  kill(starter, SIGKILL);
  waitpid(starter, nullptr, 0);
  bool gone = false;
  for (int tries = 0; tries < 500 && !gone; ++tries) {
    gone = !running(server);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone) << "render process " << server << " outlived its starter";
}

TEST(RenderProcess, SeveralRunAtOnce) {
  std::vector<std::thread> callers;
  std::vector<RenderResult> results(4);
  for (size_t i = 0; i < results.size(); ++i) {
    callers.emplace_back([&results, i] { results[i] = drawFitted(kRed); });
  }
  for (std::thread& caller : callers) caller.join();
  for (const RenderResult& result : results) expectRed(result, "in parallel");
  EXPECT_GE(renderProcessCount(), 1u);
}

// A logo whose badge casts a blurred shadow: an honest drawing whose filter takes librsvg several surfaces
// the size of the canvas and, on every processor, threads of its own.
const std::string kBlurredLogo = svgOf(
    "<filter id='shadow'><feGaussianBlur stdDeviation='1'/></filter><rect width='64' height='64' fill='#fff'/>"
    "<circle cx='32' cy='32' r='12' fill='#2a6' filter='url(#shadow)'/>",
    64);

void expectLogoDrawn(const RenderResult& drawn) {
  ASSERT_TRUE(drawn.drawn) << drawn.error;
  ASSERT_EQ(drawn.width, 4096);
  const uint8_t* centre = drawn.pixels.data() + (size_t{2048} * 4096 + 2048) * 4;
  EXPECT_EQ(std::vector<int>(centre, centre + 4), std::vector<int>({0x66, 0xaa, 0x22, 255}));
  const uint8_t* corner = drawn.pixels.data();
  EXPECT_EQ(std::vector<int>(corner, corner + 4), std::vector<int>({255, 255, 255, 255}));
}

// What counts against the ceiling is the memory a drawing uses, not what its threads reserve: the logo draws
// at 4,096 square, and an icon after it in the same process.
TEST(RenderProcess, ABlurredLogoDrawsAt4096Square) {
  expectLogoDrawn(drawFitted(kBlurredLogo, 4096, std::chrono::milliseconds(30000)));
  const std::vector<int> drewTheLogo = idleRenderProcesses();
  expectRed(drawFitted(kRed), "after the logo");
  EXPECT_EQ(idleRenderProcesses(), drewTheLogo);
}

TEST(RenderProcess, ABlurredLogoDrawsAt4096SquareOnOneProcessor) {
  cpu_set_t all, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);  // the process started below inherits it
  const RenderResult drawn = drawFitted(kBlurredLogo, 4096, std::chrono::milliseconds(30000));
  sched_setaffinity(0, sizeof all, &all);
  expectLogoDrawn(drawn);
}

// A filter that keeps 24 results the size of the canvas needs 1.5 GiB at 4,096 square: librsvg's own
// refusal for want of memory is told as such, while the same filter at 1,024 square is drawn.
TEST(RenderProcess, AFilterPastTheCeilingIsRefusedAsMemory) {
  std::string floods, merged;
  for (int i = 0; i < 24; ++i) {
    floods +=
        "<feFlood flood-color='#" + std::string(i % 2 == 0 ? "f00" : "00f") + "' result='r" + std::to_string(i) + "'/>";
    merged += "<feMergeNode in='r" + std::to_string(i) + "'/>";
  }
  const std::string document = svgOf("<filter id='f' x='0' y='0' width='1' height='1'>" + floods + "<feMerge>" +
                                         merged + "</feMerge></filter><rect width='64' height='64' filter='url(#f)'/>",
                                     64);
  const RenderResult refused = drawFitted(document, 4096, std::chrono::milliseconds(30000));
  EXPECT_EQ(refused.error, "SVG document could not be drawn: the renderer needed more than 1 GiB");
  EXPECT_EQ(refused.failure, RenderFailure::OutOfMemory);
  const RenderResult drawn = drawFitted(document, 1024, std::chrono::milliseconds(30000));
  ASSERT_TRUE(drawn.drawn) << drawn.error;
  EXPECT_EQ(std::vector<int>(drawn.pixels.data(), drawn.pixels.data() + 4), std::vector<int>({255, 0, 0, 255}));
}

// A process that failed in any way is ended, never handed the next document.
TEST(RenderProcess, AProcessThatFailedIsNeverUsedAgain) {
  const RenderJob swelling = swellingGlyphJob();
  RenderJob unreadable;
  unreadable.document = "<svg";
  unreadable.width = unreadable.height = 4;
  const std::string octaves = svgOf(kOctaves, 400);
  RenderJob runaway;
  runaway.document = octaves;
  runaway.width = runaway.height = 400;
  runaway.timeLimit = std::chrono::milliseconds(500);
  const struct {
    const char* what;
    const RenderJob& job;
  } cases[] = {{"out of memory", swelling}, {"unreadable", unreadable}, {"past its time", runaway}};
  for (const auto& c : cases) {
    expectRed(drawFitted(kRed), c.what);
    const std::vector<int> before = idleRenderProcesses();
    ASSERT_EQ(before.size(), 1u) << c.what;
    RenderJob job = c.job;
    job.started = Clock::now();
    EXPECT_FALSE(runRenderJob(job).drawn) << c.what;
    EXPECT_TRUE(idleRenderProcesses().empty()) << c.what;
    EXPECT_EQ(renderProcessCount(), 0u) << c.what;
    EXPECT_EQ(zombieChildren(), 0) << c.what;
  }
}

// Style rules that an entity of the document's own type declaration writes match as they do in the document:
// a rule for "svg svg g" leaves the glyph red, with or without a layer. (In the render process: librsvg keeps
// an entity's value for good.)
TEST(RenderProcess, StyleRulesWrittenThroughAnEntityMatchAsInTheDocument) {
  for (const char* layer : {"", " opacity='0.5'"}) {
    const std::string document =
        std::string("<!DOCTYPE svg [<!ENTITY rules \"&#60;style>svg svg g { fill: #0f0 }&#60;/style>\">]>") +
        "<svg xmlns='http://www.w3.org/2000/svg'>&rules;<g id='glyph1' fill='#f00'" + layer +
        "><rect x='300' y='300' width='300' height='400'/></g></svg>";
    const RenderResult drawn = runRenderJob(glyphJob(document, 50.0f));
    ASSERT_TRUE(drawn.drawn) << drawn.error;
    EXPECT_EQ(std::vector<int32_t>({drawn.left, drawn.top, drawn.width, drawn.height}),
              std::vector<int32_t>({15, -15, 15, 20}))
        << layer;
    const uint8_t* centre = drawn.pixels.data() + (static_cast<size_t>(10) * 15 + 7) * 4;
    EXPECT_EQ(std::vector<int>(centre, centre + 4), std::vector<int>({0, 0, 255, layer[0] == 0 ? 255 : 128}))
        << layer << ": red, as the rule does not match";
  }
}

// A glyph its document does not hold, that draws nothing or that is drawn too large is refused by the process's
// own checks after librsvg did all it was asked: the process is as sound as after a drawing and serves again.
TEST(RenderProcess, AGlyphThatIsNotThereLeavesItsProcessInThePool) {
  const struct {
    const char* what;
    const char* document;
    const char* error;
  } cases[] = {
      {"no such element", R"(<svg xmlns="http://www.w3.org/2000/svg"><rect id="glyph2" width="9" height="9"/></svg>)",
       "SVG document has no element glyph1"},
      {"nothing drawn", R"(<svg xmlns="http://www.w3.org/2000/svg"><g id="glyph1"/></svg>)",
       "SVG document draws nothing"},
      {"drawn too large",
       R"(<svg xmlns="http://www.w3.org/2000/svg"><rect id="glyph1" width="9000" height="9"/></svg>)",
       "SVG document is too large"},
  };
  for (const auto& c : cases) {
    expectRed(drawFitted(kRed), c.what);
    const std::vector<int> before = idleRenderProcesses();
    ASSERT_EQ(before.size(), 1u) << c.what;
    const RenderResult refused = runRenderJob(glyphJob(c.document, 1000.0f));
    EXPECT_FALSE(refused.drawn) << c.what;
    EXPECT_EQ(refused.error, c.error) << c.what;
    EXPECT_EQ(idleRenderProcesses(), before) << c.what;
  }
}

// A user's address-space limit below the render process's ceiling holds in the process instead, and its
// refusals name it.
TEST(RenderProcess, AUsersLowerAddressSpaceLimitIsKept) {
#ifdef QZ_TEST_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's shadow memory rules out an address-space limit";
#else
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit userLimit{1000000 * 1024, 1000000 * 1024};  // ulimit -v 1000000
    if (setrlimit(RLIMIT_AS, &userLimit) != 0) _exit(10);
    const RenderResult red = drawFitted(kRed);
    if (!red.drawn) {
      std::fprintf(stderr, "red: %s\n", red.error.c_str());
      _exit(11);
    }
    const RenderResult refused = runRenderJob(swellingGlyphJob());
    if (refused.error != "SVG document could not be drawn: the renderer needed more than 976 MiB") {
      std::fprintf(stderr, "swelling: %s\n", refused.error.c_str());
      _exit(12);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
#endif
}

// Replies of a render process that lies, checked against what was asked.
class LyingRenderProcess : public ::testing::Test {
 protected:
  void SetUp() override { useRenderProgram(QZ_FAKE_RENDER_PROCESS); }
  void TearDown() override { useRenderProgram(""); }

  static RenderResult ask(const std::string& document, RenderJobKind kind = RenderJobKind::SvgFitted,
                          bool svgImage = false) {
    RenderJob job;
    job.kind = kind;
    job.sdlSvg = svgImage;
    job.document = document;
    job.width = job.height = 16;
    job.maxSide = 64;
    return runRenderJob(job);
  }
};

// A reply with more than the one descriptor of its pixels is refused, and every descriptor it brought closed.
TEST_F(LyingRenderProcess, DescriptorsBeyondThePixelsFileAreClosed) {
  const std::vector<std::string> before = descriptorsOf(getpid());
  for (const int descriptors : {2, 3, 16}) {
    const RenderResult refused = ask("descriptors " + std::to_string(descriptors));
    EXPECT_FALSE(refused.drawn) << descriptors;
    EXPECT_EQ(refused.error, "SVG document could not be drawn: the renderer answered out of turn") << descriptors;
    EXPECT_EQ(descriptorsOf(getpid()), before) << descriptors;
  }
  const RenderResult honest = ask("descriptors 1");
  ASSERT_TRUE(honest.drawn) << honest.error;
  EXPECT_EQ(honest.pixels.size(), 16u * 16u * 4u);
}

// Pixels in a file that the process could still shrink, that holds fewer than the reply's size or that is no
// memory file are refused, and the file closed.
TEST_F(LyingRenderProcess, PixelsThatCannotBeReadWholeAreRefused) {
  const std::vector<std::string> before = descriptorsOf(getpid());
  for (const char* lie : {"unsealed pixels", "short pixels", "pixels in a pipe"}) {
    const RenderResult refused = ask(lie);
    EXPECT_FALSE(refused.drawn) << lie;
    EXPECT_EQ(refused.error, "SVG document could not be drawn: the renderer's pixels could not be read") << lie;
    EXPECT_EQ(renderProcessCount(), 0u) << lie << ": the process was ended";
    EXPECT_EQ(descriptorsOf(getpid()), before) << lie;
  }
}

TEST_F(LyingRenderProcess, RepliesThatDoNotFitTheRequestAreRefused) {
  const struct {
    const char* what;
    const char* document;
    RenderJobKind kind;
    bool fits;
  } cases[] = {
      {"16 square answered 20,000 square", "size 20000 20000", RenderJobKind::SvgFitted, false},
      {"16 square answered 16 x 17", "size 16 17", RenderJobKind::SvgFitted, false},
      {"16 square answered 16 square", "size 16 16", RenderJobKind::SvgFitted, true},
      {"a glyph of 64 at most answered 65 wide", "size 65 1", RenderJobKind::SvgGlyph, false},
      {"a glyph of 64 at most answered 64 wide", "size 64 1", RenderJobKind::SvgGlyph, true},
      {"an image of 16 square answered 17 wide", "size 17 16", RenderJobKind::SdlImage, false},
      {"an image of 16 square answered 8 x 16", "size 8 16", RenderJobKind::SdlImage, true},
      {"a glyph placed 2^22 + 1 pixels left", "placed at -4194305 0", RenderJobKind::SvgGlyph, false},
      {"a glyph placed 2^31 pixels above", "placed at 0 -2147483648", RenderJobKind::SvgGlyph, false},
      {"a glyph placed 2^22 pixels right and up", "placed at 4194304 4194304", RenderJobKind::SvgGlyph, true},
  };
  for (const auto& c : cases) {
    const RenderResult result = ask(c.document, c.kind);
    EXPECT_EQ(result.drawn, c.fits) << c.what << ": " << result.error;
    if (!c.fits) {
      EXPECT_EQ(result.error, "SVG document could not be drawn: the renderer's answer does not fit the request")
          << c.what;
    }
  }
  // SDL_image rounds an SVG document's size up in single precision: a pixel more than qz read is its answer.
  const struct {
    const char* document;
    bool fits;
  } svgImages[] = {{"size 17 17", true}, {"size 18 16", false}, {"size 16 18", false}, {"size 16 16", true}};
  for (const auto& c : svgImages) {
    const RenderResult result = ask(c.document, RenderJobKind::SdlImage, true);
    EXPECT_EQ(result.drawn, c.fits) << "an SVG image of 16 square answered " << c.document << ": " << result.error;
  }
}

// A document that fails in a process that drew others before is tried once more in a fresh process, while one
// that fails in a fresh process is refused at once: no document costs more than two tries. A try again that runs
// out of the time the first one left says why the first failed.
TEST_F(LyingRenderProcess, AFailureAfterOtherDrawingsIsTriedOnceMoreInAFreshProcess) {
  ASSERT_TRUE(ask("honest").drawn);
  uint64_t started = renderProcessesStarted();
  const RenderResult retried = ask("unsound after a drawing");
  EXPECT_TRUE(retried.drawn) << retried.error;
  EXPECT_EQ(renderProcessesStarted(), started + 1) << "one fresh process";

  useRenderProgram(QZ_FAKE_RENDER_PROCESS);  // no process left: the next starts fresh
  started = renderProcessesStarted();
  EXPECT_EQ(ask("always refused").error, "refused on request");
  EXPECT_EQ(renderProcessesStarted(), started + 1) << "refused in a fresh process: one try";

  ASSERT_TRUE(ask("honest").drawn);
  started = renderProcessesStarted();
  EXPECT_EQ(ask("always refused").error, "refused on request");
  EXPECT_EQ(renderProcessesStarted(), started + 1) << "refused after other drawings: two tries";
  EXPECT_EQ(renderProcessCount(), 0u);

  ASSERT_TRUE(ask("honest").drawn);
  RenderJob swelling;
  swelling.document = "swells after a drawing";
  swelling.width = swelling.height = 16;
  swelling.timeLimit = std::chrono::milliseconds(500);
  const RenderResult refused = runRenderJob(swelling);
  EXPECT_EQ(refused.failure, RenderFailure::OutOfMemory) << refused.error;
  EXPECT_EQ(refused.error.rfind("SVG document could not be drawn: the renderer needed more than ", 0), 0u)
      << refused.error;
}

// A job that ran out of its time had the whole of it: a process that drew before is not given another whole
// limit in a fresh one, so a document that runs for ever costs one limit of the processor, not two.
TEST_F(LyingRenderProcess, AJobOutOfTimeAfterOtherDrawingsIsNotTriedAgain) {
  const auto childProcessorTime = [] {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  };
  for (const bool onProcessorTime : {true, false}) {
    ASSERT_TRUE(ask("honest").drawn);
    RenderJob job;
    job.kind = RenderJobKind::SvgGlyph;
    job.document = "spin 100000";
    job.maxSide = 64;
    job.timeLimit = std::chrono::milliseconds(400);
    job.limitProcessorTime = onProcessorTime;
    const uint64_t started = renderProcessesStarted();
    const auto processorBefore = childProcessorTime();
    const RenderResult result = runRenderJob(job);
    EXPECT_EQ(result.failure, RenderFailure::OutOfTime) << result.error;
    EXPECT_EQ(renderProcessesStarted(), started) << "no fresh process, on processor time: " << onProcessorTime;
    EXPECT_LT(childProcessorTime() - processorBefore, job.timeLimit * 3 / 2) << onProcessorTime;
  }
  EXPECT_EQ(zombieChildren(), 0);
}

// A job judged on processor time runs until it has had its time limit of the processor, however long it
// waits for it, as long as it goes on (a hundredth of its limit in ten times its limit); a job judged on the
// wall clock alone ends at its limit.
TEST_F(LyingRenderProcess, AJobJudgedOnProcessorTimeEndsOnceItHadItsTime) {
  using std::chrono::milliseconds;
  const struct {
    const char* document;
    bool onProcessorTime;
    milliseconds limit;
    RenderFailure failure;
    const char* error;
  } cases[] = {
      {"spin 100000", true, milliseconds(300), RenderFailure::OutOfTime,
       "SVG document could not be drawn: the renderer took longer than 300 ms"},
      {"sleep 600", true, milliseconds(300), RenderFailure::None, ""},
      {"trickle 150", true, milliseconds(200), RenderFailure::None, ""},
      {"sleep 100000", true, milliseconds(200), RenderFailure::Starved,
       "SVG document could not be drawn: the renderer had less than 2 ms of processor time in 2 s"},
      {"sleep 600", false, milliseconds(300), RenderFailure::OutOfTime,
       "SVG document could not be drawn: the renderer took longer than 300 ms"},
  };
  for (const auto& c : cases) {
    RenderJob job;
    job.kind = RenderJobKind::SvgGlyph;
    job.document = c.document;
    job.maxSide = 64;
    job.timeLimit = c.limit;
    job.limitProcessorTime = c.onProcessorTime;
    const RenderResult result = runRenderJob(job);
    EXPECT_EQ(result.failure, c.failure) << c.document;
    EXPECT_EQ(result.error, c.error) << c.document;
    EXPECT_LT(Clock::now() - job.started, std::chrono::seconds(60)) << c.document;
  }
  EXPECT_EQ(zombieChildren(), 0);
}

// In the sanitizer build a memory error in the render process is reported as one, not as memory run out.
TEST_F(LyingRenderProcess, SanitizerReportsAreToldApartFromMemoryRunningOut) {
#ifndef QZ_TEST_UNDER_ASAN
  GTEST_SKIP() << "only the sanitizer build reports memory errors";
#else
  const uint64_t before = renderProcessSanitizerReports();
  const RenderResult refused = ask("memory error");
  EXPECT_EQ(refused.error, "SVG document could not be drawn: the renderer stopped on a sanitizer report");
  EXPECT_EQ(renderProcessSanitizerReports(), before + 1);
#endif
}

}  // namespace
