#include "host/forwarded_request.h"

#include <gtest/gtest.h>

namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string text;
  for (const int value : values) text.push_back(static_cast<char>(value));
  return text;
}

std::string le32(uint32_t value) {
  return bytes({int(value & 0xff), int(value >> 8 & 0xff), int(value >> 16 & 0xff), int(value >> 24)});
}

// Decodes from a byte string, reading exactly as a socket would.
bool decodeFrom(const std::string& wire, ForwardedRequest& request) {
  size_t position = 0;
  return decodeRequest(
      [&](char* buffer, size_t count) {
        if (wire.size() - position < count) return false;
        wire.copy(buffer, count, position);
        position += count;
        return true;
      },
      request);
}

TEST(ForwardedRequest, HashAndInstanceNames) {
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(hex16(0xaf63dc4c8601ec8cULL), "af63dc4c8601ec8c");
  EXPECT_EQ(hex16(1), "0000000000000001");
  EXPECT_EQ(instanceKeyDigits(""), instanceKeyDigits("qz"));
  EXPECT_EQ(instanceKeyDigits("qz"), hex16(fnv1a64("qz")));
  EXPECT_NE(instanceKeyDigits("/opt/qz/qz"), instanceKeyDigits("/opt/qz/QZ")) << "keys are used byte for byte";
}

TEST(ForwardedRequest, GoldenWireBytesAndRoundTrip) {
  const std::vector<std::string> args = {"qz", "a"};
  const std::optional<std::string> head = encodeRequestHead(0x0102030405060708ULL, "/w", args, 2);
  const std::string expected = bytes(
      {8, 7, 6, 5, 4, 3, 2, 1, 2, 0, 0, 0, '/', 'w', 2, 0, 0, 0x80, 2, 0, 0, 0, 'q', 'z', 1, 0, 0, 0, 'a', 2, 0, 0, 0});
  ASSERT_TRUE(head);
  EXPECT_EQ(*head, expected);
  EXPECT_EQ(*encodeRequestHead(0, "", {}, std::nullopt), std::string(16, '\0')) << "no stdin: bit 31 clear";

  ForwardedRequest request;
  ASSERT_TRUE(decodeFrom(expected + "xy", request));
  EXPECT_EQ(request.request_id, 0x0102030405060708ULL);
  EXPECT_EQ(request.working_directory, "/w");
  EXPECT_EQ(request.args, args);
  EXPECT_EQ(request.stdin_data, "xy");
  EXPECT_EQ(requestMessageSize(request), expected.size() + 2);

  ForwardedRequest emptyStdin;
  ASSERT_TRUE(decodeFrom(*encodeRequestHead(0, "", {""}, 0), emptyStdin));
  EXPECT_EQ(emptyStdin.stdin_data, "") << "empty standard input is present, not missing";
  EXPECT_EQ(emptyStdin.args, std::vector<std::string>{""});
}

TEST(ForwardedRequest, RequestsOverAWireLimitAreNotEncoded) {
  const uint32_t oneArgumentFillsTheHead = kMaxRequestHeadBytes - 16 - 4;
  struct Case {
    const char* name;
    size_t directoryBytes;
    std::vector<std::string> args;
    std::optional<uint64_t> stdinSize;
    bool fits;
  } cases[] = {
      {"1024 arguments", 0, std::vector<std::string>(1024), std::nullopt, true},
      {"1025 arguments", 0, std::vector<std::string>(1025), std::nullopt, false},
      {"largest directory", kMaxWorkingDirectoryBytes, {}, std::nullopt, true},
      {"directory of 1,048,561 bytes", kMaxWorkingDirectoryBytes + 1, {}, std::nullopt, false},
      {"64 MiB of stdin", 0, {}, kMaxForwardedStdinBytes, true},
      {"64 MiB + 1 of stdin", 0, {}, kMaxForwardedStdinBytes + 1, false},
      {"head of exactly 0x100000", 0, {std::string(oneArgumentFillsTheHead, 'x')}, 0, true},
      {"head of 0x100001", 0, {std::string(oneArgumentFillsTheHead + 1, 'x')}, 0, false},
      {"head full before the next length", 0, {std::string(oneArgumentFillsTheHead - 1, 'x'), ""}, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encodeRequestHead(1, std::string(c.directoryBytes, 'd'), c.args, c.stdinSize).has_value(), c.fits)
        << c.name;
  }
}

TEST(ForwardedRequest, DecodingStopsAtTheFirstBrokenLimitAndKeepsTheId) {
  const std::string id = bytes({7, 0, 0, 0, 0, 0, 0, 0});
  const std::string oneArgument = le32(1);
  struct Case {
    const char* name;
    std::string wire;
  } cases[] = {
      {"directory too long", id + le32(kMaxWorkingDirectoryBytes + 1)},
      {"too many arguments", id + le32(0) + le32(1025)},
      {"argument over the head limit", id + le32(0) + oneArgument + le32(kMaxRequestHeadBytes - 19)},
      {"stdin over its limit", id + le32(0) + le32(kStdinFollowsBit) + le32(kMaxForwardedStdinBytes + 1)},
      {"truncated argument", id + le32(0) + oneArgument + le32(5) + "abc"},
      {"truncated stdin", id + le32(0) + le32(kStdinFollowsBit) + le32(3) + "ab"},
  };
  for (const Case& c : cases) {
    ForwardedRequest request;
    EXPECT_FALSE(decodeFrom(c.wire, request)) << c.name;
    EXPECT_EQ(request.request_id, 7u) << c.name;
  }
  ForwardedRequest partialId;
  EXPECT_FALSE(decodeFrom(bytes({7, 0, 0}), partialId));
  EXPECT_EQ(partialId.request_id, 0u);
  ForwardedRequest largest, overLargest;
  EXPECT_TRUE(decodeFrom(*encodeRequestHead(kMaxRequestId, "", {"qz"}, std::nullopt), largest));
  EXPECT_FALSE(decodeFrom(*encodeRequestHead(kMaxRequestId + 1, "", {"qz"}, std::nullopt), overLargest))
      << "an id that the scripts would see as a negative integer";
}

TEST(ForwardedRequest, WaitScan) {
  struct Case {
    std::vector<std::string> args;
    bool waits;
  } cases[] = {
      {{"qz", "--wait", "f"}, true},
      {{"qz", "f", "--wait"}, true},
      {{"--wait"}, false},                  // argument 0 is never scanned
      {{"qz", "--help", "--wait"}, false},  // help ends the scan
      {{"qz", "--wait", "-?"}, false},      // help wins over what came before
      {{"qz", "--file", "--wait"}, false},  // the value of --file
      {{"qz", "--file", "x", "--wait"}, true},
      {{"qz", "--wait", "--file"}, true},  // --file without a value ends the scan
      {{"qz", "--WAIT"}, false},
      {{"qz", "/?", "--wait"}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(waitRequested(c.args), c.waits) << ::testing::PrintToString(c.args);
}

TEST(ForwardedRequest, RequestIdsAreNeverZeroAndFitSixtyThreeBits) {
  EXPECT_EQ(makeRequestId(0, 0, 0), 1u);
  EXPECT_EQ(makeRequestId(0, 5, 5), 1u);
  EXPECT_EQ(makeRequestId(0x80000001ULL, 0, 0), 0x0000000100000000ULL);
  EXPECT_EQ(makeRequestId(2, 0x10, 1), (uint64_t{2} << 32) ^ 0x11);
}

}  // namespace
