#include "text/text_probe.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

std::string utf16le(const std::string& ascii) {
  std::string out;
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string asciiText(size_t size) {
  std::string text;
  while (text.size() < size) text += "the quick brown fox jumps\n";
  text.resize(size);
  return text;
}

TEST(TextProbe, EmptyInputIsValidUtf8AndUnsureUtf16) {
  const ProbeReport report = probeText("", kDefaultProbeSample);
  EXPECT_EQ(report.initialSample, 1024u);
  EXPECT_EQ(report.sampleSize, 0u);
  EXPECT_EQ(report.inspectedSize, 0u);
  EXPECT_TRUE(report.complete);
  EXPECT_EQ(report.utf8.verdict, ProbeVerdict::Valid);
  EXPECT_EQ(report.utf16.verdict, ProbeVerdict::Unsure);
  EXPECT_EQ(report.binary.verdict, ProbeVerdict::Invalid);
  EXPECT_EQ(report.mark.encoding, nullptr);
}

TEST(TextProbe, MarklessUtf16IsConfirmedBySecondPass) {
  const std::string text = utf16le(asciiText(1000));
  const ProbeReport report = probeText(text, kDefaultProbeSample);
  EXPECT_EQ(report.utf16.verdict, ProbeVerdict::Valid);
  EXPECT_TRUE(report.utf16.littleEndian);
  EXPECT_FALSE(report.utf16.fromMark);
  EXPECT_EQ(report.sampleSize, 2000u);
  EXPECT_TRUE(report.complete);

  const ProbeReport limited = probeText(text, 1024);
  EXPECT_EQ(limited.utf16.verdict, ProbeVerdict::Unsure);
  EXPECT_EQ(limited.binary.verdict, ProbeVerdict::Unsure);
}

TEST(TextProbe, Utf32MarkMakesUtf16InvalidAndTextBinary) {
  std::string text = "\xFF\xFE\0\0"s;
  for (int i = 0; i < 50; ++i) text += "a\0\0\0"s;
  const ProbeReport report = probeText(text, kDefaultProbeSample);
  EXPECT_STREQ(report.mark.encoding, "utf32le");
  EXPECT_EQ(report.utf16.verdict, ProbeVerdict::Invalid);
  EXPECT_EQ(report.binary.verdict, ProbeVerdict::Valid);
}

TEST(TextProbe, Utf8SequenceCutAtTheSampleEdgeIsReadPastIt) {
  std::string text = asciiText(1023) + "\xC3\xA9" + asciiText(100);
  const ProbeReport report = probeText(text, 1024);
  EXPECT_EQ(report.utf8.verdict, ProbeVerdict::Unsure);
  EXPECT_EQ(report.sampleSize, 1024u);
  EXPECT_EQ(report.inspectedSize, 1025u);
}

TEST(TextProbe, Utf8ErrorsNameTheLeadByte) {
  const Utf8Check lone = validateUtf8Sample("\x80", 1);
  EXPECT_EQ(lone.verdict, ProbeVerdict::Invalid);
  EXPECT_EQ(lone.invalidOffset, 1u);
  EXPECT_EQ(validateUtf8Sample("ab\xE2\x82", 4).invalidOffset, 3u);        // cut off by the input's end
  EXPECT_EQ(validateUtf8Sample("a\xED\xA0\x80", 4).invalidOffset, 2u);     // a surrogate
  EXPECT_EQ(validateUtf8Sample("\xC0\xAF", 2).invalidOffset, 1u);          // overlong
  EXPECT_EQ(validateUtf8Sample("\xF4\x90\x80\x80", 4).invalidOffset, 1u);  // above U+10FFFF
  EXPECT_EQ(validateUtf8Sample("\xF0\x9F\x98\x80", 4).verdict, ProbeVerdict::Valid);
}

TEST(TextProbe, LargeAsciiTextGrowsTheSampleToTheLimit) {
  const ProbeReport report = probeText(asciiText(20000), kDefaultProbeSample);
  EXPECT_EQ(report.sampleSize, 8192u);
  EXPECT_FALSE(report.complete);
  EXPECT_EQ(report.utf16.verdict, ProbeVerdict::Invalid);
  EXPECT_EQ(report.utf8.verdict, ProbeVerdict::Unsure);
  EXPECT_EQ(report.binary.verdict, ProbeVerdict::Invalid);
}

TEST(TextProbe, ShortInputsAreTooShortForTheUtf16Pattern) {
  EXPECT_EQ(probeText(utf16le(asciiText(15)) + "x", kDefaultProbeSample).utf16.verdict, ProbeVerdict::Unsure);
}

TEST(TextProbe, SurrogatePairMayEndPastTheSample) {
  std::string text = utf16le(asciiText(16)) + "\x3D\xD8\x00\xDE"s;  // 32 bytes, then one pair
  uint64_t inspected = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  EXPECT_TRUE(looksLikeUtf16(bytes, text.size(), 34, true, &inspected));
  EXPECT_EQ(inspected, 36u);
}

TEST(TextProbe, ControlBytesDecideBinaryWithoutNuls) {
  const std::string controls(20, '\x01');
  const auto* bytes = reinterpret_cast<const unsigned char*>(controls.data());
  EXPECT_EQ(classifyBinarySample(bytes, controls.size(), ProbeVerdict::Invalid).verdict, ProbeVerdict::Valid);
  const std::string allowed = "\t\n\r\x1A\x1B\x08 abc";
  const auto* allowedBytes = reinterpret_cast<const unsigned char*>(allowed.data());
  const BinarySample sample = classifyBinarySample(allowedBytes, allowed.size(), ProbeVerdict::Invalid);
  EXPECT_EQ(sample.controlCount, 0u);
  EXPECT_EQ(sample.verdict, ProbeVerdict::Invalid);
}

}  // namespace
