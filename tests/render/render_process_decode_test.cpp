// canvas.load_image's SVG and XPM decoders run in the render process: a document that makes SDL_image's SVG
// parser loop for ever or swell, and an XPM image whose colour keys all land in one bucket of the decoder's
// hash, are refused at the time or memory limit while honest images of the same kinds decode as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "image_decode_support.h"
#include "render_process/job_time.h"
#include "render_process/render_process.h"

namespace {

using Clock = std::chrono::steady_clock;

Loaded loadWithin(const std::string& bytes, std::chrono::milliseconds limit, double* seconds) {
  ImageLimits limits;
  limits.renderTimeLimit = limit;
  const auto start = Clock::now();
  const IoStreamHandle stream(SDL_IOFromConstMem(bytes.data(), bytes.size()));
  const DecodedCanvas canvas = decodeImage(stream.get(), nullptr, ImageDecoder::Detect, limits);
  *seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!canvas.bitmap) return {false, 0, 0, canvas.error, {}};
  return {true, canvas.bitmap->width, canvas.bitmap->height, "", canvas.bitmap->pixels};
}

// The decoder's hash of a key: h * 33 + byte over the key's characters, masked to its table's size.
int xpmBucket(const std::string& key, int tableSize) {
  int hash = 0;
  for (const char c : key) hash = hash * 33 + c;
  return hash & (tableSize - 1);
}

// An XPM image of `colours` colours with four-character keys, `side` pixels square; the keys either all in
// one bucket of the decoder's table or spread over it.
std::string xpmImage(int colours, int side, bool colliding) {
  int tableSize = 1;
  while (tableSize < colours) tableSize <<= 1;
  std::vector<std::string> keys;
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789#$%&*+-.";
  for (size_t i = 0; keys.size() < static_cast<size_t>(colours); ++i) {
    std::string key;
    for (size_t n = i, k = 0; k < 4; ++k, n /= alphabet.size()) key += alphabet[n % alphabet.size()];
    if (!colliding || xpmBucket(key, tableSize) == 0) keys.push_back(key);
  }
  std::string xpm = "/* XPM */\nstatic char *image[] = {\n\"" + std::to_string(side) + " " + std::to_string(side) +
                    " " + std::to_string(colours) + " 4\",\n";
  for (int i = 0; i < colours; ++i) xpm += "\"" + keys[i] + " c #" + (i == 0 ? "FF0000" : "00FF00") + "\",\n";
  for (int y = 0; y < side; ++y) {
    xpm += "\"";
    for (int x = 0; x < side; ++x) xpm += keys[(x + y * side) % colours];
    xpm += "\",\n";
  }
  return xpm + "};\n";
}

// A zigzag of `points` points stroked so wide that each round join is cut into thousands of edges.
std::string roundJoins(int points) {
  std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100"><polyline points=")";
  for (int i = 0; i < points; ++i) svg += std::to_string(i % 2 * 50) + "," + std::to_string(i) + " ";
  return svg + R"(" fill="none" stroke="#000" stroke-width="8000000" stroke-linejoin="round"/></svg>)";
}

TEST(RenderProcessDecode, RunawayAndSwellingDecodesAreRefusedAtTheLimits) {
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"a dash step below float precision",
       R"(<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100"><path d="M1000000 5 L1000050 5" )"
       R"(stroke="#000" stroke-dasharray="0.01"/></svg>)"},
      {"round joins of a huge stroke", roundJoins(2000)},
      {"XPM keys in one bucket", xpmImage(8000, 1000, true)},
  };
  for (const auto& c : cases) {
    double seconds = 0;
    const Loaded loaded = loadWithin(c.bytes, std::chrono::milliseconds(1000), &seconds);
    EXPECT_FALSE(loaded.decoded) << c.what;
    EXPECT_NE(loaded.error.find("could not be d"), std::string::npos) << c.what << ": " << loaded.error;
    EXPECT_LT(seconds, 60.0) << c.what;  // a hang guard: the limit is on processor time, however busy the machine
  }
}

TEST(RenderProcessDecode, HonestSvgAndXpmImagesDecodeAsBefore) {
  const struct {
    const char* what;
    std::string bytes;
    int32_t side;
    uint32_t firstPixel;
  } cases[] = {
      {"an SVG", R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><rect width="10" height="10" )"
                 R"(fill="#0000ff"/></svg>)",
       10, 0xFF0000FFu},
      {"a style rule with space after its last ;",
       R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><style>.a{fill:#00ff00; }</style>)"
       R"(<rect class="a" width="10" height="10"/></svg>)",
       10, 0xFF00FF00u},
      {"an XPM of spread keys", xpmImage(8000, 1000, false), 1000, 0xFFFF0000u},
  };
  for (const auto& c : cases) {
    double seconds = 0;
    const Loaded loaded = loadWithin(c.bytes, std::chrono::milliseconds(5000), &seconds);
    ASSERT_TRUE(loaded.decoded) << c.what << ": " << loaded.error;
    EXPECT_EQ(loaded.width, c.side) << c.what;
    EXPECT_EQ(loaded.pixels.front(), c.firstPixel) << c.what;
  }
}

// An XPM image within the canvas limits may take more bytes than an SVG document may hold: four characters a
// pixel at 4096 square pass 64 MiB, and it decodes as its decoder decodes it (time is not what is tested here).
TEST(RenderProcessDecode, XpmImagesPastTheSvgDocumentCapDecode) {
  constexpr int kSide = 4096, kColours = 8000;
  const std::string xpm = xpmImage(kColours, kSide, false);
  ASSERT_GT(xpm.size(), size_t{64} << 20);
  double seconds = 0;
  const Loaded loaded = loadWithin(xpm, std::chrono::milliseconds(120000), &seconds);
  ASSERT_TRUE(loaded.decoded) << loaded.error;
  ASSERT_EQ(loaded.width, kSide);
  ASSERT_EQ(loaded.height, kSide);
  size_t wrong = 0;
  for (size_t i = 0; i < loaded.pixels.size(); ++i) {
    wrong += loaded.pixels[i] != (i % kColours == 0 ? 0xFFFF0000u : 0xFF00FF00u);
  }
  EXPECT_EQ(wrong, 0u);
}

// An SVG document that declares no size goes to the render process once, to be drawn at the size its decoder
// gives it, within the load's time limit counted from the load's start (judged on processor time: the bound
// the process is given, as it may wait for a processor, is that limit's wall-clock bound). The stand-in
// process answers with the time limit it was given.
TEST(RenderProcessDecode, ASvgWithoutASizeIsDrawnWithinTheLoadsTimeLimit) {
  useRenderProgram(QZ_FAKE_RENDER_PROCESS);
  const uint64_t started = renderProcessesStarted();
  double seconds = 0;
  const Loaded loaded = loadWithin(R"(<svg xmlns="http://www.w3.org/2000/svg"><!-- time limit --></svg>)",
                                   std::chrono::milliseconds(3000), &seconds);
  EXPECT_EQ(renderProcessesStarted(), started + 1) << "one request, in one process";
  useRenderProgram("");
  ASSERT_EQ(loaded.error.rfind("time limit ", 0), 0u) << loaded.error;
  EXPECT_LE(std::stoi(loaded.error.substr(11)), 3000 * kProcessorWaitBound) << "no more than the load's";
}

// A stream of `size` bytes: the text `head`, then `fill` over and over; counts the bytes read from it.
struct EndlessDocument {
  std::string head;
  Sint64 size = 0;
  std::string fill = " ";
  Sint64 at = 0;
  Sint64 read = 0;
};

SDL_IOStream* openEndless(EndlessDocument& document) {
  SDL_IOStreamInterface calls;
  SDL_INIT_INTERFACE(&calls);
  calls.size = [](void* data) { return static_cast<EndlessDocument*>(data)->size; };
  calls.seek = [](void* data, Sint64 offset, SDL_IOWhence whence) -> Sint64 {
    auto& doc = *static_cast<EndlessDocument*>(data);
    const Sint64 base = whence == SDL_IO_SEEK_SET ? 0 : whence == SDL_IO_SEEK_CUR ? doc.at : doc.size;
    if (base + offset < 0) return -1;
    return doc.at = base + offset;
  };
  calls.read = [](void* data, void* into, size_t count, SDL_IOStatus* status) -> size_t {
    auto& doc = *static_cast<EndlessDocument*>(data);
    const size_t got = static_cast<size_t>(std::clamp<Sint64>(doc.size - doc.at, 0, static_cast<Sint64>(count)));
    for (size_t i = 0; i < got; ++i) {
      const Sint64 position = doc.at + static_cast<Sint64>(i);
      const Sint64 head = static_cast<Sint64>(doc.head.size());
      static_cast<char*>(into)[i] = position < head ? doc.head[static_cast<size_t>(position)]
                                                    : doc.fill[static_cast<size_t>(position - head) % doc.fill.size()];
    }
    if (got == 0) *status = SDL_IO_STATUS_EOF;
    doc.at += static_cast<Sint64>(got);
    doc.read += static_cast<Sint64>(got);
    return got;
  };
  return SDL_OpenIO(&calls, &document);
}

// The size check of an SVG document reads no further than the most a document may hold: a stream of three
// times that is refused after reading that much, while a document of exactly that size is drawn.
TEST(RenderProcessDecode, TheSvgSizeCheckReadsAtMostTheDocumentCap) {
  ImageLimits limits;
  limits.maxSvgBytes = int64_t{1} << 20;
  const std::string head = R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><!--)";
  const std::string tail = R"(--><rect width="10" height="10" fill="#0000ff"/></svg>)";
  EndlessDocument endless{head, 3 * limits.maxSvgBytes};
  {
    const IoStreamHandle stream(openEndless(endless));
    const DecodedCanvas canvas = decodeImage(stream.get(), nullptr, ImageDecoder::Detect, limits);
    EXPECT_EQ(canvas.error, "SVG document is too large");
  }
  EXPECT_LE(endless.read, limits.maxSvgBytes + 65536);

  std::string whole =
      head + std::string(static_cast<size_t>(limits.maxSvgBytes) - head.size() - tail.size(), ' ') + tail;
  for (const bool over : {false, true}) {
    if (over) whole.insert(head.size(), " ");
    const IoStreamHandle stream(SDL_IOFromConstMem(whole.data(), whole.size()));
    const DecodedCanvas canvas = decodeImage(stream.get(), nullptr, ImageDecoder::Detect, limits);
    EXPECT_EQ(canvas.error, over ? "SVG document is too large" : "") << whole.size();
  }
}

// The headers of the images whose headers are text are read no further than a bound: an XPM image larger than
// the most one may hold is refused before any of it is read, and the comments before a PNM or XV thumbnail's
// size, or an XPM image's first string, are read for a megabyte at most. An XPM image of the most bytes one may
// hold decodes beside them.
TEST(RenderProcessDecode, TextImageHeadersAreReadWithinABound) {
  constexpr Sint64 kGiB = Sint64{1} << 30;
  const struct {
    const char* what;
    EndlessDocument document;
    const char* error;
  } cases[] = {
      {"a 1 GiB XPM image opening its first string", {"/* XPM */\n\"", kGiB}, "XPM image is too large"},
      {"a 1 GiB XPM image without a string", {"/* XPM */\n", kGiB, "x"}, "XPM image is too large"},
      {"a 32 MiB XPM image whose first string never ends", {"/* XPM */\n\"", kGiB / 32}, "corrupt XPM image data"},
      {"256 MiB of comment lines in an XV thumbnail", {"P7 332\n", kGiB / 4, "#comment\n"}, "corrupt XV image data"},
      {"256 MiB of comment lines in a PNM image", {"P6\n", kGiB / 4, "#comment\n"}, "corrupt PNM image data"},
  };
  for (const auto& c : cases) {
    EndlessDocument document = c.document;
    const IoStreamHandle stream(openEndless(document));
    const DecodedCanvas canvas = decodeImage(stream.get(), nullptr, ImageDecoder::Detect);
    EXPECT_EQ(canvas.error, c.error) << c.what;
    EXPECT_LE(document.read, (Sint64{1} << 20) + 65536) << c.what;
  }

  ImageLimits limits;
  limits.maxXpmBytes = int64_t{1} << 20;
  std::string xpm = xpmImage(2, 16, false);
  const std::string comment = "/*  */\n";
  xpm.insert(xpm.size(), comment);
  xpm.insert(xpm.size() - comment.size() + 3, static_cast<size_t>(limits.maxXpmBytes) - xpm.size(), ' ');
  ASSERT_EQ(xpm.size(), static_cast<size_t>(limits.maxXpmBytes));
  for (const bool over : {false, true}) {
    if (over) xpm.insert(xpm.size() - 4, " ");
    const IoStreamHandle stream(SDL_IOFromConstMem(xpm.data(), xpm.size()));
    const DecodedCanvas canvas = decodeImage(stream.get(), nullptr, ImageDecoder::Detect, limits);
    EXPECT_EQ(canvas.error, over ? "XPM image is too large" : "") << xpm.size();
  }
}

}  // namespace
