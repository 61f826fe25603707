// The process-wide font settings, the counters, the diagnostic ring and the font load log.
#include <gtest/gtest.h>

#include <string>

#include "font_test_support.h"

namespace {

using fonttest::FontTest;

TEST_F(FontTest, SetFontQuality_ClampsEachOptionIntoItsRange) {
  FontQuality quality;
  quality.alphaGamma = 10.0f;
  quality.alphaContrast = -3.0f;
  quality.embolden = -3.0f;
  setFontQuality(quality);
  EXPECT_FLOAT_EQ(currentFontQuality().alphaGamma, 4.0f);
  EXPECT_FLOAT_EQ(currentFontQuality().alphaContrast, -1.0f);
  EXPECT_FLOAT_EQ(currentFontQuality().embolden, 0.0f);
  quality.alphaGamma = 0.1f;
  quality.alphaContrast = 2.0f;
  quality.embolden = 5.0f;
  setFontQuality(quality);
  EXPECT_FLOAT_EQ(quality.alphaGamma, 0.25f);  // clamped in place too
  EXPECT_FLOAT_EQ(currentFontQuality().alphaContrast, 1.0f);
  EXPECT_FLOAT_EQ(currentFontQuality().embolden, 2.0f);
}

TEST_F(FontTest, FontEmbolden_AddsToProcessEmboldenUpToTwo) {
  FontQuality quality;
  quality.embolden = 1.0f;
  setFontQuality(quality);
  auto font = loadOrFail(fonttest::kSans, 14, 1.5f);
  EXPECT_FLOAT_EQ(font->embolden(), 1.5f);
  EXPECT_FLOAT_EQ(font->effectiveQuality().embolden, 2.0f);
}

TEST_F(FontTest, PerfCounters_ResetHandsBackTheCountsAndStartsFromZero) {
  fontPerfCounters(true);
  countFontEvent(FontCounter::GlyphBitmapLoads);
  countFontEvent(FontCounter::GlyphBitmapLoads);
  countFontEvent(FontCounter::ResolveForCodepointCalls);
  const auto before = fontPerfCounters(true);
  EXPECT_EQ(before[static_cast<size_t>(FontCounter::GlyphBitmapLoads)], 2u);
  EXPECT_EQ(before[static_cast<size_t>(FontCounter::ResolveForCodepointCalls)], 1u);
  countFontEvent(FontCounter::MetricLoadGlyphCalls);
  const auto after = fontPerfCounters(false);
  for (size_t i = 0; i < kFontCounterCount; ++i) {
    EXPECT_EQ(after[i], i == static_cast<size_t>(FontCounter::MetricLoadGlyphCalls) ? 1u : 0u) << kFontCounterKeys[i];
  }
}

TEST(DiagnosticRing, TakeByCategoryKeepsTheOrderOfTheRest) {
  DiagnosticRing ring;
  ring.record("a", "first a");
  ring.record("b", "only b");
  ring.record("a", "second a");
  char line[64];
  ASSERT_TRUE(ring.take("a", line, sizeof line));
  EXPECT_STREQ(line, "first a");
  ASSERT_TRUE(ring.take(nullptr, line, sizeof line));
  EXPECT_STREQ(line, "only b");
  EXPECT_FALSE(ring.take("b", line, sizeof line));
  ASSERT_TRUE(ring.take("", line, sizeof line));
  EXPECT_STREQ(line, "second a");
  EXPECT_FALSE(ring.take(nullptr, line, sizeof line));
}

TEST(DiagnosticRing, KeepsTheNewest256AndCutsLongTexts) {
  DiagnosticRing ring;
  for (int i = 0; i < 300; ++i) ring.recordf("x", "line %d", i);
  EXPECT_EQ(ring.count(), 256u);
  char line[16];
  ASSERT_TRUE(ring.take("x", line, sizeof line));
  EXPECT_STREQ(line, "line 44");
  const std::string longText(1100, 'q');
  ring.record(nullptr, longText.c_str());
  char longLine[2048];
  ASSERT_TRUE(ring.take("general", longLine, sizeof longLine));
  EXPECT_EQ(std::string(longLine), std::string(1023, 'q'));
  ASSERT_TRUE(ring.take("x", line, 5));
  EXPECT_STREQ(line, "line");
  EXPECT_FALSE(ring.take("x", nullptr, 5));
  EXPECT_FALSE(ring.take("x", line, 0));
}

TEST_F(FontTest, LoadLog_MissingFileLogsAFailLineWhenTimed) {
  setFontLoadTiming(true, 10.0);
  EXPECT_EQ(RenderFont::load("/nonexistent/font.ttf", 14, 0), nullptr);
  EXPECT_EQ(RenderFont::load("", 14, 0), nullptr);
  char line[DiagnosticRing::kTextBytes];
  ASSERT_TRUE(takeFontLoadLog(line, sizeof line));
  EXPECT_EQ(std::string(line).rfind("[font-load] fail ", 0), 0u) << line;
  EXPECT_NE(std::string(line).find("ms size=14.00 file=/nonexistent/font.ttf"), std::string::npos) << line;
  ASSERT_TRUE(takeFontLoadLog(line, sizeof line));
  EXPECT_NE(std::string(line).find("file="), std::string::npos);
  EXPECT_FALSE(takeFontLoadLog(line, sizeof line));
}

TEST_F(FontTest, LoadLog_QuietBelowTheThresholdUnlessTimed) {
  setFontLoadTiming(false, 60000.0);
  EXPECT_NE(RenderFont::load(fonttest::kSansMono, 14, 0), nullptr);
  char line[DiagnosticRing::kTextBytes];
  EXPECT_FALSE(takeFontLoadLog(line, sizeof line));
  setFontLoadTiming(false, 0.0);  // elapsed time is never below 0
  EXPECT_NE(RenderFont::load(fonttest::kSansMono, 14, 0), nullptr);
  ASSERT_TRUE(takeFontLoadLog(line, sizeof line));
  EXPECT_EQ(std::string(line).rfind("[font-load] ok ", 0), 0u) << line;
}

TEST_F(FontTest, LoadLog_KeepsTheNewest256Of300Loads) {
  setFontLoadTiming(true, 10.0);
  for (int i = 0; i < 300; ++i) {
    const std::string path = "/nonexistent/font-" + std::to_string(i) + ".ttf";
    EXPECT_EQ(RenderFont::load(path.c_str(), 14, 0), nullptr);
  }
  char line[DiagnosticRing::kTextBytes];
  int taken = 0;
  std::string first;
  std::string last;
  while (takeFontLoadLog(line, sizeof line)) {
    if (taken++ == 0) first = line;
    last = line;
  }
  EXPECT_EQ(taken, 256);
  EXPECT_NE(first.find("file=/nonexistent/font-44.ttf"), std::string::npos) << first;
  EXPECT_NE(last.find("file=/nonexistent/font-299.ttf"), std::string::npos) << last;
}

TEST_F(FontTest, LoadLog_LongPathIsCutTo1023Characters) {
  setFontLoadTiming(true, 10.0);
  const std::string path = "/" + std::string(1100, 'p');
  EXPECT_EQ(RenderFont::load(path.c_str(), 14, 0), nullptr);
  char line[2048];
  ASSERT_TRUE(takeFontLoadLog(line, sizeof line));
  EXPECT_EQ(std::string(line).size(), 1023u);
}

}  // namespace
