#include "render/png_writer.h"

#include <SDL3_image/SDL_image.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "deep_directory.h"
#include "file_owners.h"
#include "platform/file_size_signal.h"
#include "render/canvas_decode.h"

namespace {

namespace fs = std::filesystem;

struct Chunk {
  std::string type;
  std::string data;
  bool crcValid;
};

uint32_t bigEndian(const std::string& bytes, size_t at) {
  return uint32_t{static_cast<uint8_t>(bytes[at])} << 24 | uint32_t{static_cast<uint8_t>(bytes[at + 1])} << 16 |
         uint32_t{static_cast<uint8_t>(bytes[at + 2])} << 8 | static_cast<uint8_t>(bytes[at + 3]);
}

std::vector<Chunk> chunksOf(const std::string& png) {
  std::vector<Chunk> chunks;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = bigEndian(png, at);
    const std::string typeAndData = png.substr(at + 4, 4 + length);
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(typeAndData.data()), static_cast<uInt>(typeAndData.size())));
    chunks.push_back({typeAndData.substr(0, 4), typeAndData.substr(4), crc == bigEndian(png, at + 8 + length)});
    at += 12 + length;
  }
  return chunks;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class PngWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = fs::path(::testing::TempDir()) / ("png_writer_" + std::to_string(getpid()));
    fs::create_directories(directory);
  }
  void TearDown() override { fs::remove_all(directory); }

  // A canvas of varied pixels, some half transparent.
  static CanvasBitmap noiseCanvas(int32_t width, int32_t height) {
    CanvasBitmap canvas(width, height);
    uint32_t state = 12345;
    for (uint32_t& pixel : canvas.pixels) {
      state = state * 1103515245u + 12345u;
      pixel = (state >> 8) | ((state & 1) != 0 ? 0xFF000000u : 0x80000000u);
    }
    return canvas;
  }

  fs::path directory;
};

TEST(PngText, ChunkLayoutAndCrc) {
  const std::string chunk = itxtChunk({"Title", "hi"});
  const std::string expectedData = std::string("Title") + std::string(5, '\0') + "hi";
  ASSERT_EQ(chunk.size(), 12 + expectedData.size());
  EXPECT_EQ(bigEndian(chunk, 0), expectedData.size());
  EXPECT_EQ(chunk.substr(4, 4), "iTXt");
  EXPECT_EQ(chunk.substr(8, expectedData.size()), expectedData);
  const std::string typeAndData = "iTXt" + expectedData;
  EXPECT_EQ(bigEndian(chunk, 8 + expectedData.size()),
            crc32(0, reinterpret_cast<const Bytef*>(typeAndData.data()), static_cast<uInt>(typeAndData.size())));
  EXPECT_EQ(bigEndian(itxtChunk({"Key", ""}), 0), 3u + 5u) << "an empty value";
}

TEST(PngText, KeysAndValueLimits) {
  EXPECT_EQ(checkPngKey(std::string(79, 'k')), PngKeyCheck::Valid);
  EXPECT_EQ(checkPngKey(std::string(80, 'k')), PngKeyCheck::BadLength);
  EXPECT_EQ(checkPngKey(""), PngKeyCheck::BadLength);
  EXPECT_EQ(checkPngKey(std::string("a\0b", 3)), PngKeyCheck::HoldsZero);
  // The chunk's data length (key + 5 + value) must stay within PNG's 2^31 - 1.
  EXPECT_TRUE(pngTextFits(4, 0x7FFFFFFF - 9));
  EXPECT_FALSE(pngTextFits(4, 0x7FFFFFFF - 8));
  EXPECT_FALSE(pngTextFits(4, 0xFFFFFFFFull));
}

TEST(PngText, DefaultsComeFirstAndScriptKeysReplaceOrAppend) {
  std::vector<PngTextEntry> entries = defaultPngMetadata();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, "Software");
  EXPECT_EQ(entries[0].value, "Qz by Varentil");
  EXPECT_EQ(entries[1].key, "Creation Time");
  EXPECT_EQ(entries[1].value.size(), 20u);
  setPngMetadata(entries, "Author", "me");
  setPngMetadata(entries, "Software", "other");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].value, "other");
  EXPECT_EQ(entries[2].key, "Author");
  EXPECT_EQ(pngCreationTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(pngCreationTime(1700000000), "2023-11-14T22:13:20Z");
  EXPECT_EQ(pngCreationTime(-1), "");
}

TEST(PngText, FirstIdatIsFoundOrTheStreamRefused) {
  std::string png = std::string("\x89PNG\r\n\x1a\n", 8);
  const auto chunk = [](const std::string& type, const std::string& data) {
    std::string out(4, '\0');
    out[3] = static_cast<char>(data.size());
    return out + type + data + std::string(4, '\0');
  };
  const auto search = [](const std::string& bytes) {
    return findFirstIdat({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  };
  const std::string ihdr = chunk("IHDR", std::string(13, '\0'));
  EXPECT_EQ(search(png + ihdr + chunk("IDAT", "xy") + chunk("IEND", "")).offset, 8 + ihdr.size());
  EXPECT_STREQ(search(png + ihdr + chunk("IEND", "")).error, "encoded PNG has no image data");
  EXPECT_STREQ(search(png.substr(0, 19)).error, "encoded PNG has no image data");
  std::string overlong = png + ihdr + chunk("IDAT", "");
  overlong[8 + 3] = 100;  // IHDR claims more bytes than follow
  EXPECT_STREQ(search(overlong).error, "encoded PNG contains an invalid chunk");
}

TEST_F(PngWriterTest, MetadataPrecedesTheFirstIdatAndPixelsSurvive) {
  const CanvasBitmap canvas = noiseCanvas(33, 17);
  std::vector<PngTextEntry> entries = defaultPngMetadata();
  setPngMetadata(entries, "Title", "noise");
  const fs::path path = directory / "out.png";
  ASSERT_EQ(savePngWithMetadata(canvas, path.string(), entries), std::nullopt);

  const std::vector<Chunk> chunks = chunksOf(readFile(path));
  ASSERT_GE(chunks.size(), 6u);
  EXPECT_EQ(chunks.front().type, "IHDR");
  std::vector<std::string> texts;
  size_t firstIdat = chunks.size();
  for (size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_TRUE(chunks[i].crcValid) << chunks[i].type;
    if (chunks[i].type == "iTXt") {
      EXPECT_LT(i, firstIdat);
      texts.push_back(chunks[i].data.substr(0, chunks[i].data.find('\0')));
    }
    if (chunks[i].type == "IDAT" && firstIdat == chunks.size()) firstIdat = i;
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Software", "Creation Time", "Title"}));
  EXPECT_EQ(chunks.back().type, "IEND");

  const DecodedCanvas decoded = canvasFromSurface(IMG_Load(path.string().c_str()));
  ASSERT_TRUE(decoded.bitmap) << decoded.error;
  EXPECT_EQ(decoded.bitmap->pixels, canvas.pixels);
}

TEST_F(PngWriterTest, MissingDirectoryFailsWithoutCreatingAnything) {
  const fs::path path = directory / "missing" / "out.png";
  const std::optional<std::string> error = savePngWithMetadata(noiseCanvas(2, 2), path.string(), {});
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("No such file or directory"), std::string::npos) << *error;
  EXPECT_FALSE(fs::exists(directory / "missing"));
}

// The temporary file of a name near the system's 255-byte limit gets a shorter name beside it.
TEST_F(PngWriterTest, NamesUpToTheSystemLimitAreSaved) {
  std::string cjk82, cjk85;
  for (int i = 0; i < 85; ++i) (i < 82 ? cjk82 : cjk85) += "\u6587";
  cjk85 = cjk82 + cjk85;
  for (const std::string& name : {std::string(251, 'p') + ".png", cjk82, cjk85, std::string("short.png")}) {
    const std::optional<std::string> error = savePngWithMetadata(noiseCanvas(4, 4), (directory / name).string(), {});
    EXPECT_FALSE(error) << name.size() << ": " << *error;
    EXPECT_EQ(readFile(directory / name).substr(0, 4), "\x89PNG") << name.size();
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1) << name.size();
    fs::remove(directory / name);
  }
}

// The file's own path is longer than one system call takes; it is reached through its directory.
TEST_F(PngWriterTest, AShortNameInADirectoryNearThePathLengthLimitIsSaved) {
  const qztest::DeepDirectory deep(directory, 4090);
  for (int round = 0; round < 2; ++round) {
    const std::optional<std::string> error =
        savePngWithMetadata(noiseCanvas(4, 4 + round), deep / "a.png", defaultPngMetadata());
    EXPECT_FALSE(error) << *error;
    const std::vector<Chunk> chunks = chunksOf(deep.read("a.png"));
    ASSERT_GE(chunks.size(), 4u);
    EXPECT_EQ(bigEndian(chunks[0].data, 4), 4u + round);  // the IHDR's height
    EXPECT_EQ(chunks[1].type, "iTXt");
    EXPECT_EQ(deep.entries(), 1u);
  }
}

// Another user's file that root replaces stays that user's, with its group and bits.
TEST_F(PngWriterTest, TheReplacedFileKeepsItsOwnerGroupAndBits) {
  if (geteuid() != 0) GTEST_SKIP() << "only root makes another user's file";
  const fs::path path = directory / "theirs.png";
  std::ofstream(path, std::ios::binary) << "old";
  ASSERT_TRUE(qztest::makeGroupWritableFile(path.string()));
  const std::optional<std::string> error = savePngWithMetadata(noiseCanvas(4, 4), path.string(), {});
  EXPECT_FALSE(error) << *error;
  EXPECT_EQ(qztest::ownershipOf(path.string()), qztest::kGroupWritableFile);
  EXPECT_EQ(readFile(path).substr(0, 4), "\x89PNG");
}

TEST_F(PngWriterTest, FailedOverwriteLeavesTheOldFileByteForByte) {
  const fs::path path = directory / "keep.png";
  const std::string old = "the old content of the file";
  std::ofstream(path, std::ios::binary) << old;
  // A file size limit makes the write fail even for root; qz ignores the signal it raises.
  ignoreFileSizeSignal();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::optional<std::string> error = savePngWithMetadata(noiseCanvas(64, 64), path.string(), {});
  setrlimit(RLIMIT_FSIZE, &saved);
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, "file write failed: File too large");
  EXPECT_EQ(readFile(path), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1) << "no temporary file left";
}

}  // namespace
