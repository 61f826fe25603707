// JPEG files whose scans leave the decoder nothing to draw with (no scan, no tables, no DC coefficients) are
// refused; files whose scans cover only part of the image (a progressive or multi-scan file cut short) draw
// with the rest filled, never with memory the decoder did not write; and data after the end of the image
// (the video a motion photo carries) is not read as more scans. Each image is written at test time.
#include <SDL3/SDL_iostream.h>
#include <SDL3/SDL_stdinc.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "image_decode_support.h"
#include "render/image_header.h"
#include "scratch_dir.h"

namespace {

// SDL's allocator (which SDL_image's decoders use) fills every block it hands out with this byte.
unsigned char gFillByte = 0;

void* fillingMalloc(size_t size) {
  void* block = std::malloc(size);
  if (block != nullptr) std::memset(block, gFillByte, malloc_usable_size(block));
  return block;
}

void* fillingRealloc(void* old, size_t size) {
  const size_t before = old != nullptr ? malloc_usable_size(old) : 0;
  void* block = std::realloc(old, size);
  const size_t after = block != nullptr ? malloc_usable_size(block) : 0;
  if (after > before) std::memset(static_cast<unsigned char*>(block) + before, gFillByte, after - before);
  return block;
}

void* plainCalloc(size_t count, size_t size) { return std::calloc(count, size); }
void plainFree(void* block) { std::free(block); }

// The image decoded twice, SDL's allocations filled with 0x00 the first time and 0xFF the second: any pixel
// that differs between the two was made from memory that the decoder never wrote.
struct DecodedTwice {
  Loaded zeroFilled, oneFilled;
};

DecodedTwice decodeTwice(const std::string& bytes) {
  SDL_malloc_func oldMalloc = nullptr;
  SDL_calloc_func oldCalloc = nullptr;
  SDL_realloc_func oldRealloc = nullptr;
  SDL_free_func oldFree = nullptr;
  SDL_GetMemoryFunctions(&oldMalloc, &oldCalloc, &oldRealloc, &oldFree);
  SDL_SetMemoryFunctions(fillingMalloc, plainCalloc, fillingRealloc, plainFree);
  DecodedTwice decoded;
  gFillByte = 0x00;
  decoded.zeroFilled = load(bytes);
  gFillByte = 0xFF;
  decoded.oneFilled = load(bytes);
  SDL_SetMemoryFunctions(oldMalloc, oldCalloc, oldRealloc, oldFree);
  return decoded;
}

constexpr int kWidth = 64, kHeight = 48;

// A smooth colour picture, so that a JPEG of it stays close to it.
uint32_t pictureAt(int x, int y) {
  return 0xFF000000u | uint32_t(x * 4) << 16 | uint32_t(y * 5) << 8 | uint32_t((x + y) * 2);
}

// The largest difference of a channel between the decoded pixels and the picture.
int largestError(const std::vector<uint32_t>& pixels) {
  int largest = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t got = pixels[static_cast<size_t>(y) * kWidth + x], want = pictureAt(x, y);
      for (int shift = 0; shift < 32; shift += 8) {
        largest = std::max(largest, std::abs(int(got >> shift & 0xFF) - int(want >> shift & 0xFF)));
      }
    }
  }
  return largest;
}

// One marker segment of a JPEG file, from its 0xFF on; a scan's segment runs on over its coded data up to
// the next marker that is not a restart.
struct Segment {
  uint8_t marker;
  std::string bytes;
};

std::vector<Segment> segmentsOf(const std::string& jpeg) {
  std::vector<Segment> segments{{0xD8, jpeg.substr(0, 2)}};
  const auto byteAt = [&](size_t at) { return static_cast<uint8_t>(jpeg[at]); };
  for (size_t at = 2; at + 1 < jpeg.size();) {
    const uint8_t marker = byteAt(at + 1);
    size_t end = marker == 0xD9 ? at + 2 : at + 2 + (size_t{byteAt(at + 2)} << 8 | byteAt(at + 3));
    if (marker == 0xDA) {
      while (end + 1 < jpeg.size() &&
             !(byteAt(end) == 0xFF && byteAt(end + 1) != 0 && (byteAt(end + 1) & 0xF8) != 0xD0)) {
        ++end;
      }
    }
    segments.push_back({marker, jpeg.substr(at, end - at)});
    at = end;
  }
  return segments;
}

// The file with only the segments `keep` answers true for.
std::string keeping(const std::string& jpeg, const std::function<bool(const Segment&)>& keep) {
  std::string kept;
  for (const Segment& segment : segmentsOf(jpeg)) {
    if (keep(segment)) kept += segment.bytes;
  }
  return kept;
}

// The first spectral index of a scan's segment (after its length, component count and selectors).
int spectralStart(const Segment& scan) { return static_cast<uint8_t>(scan.bytes[5 + 2 * scan.bytes[4]]); }

std::string withoutMarker(const std::string& jpeg, uint8_t marker) {
  return keeping(jpeg, [&](const Segment& segment) { return segment.marker != marker; });
}

std::string withFirstScansOnly(const std::string& jpeg, int scans) {
  int seen = 0;
  return keeping(jpeg, [&](const Segment& segment) { return segment.marker != 0xDA || ++seen <= scans; });
}

// A memory stream that counts the bytes read from it.
struct CountedStream {
  const std::string& bytes;
  int64_t at = 0;
  uint64_t bytesRead = 0;
};

SDL_IOStream* openCounted(CountedStream& counted) {
  SDL_IOStreamInterface calls;
  SDL_INIT_INTERFACE(&calls);
  calls.size = [](void* data) { return static_cast<Sint64>(static_cast<CountedStream*>(data)->bytes.size()); };
  calls.seek = [](void* data, Sint64 offset, SDL_IOWhence whence) -> Sint64 {
    auto& counted = *static_cast<CountedStream*>(data);
    const auto size = static_cast<Sint64>(counted.bytes.size());
    const Sint64 base = whence == SDL_IO_SEEK_SET ? 0 : whence == SDL_IO_SEEK_CUR ? counted.at : size;
    counted.at = std::clamp<Sint64>(base + offset, 0, size);
    return counted.at;
  };
  calls.read = [](void* data, void* into, size_t size, SDL_IOStatus* status) {
    auto& counted = *static_cast<CountedStream*>(data);
    const size_t got = std::min(size, counted.bytes.size() - static_cast<size_t>(counted.at));
    std::memcpy(into, counted.bytes.data() + counted.at, got);
    counted.at += static_cast<Sint64>(got);
    counted.bytesRead += got;
    if (got < size) *status = SDL_IO_STATUS_EOF;
    return got;
  };
  calls.close = [](void*) { return true; };
  return SDL_OpenIO(&calls, &counted);
}

class JpegDecode : public ScratchDirTest {
 protected:
  // The picture through pnmtojpeg with `options`; a scan script, when given, is passed with -scans.
  std::string encoded(const std::string& options, const std::string& scanScript = "") {
    std::string ppm = "P6\n" + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n255\n";
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const uint32_t pixel = pictureAt(x, y);
        ppm += {char(pixel >> 16), char(pixel >> 8), char(pixel)};
      }
    }
    writeText("picture.ppm", ppm);
    std::string command = "pnmtojpeg " + options;
    if (!scanScript.empty()) {
      writeText("scans.txt", scanScript);
      command += " -scans='" + path("scans.txt") + "'";
    }
    FILE* pipe = popen((command + " < '" + path("picture.ppm") + "' 2>/dev/null").c_str(), "r");
    std::string jpeg;
    if (pipe == nullptr) return jpeg;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) jpeg.append(buffer, got);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return jpeg;
  }
};

TEST_F(JpegDecode, FilesWithoutScansTablesOrDcCoefficientsAreRefused) {
  const std::string baseline = encoded("-quality=90");
  const std::string progressive = encoded("-quality=90 -progressive");
  ASSERT_FALSE(baseline.empty());
  ASSERT_FALSE(progressive.empty());
  const struct {
    const char* what;
    std::string bytes;
  } refused[] = {
      // A motion-JPEG frame leaves out its Huffman tables and relies on the video format's defaults.
      {"baseline without Huffman tables", withoutMarker(baseline, 0xC4)},
      {"baseline without quantization tables", withoutMarker(baseline, 0xDB)},
      {"baseline without scans", withoutMarker(baseline, 0xDA)},
      {"progressive without scans", withoutMarker(progressive, 0xDA)},
      {"progressive without DC scans",
       keeping(progressive, [](const Segment& s) { return s.marker != 0xDA || spectralStart(s) != 0; })},
      // The decoder stops at a marker it does not take there, and reports what it decoded before as success.
      {"tables followed by a second frame",
       keeping(baseline, [](const Segment& s) { return s.marker != 0xDA && s.marker != 0xD9; }) +
           keeping(baseline, [](const Segment& s) { return s.marker == 0xC0 || s.marker == 0xD9; })},
  };
  for (const auto& c : refused) {
    const DecodedTwice decoded = decodeTwice(c.bytes);
    EXPECT_FALSE(decoded.zeroFilled.decoded) << c.what;
    EXPECT_FALSE(decoded.oneFilled.decoded) << c.what;
    EXPECT_EQ(decoded.zeroFilled.error, "corrupt JPEG image data") << c.what;
  }
  for (const std::string* whole : {&baseline, &progressive}) {
    const DecodedTwice decoded = decodeTwice(*whole);
    ASSERT_TRUE(decoded.zeroFilled.decoded) << decoded.zeroFilled.error;
    EXPECT_EQ(decoded.zeroFilled.pixels, decoded.oneFilled.pixels);
    EXPECT_LE(largestError(decoded.zeroFilled.pixels), 12);
  }
}

TEST_F(JpegDecode, FilesCutShortDrawOnlyWhatTheDecoderWrote) {
  const std::string progressive = encoded("-quality=90 -progressive");
  // One scan for each component in turn, as a sequential file may be coded.
  const std::string componentByComponent = encoded("-quality=90", "0;\n1;\n2;\n");
  ASSERT_FALSE(progressive.empty());
  ASSERT_FALSE(componentByComponent.empty());
  // Each is the picture, coarser for fewer coefficients (a sequential file cut short is checked below).
  const struct {
    const char* what;
    std::string bytes;
    int largestError;
  } cases[] = {
      {"progressive, DC scan only", withFirstScansOnly(progressive, 1), 48},
      {"progressive, DC and first AC scans", withFirstScansOnly(progressive, 3), 24},
      {"progressive, cut off at 70% of its bytes", progressive.substr(0, progressive.size() * 7 / 10), 24},
      {"sequential, first component's scan only", withFirstScansOnly(componentByComponent, 1), 255},
      {"sequential, all three scans", componentByComponent, 12},
  };
  for (const auto& c : cases) {
    const DecodedTwice decoded = decodeTwice(c.bytes);
    ASSERT_TRUE(decoded.zeroFilled.decoded) << c.what << ": " << decoded.zeroFilled.error;
    EXPECT_EQ(decoded.zeroFilled.width, kWidth) << c.what;
    EXPECT_EQ(decoded.zeroFilled.pixels, decoded.oneFilled.pixels) << c.what << ": unwritten memory drawn";
    EXPECT_LE(largestError(decoded.zeroFilled.pixels), c.largestError) << c.what;
  }
  // Cut after its luminance scan, the sequential file is the picture in grey.
  const Loaded luminance = decodeTwice(withFirstScansOnly(componentByComponent, 1)).zeroFilled;
  const uint32_t middle = luminance.pixels[static_cast<size_t>(kHeight / 2) * kWidth + kWidth / 2];
  EXPECT_EQ(middle >> 16 & 0xFF, middle & 0xFF) << std::hex << middle;
}

TEST_F(JpegDecode, DataAfterTheEndOfTheImageIsNotReadAsScans) {
  const std::string photo = encoded("-quality=90");
  ASSERT_FALSE(photo.empty());
  // 8 MiB of other data after the picture, as a motion photo carries its video: read as scans, its 4 Mi
  // start-of-scan markers would be that many decodes of the whole picture. (Scans before the end are each
  // such a decode still: ImageWork.JpegsWhoseScansPassTheBudgetAreRefused.)
  std::string video;
  while (video.size() < (size_t{8} << 20)) video += "\xff\xda";
  const Loaded carried = load(photo + video);
  ASSERT_TRUE(carried.decoded) << carried.error;
  EXPECT_EQ(carried.pixels, load(photo).pixels);
}

TEST_F(JpegDecode, ScansAreWalkedAtTheCostOfTheBytesTheyHold) {
  const std::string progressive = encoded("-progressive");
  ASSERT_FALSE(progressive.empty());
  // The tables and frame, then 100,000 DC scans of 14 bytes each (their headers alone) and the end.
  const std::vector<Segment> segments = segmentsOf(progressive);
  std::string manyScans;
  std::string scanHeader;
  for (const Segment& segment : segments) {
    if (segment.marker == 0xDA) {
      scanHeader = segment.bytes.substr(0, 2 + (static_cast<uint8_t>(segment.bytes[2]) << 8 | segment.bytes[3]));
      break;
    }
    manyScans += segment.bytes;
  }
  for (int scan = 0; scan < 100000; ++scan) manyScans += scanHeader;
  manyScans += "\xff\xd9";
  CountedStream counted{manyScans};
  const IoStreamHandle stream(openCounted(counted));
  const std::optional<DeclaredImage> declared = declaredImageSize(stream.get(), nullptr);
  ASSERT_TRUE(declared.has_value());
  EXPECT_EQ(declared->passes, 100000);
  EXPECT_EQ(declared->corruption, nullptr);
  EXPECT_LT(counted.bytesRead, 8 * manyScans.size()) << "of " << manyScans.size() << " bytes";
}

}  // namespace
