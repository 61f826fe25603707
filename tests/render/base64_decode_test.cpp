#include "render/base64_decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Base64Case {
  const char* input;
  Base64Status status;
  std::string bytes;  // when decoded
};

class Base64Decode : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Base64Decode, DecodesOrRefuses) {
  const Base64Case& c = GetParam();
  std::vector<uint8_t> bytes;
  ASSERT_EQ(decodeBase64Strict(c.input, bytes), c.status) << c.input;
  if (c.status == Base64Status::Decoded) {
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.bytes) << c.input;
  }
}

INSTANTIATE_TEST_SUITE_P(
    StrictAlphabetAndPadding, Base64Decode,
    ::testing::Values(Base64Case{"QQ==", Base64Status::Decoded, "A"}, Base64Case{"QQ", Base64Status::Decoded, "A"},
                      Base64Case{"QR==", Base64Status::Decoded, "A"},  // leftover bits are dropped
                      Base64Case{"TWE=", Base64Status::Decoded, "Ma"}, Base64Case{"TWE", Base64Status::Decoded, "Ma"},
                      Base64Case{"TWFu", Base64Status::Decoded, "Man"},
                      Base64Case{"TWFuTWFu", Base64Status::Decoded, "ManMan"},
                      Base64Case{"+/8=", Base64Status::Decoded, "\xfb\xff"}, Base64Case{"", Base64Status::Decoded, ""},
                      Base64Case{"QQ=", Base64Status::Invalid, ""}, Base64Case{"Q===", Base64Status::Invalid, ""},
                      Base64Case{"QQ==QQ==", Base64Status::Invalid, ""}, Base64Case{"Q", Base64Status::Invalid, ""},
                      Base64Case{"QQ=Q", Base64Status::Invalid, ""}, Base64Case{"=QQQ", Base64Status::Invalid, ""},
                      Base64Case{"TW Fu", Base64Status::Invalid, ""}, Base64Case{"TWFu\n", Base64Status::Invalid, ""},
                      Base64Case{"-_8=", Base64Status::Invalid, ""}, Base64Case{"data:TWFu", Base64Status::Invalid, ""},
                      Base64Case{"TWF=TWFu", Base64Status::Invalid, ""}));

TEST(Base64DecodeBytes, EveryByteValueSurvives) {
  // 0x00..0xFF encoded by a reference encoder.
  const std::string encoded =
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9Q"
      "UVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6Ch"
      "oqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy"
      "8/T19vf4+fr7/P3+/w==";
  std::vector<uint8_t> bytes;
  ASSERT_EQ(decodeBase64Strict(encoded, bytes), Base64Status::Decoded);
  ASSERT_EQ(bytes.size(), 256u);
  for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], i);
}

}  // namespace
