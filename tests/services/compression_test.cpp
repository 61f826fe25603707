#include "services/compression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

using namespace std::string_literals;

std::string sampleText(size_t length) {
  std::string text;
  for (size_t i = 0; text.size() < length; ++i) text += "line " + std::to_string(i % 97) + " of the sample\n";
  text.resize(length);
  return text;
}

std::string gzipOf(const std::string& data, uint64_t limit = 134217728) {
  std::string output, error;
  EXPECT_TRUE(gzipCompress(data, output, {6, limit}, error)) << error;
  return output;
}

struct DetectCase {
  std::string bytes;
  std::optional<ContainerKind> expected;
};

TEST(DetectContainer, NamesContainersBySignature) {
  const DetectCase cases[] = {
      {"", std::nullopt},
      {"\x1F", std::nullopt},
      {"\x1F\x8B", std::nullopt},
      {"\x1F\x8B\x08", ContainerKind::Gzip},
      {"\x1F\x8B\x00\x00"s, std::nullopt},
      {"\x1F\x9C\x08", std::nullopt},
      {"\x78\x9C", ContainerKind::Zlib},
      {"\x78\x01 more", ContainerKind::Zlib},
      {"\x88\x9C", std::nullopt},  // high bit of the window field set
      {"\x78\x9D", std::nullopt},  // not a multiple of 31
      {"PK\x03", std::nullopt},
      {"PK\x03\x04", ContainerKind::Zip},
      {"PK\x05\x06 rest", ContainerKind::Zip},
      {"PK\x07\x08", ContainerKind::Zip},
      {"PK\x01\x02", std::nullopt},
  };
  for (const DetectCase& c : cases) EXPECT_EQ(detectContainer(c.bytes), c.expected) << testing::PrintToString(c.bytes);
}

TEST(DeflateCompress, RoundTripsRawAndZlibStreamsAtEveryLevel) {
  const std::string data = sampleText(200000);
  for (bool zlibWrapper : {false, true}) {
    for (int level = -1; level <= 10; ++level) {
      std::string compressed, restored, error;
      ASSERT_TRUE(deflateCompress(data, compressed, zlibWrapper, {level, 1 << 20}, error)) << level << error;
      EXPECT_EQ(detectContainer(compressed) == ContainerKind::Zlib, zlibWrapper) << level;
      ASSERT_TRUE(inflateDecompress(compressed, restored, zlibWrapper, data.size(), error)) << level << error;
      EXPECT_EQ(restored, data);
    }
  }
}

TEST(DeflateCompress, RefusesLevelsOutsideMinusOneToTen) {
  for (int level : {-2, 11}) {
    std::string output = "stale", error;
    EXPECT_FALSE(deflateCompress("abc", output, true, {level, 100}, error));
    EXPECT_EQ(error, "compression level must be between -1 and 10");
    EXPECT_TRUE(output.empty());
  }
}

TEST(DeflateCompress, ZeroLimitFailsEveryCompressionAndGzipNeedsEighteenBytes) {
  std::string output, error;
  EXPECT_FALSE(deflateCompress("", output, false, {6, 0}, error));
  EXPECT_EQ(error, "compressed output exceeds configured limit");
  EXPECT_FALSE(deflateCompress("abc", output, true, {6, 0}, error));
  EXPECT_EQ(error, "compressed output exceeds configured limit");
  EXPECT_FALSE(gzipCompress("", output, {6, 17}, error));
  EXPECT_EQ(error, "compressed output exceeds configured limit");
  EXPECT_TRUE(gzipCompress("", output, {6, 20}, error)) << error;
}

TEST(DeflateCompress, OutputExactlyAtTheLimitPassesOneByteLessFails) {
  const std::string data = sampleText(5000);
  std::string unlimited, output, error;
  ASSERT_TRUE(deflateCompress(data, unlimited, true, {9, 1 << 20}, error));
  EXPECT_TRUE(deflateCompress(data, output, true, {9, unlimited.size()}, error)) << error;
  EXPECT_EQ(output, unlimited);
  EXPECT_FALSE(deflateCompress(data, output, true, {9, unlimited.size() - 1}, error));
  EXPECT_EQ(error, "compressed output exceeds configured limit");
  EXPECT_TRUE(output.empty());
}

TEST(InflateDecompress, OutputOfExactlyTheLimitPassesAndOneByteMoreFailsWithNoOutput) {
  const std::string data = sampleText(300000);
  for (bool zlibWrapper : {false, true}) {
    std::string compressed, output, error;
    ASSERT_TRUE(deflateCompress(data, compressed, zlibWrapper, {6, 1 << 20}, error));
    EXPECT_TRUE(inflateDecompress(compressed, output, zlibWrapper, data.size(), error)) << error;
    EXPECT_EQ(output.size(), data.size());
    EXPECT_FALSE(inflateDecompress(compressed, output, zlibWrapper, data.size() - 1, error));
    EXPECT_EQ(error, "decompressed output exceeds configured limit");
    EXPECT_TRUE(output.empty());
  }
}

TEST(InflateDecompress, RefusesTrailingBytesAndTruncatedStreams) {
  const std::string data = sampleText(1000);
  for (bool zlibWrapper : {false, true}) {
    std::string compressed, output, error;
    ASSERT_TRUE(deflateCompress(data, compressed, zlibWrapper, {6, 1 << 20}, error));
    EXPECT_FALSE(inflateDecompress(compressed + "x", output, zlibWrapper, 1 << 20, error));
    EXPECT_EQ(error, "compressed input contains trailing bytes");
    EXPECT_FALSE(inflateDecompress(compressed.substr(0, compressed.size() - 3), output, zlibWrapper, 1 << 20, error));
    EXPECT_EQ(error, "compressed input ended before the stream was complete");
    EXPECT_FALSE(inflateDecompress("", output, zlibWrapper, 1 << 20, error));
    EXPECT_EQ(error, "compressed input ended before the stream was complete");
  }
}

TEST(InflateDecompress, ReportsLibraryStatusTexts) {
  std::string output, error;
  EXPECT_FALSE(inflateDecompress("\x78\x9C\xFF\xFF\xFF", output, true, 100, error));
  EXPECT_EQ(error, "decompression failed: data error");
  std::string compressed;
  ASSERT_TRUE(deflateCompress("payload", compressed, true, {6, 100}, error));
  compressed.back() ^= 1;  // the Adler-32 trailer
  EXPECT_FALSE(inflateDecompress(compressed, output, true, 100, error));
  EXPECT_EQ(error, "decompression failed: data error");
}

TEST(GzipCompress, WritesTheFixedHeaderCrcAndSize) {
  const std::string empty = gzipOf("");
  ASSERT_EQ(empty.size(), 20u);  // 10 header bytes, the two-byte empty DEFLATE block, 8 trailer bytes
  EXPECT_EQ(empty.substr(0, 10), "\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\xFF"s);
  EXPECT_EQ(empty.substr(12), std::string(8, '\0'));

  const std::string data = "The quick brown fox";
  const std::string member = gzipOf(data);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
  std::string trailer;
  for (uint32_t value : {crc, static_cast<uint32_t>(data.size())}) {
    for (int shift = 0; shift < 32; shift += 8) trailer.push_back(static_cast<char>(value >> shift));
  }
  EXPECT_EQ(member.substr(member.size() - 8), trailer);
  std::string raw, error;
  ASSERT_TRUE(deflateCompress(data, raw, false, {6, 1000}, error));
  EXPECT_EQ(member.size(), raw.size() + 18);
}

TEST(GzipDecompress, JoinsMembersUnderOneLimit) {
  const std::string first(60, 'a');
  const std::string second(50, 'b');
  const std::string both = gzipOf(first) + gzipOf(second);
  std::string output, error;
  ASSERT_TRUE(gzipDecompress(both, output, 110, error)) << error;
  EXPECT_EQ(output, first + second);
  EXPECT_FALSE(gzipDecompress(both, output, 100, error));
  EXPECT_EQ(error, "decompressed output exceeds configured limit");
  EXPECT_TRUE(output.empty());
  EXPECT_TRUE(gzipDecompress(gzipOf(first), output, 60, error));
  EXPECT_FALSE(gzipDecompress(gzipOf(first), output, 59, error));
}

TEST(GzipDecompress, ZeroPaddingIsAnIncompleteHeaderUpToNineBytesThenABadSignature) {
  const std::string member = gzipOf("padded");
  for (size_t padding = 1; padding <= 12; ++padding) {
    std::string output, error;
    EXPECT_FALSE(gzipDecompress(member + std::string(padding, '\0'), output, 1000, error));
    EXPECT_EQ(error, padding <= 9 ? "gzip header is incomplete" : "gzip signature is invalid") << padding;
    EXPECT_TRUE(output.empty());
  }
}

// A member with the given flag byte and optional fields, around a real DEFLATE body of `content`.
std::string memberWith(uint8_t flags, const std::string& fields, const std::string& content) {
  const std::string plain = gzipOf(content);
  return plain.substr(0, 3) + static_cast<char>(flags) + plain.substr(4, 6) + fields + plain.substr(10);
}

TEST(GzipDecompress, ReadsOptionalHeaderFields) {
  std::string output, error;
  const std::string extra =
      "\x03\x00"
      "abc"s;
  ASSERT_TRUE(
      gzipDecompress(memberWith(0x04 | 0x08 | 0x10 | 0x01, extra + "name\0comment\0"s, "body"), output, 100, error))
      << error;
  EXPECT_EQ(output, "body");

  std::string header = memberWith(0x02, "", "x").substr(0, 10);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(header.data()), 10));
  const std::string goodCrc{static_cast<char>(crc & 0xFF), static_cast<char>((crc >> 8) & 0xFF)};
  EXPECT_TRUE(gzipDecompress(memberWith(0x02, goodCrc, "x"), output, 100, error)) << error;
  EXPECT_FALSE(gzipDecompress(memberWith(0x02, "\x00\x00"s, "x"), output, 100, error));
  EXPECT_EQ(error, "gzip header checksum does not match");
}

TEST(GzipDecompress, NamesEachMalformedHeaderPart) {
  const std::string good = gzipOf("x");
  struct Case {
    std::string input;
    const char* message;
  };
  const Case cases[] = {
      {"", "gzip input is empty"},
      {good.substr(0, 9), "gzip header is incomplete"},
      {"\x1F\x8C" + good.substr(2), "gzip signature is invalid"},
      {good.substr(0, 2) + '\x07' + good.substr(3), "gzip compression method is unsupported"},
      {good.substr(0, 3) + '\x20' + good.substr(4), "gzip header uses reserved flags"},
      {good.substr(0, 3) + '\x24' + good.substr(4, 6), "gzip header uses reserved flags"},
      {good.substr(0, 3) + '\x04' + good.substr(4, 6) + "\x05", "gzip extra field length is incomplete"},
      {good.substr(0, 3) + '\x04' + good.substr(4, 6) +
           "\x05\x00"
           "ab"s,
       "gzip extra field is incomplete"},
      {good.substr(0, 3) + '\x08' + good.substr(4, 6) + "name", "gzip file name is incomplete"},
      {good.substr(0, 3) + '\x10' + good.substr(4, 6) + "note", "gzip comment is incomplete"},
      {good.substr(0, 3) + '\x02' + good.substr(4, 6) + "\x01", "gzip header checksum is incomplete"},
      {good.substr(0, 10) + "\xFF\xFF\xFF", "gzip DEFLATE data is invalid"},
      {good.substr(0, 11), "gzip data ended before the DEFLATE stream was complete"},
      {good.substr(0, good.size() - 1), "gzip trailer is incomplete"},
  };
  for (const Case& c : cases) {
    std::string output, error;
    EXPECT_FALSE(gzipDecompress(c.input, output, 100, error)) << c.message;
    EXPECT_EQ(error, c.message);
    EXPECT_TRUE(output.empty());
  }
}

TEST(GzipDecompress, ChecksTheTrailer) {
  std::string member = gzipOf("checked");
  std::string output, error;
  std::string badCrc = member;
  badCrc[badCrc.size() - 8] ^= 1;
  EXPECT_FALSE(gzipDecompress(badCrc, output, 100, error));
  EXPECT_EQ(error, "gzip data checksum does not match");
  std::string badSize = member;
  badSize[badSize.size() - 4] ^= 1;
  EXPECT_FALSE(gzipDecompress(badSize, output, 100, error));
  EXPECT_EQ(error, "gzip original size does not match");
}

}  // namespace
