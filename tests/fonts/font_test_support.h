// Shared pieces of the font tests: the test font files (from Debian font packages) and a fixture that puts
// the process-wide font settings back to their start values around every test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fonts/diagnostic_ring.h"
#include "fonts/font_options.h"
#include "fonts/render_font.h"

namespace fonttest {

inline const char* const kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
inline const char* const kSansMono = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
inline const char* const kSerif = "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf";
inline const char* const kColorEmoji = "/usr/share/fonts/truetype/noto/NotoColorEmoji.ttf";
inline const char* const kFixed10x20 = "/usr/share/fonts/X11/misc/10x20.pcf.gz";

inline void resetFontSettings() {
  FontQuality defaults;
  setFontQuality(defaults);
  setAllowFontBitmapGlyphs(false);
  setAllowFontSvgGlyphs(false);
  setFontLoadTiming(false, 10.0);
  char line[DiagnosticRing::kTextBytes];
  while (diagnosticRing().take(nullptr, line, sizeof line)) {
  }
}

class FontTest : public ::testing::Test {
 protected:
  void SetUp() override { resetFontSettings(); }
  void TearDown() override { resetFontSettings(); }

  static std::shared_ptr<RenderFont> loadOrFail(const char* path, float size, float embolden = 0.0f) {
    std::shared_ptr<RenderFont> font = RenderFont::load(path, size, embolden);
    EXPECT_NE(font, nullptr) << path;
    return font;
  }
};

// A path in the temporary directory that does not exist yet and is removed again with the object.
class TempPath {
 public:
  explicit TempPath(const std::string& name)
      : path_(std::string(::testing::TempDir()) + name + "_" + std::to_string(getpid()) + "_" +
              std::to_string(counter()++)) {
    std::remove(path_.c_str());
  }
  ~TempPath() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }
  const char* c_str() const { return path_.c_str(); }
  void copyFrom(const char* source) const {
    std::ifstream in(source, std::ios::binary);
    std::ofstream out(path_, std::ios::binary);
    out << in.rdbuf();
  }

 private:
  static int& counter() {
    static int value = 0;
    return value;
  }
  std::string path_;
};

// A font that a fixture script writes at test time (python3 with fontTools), called as
// `script <before> <path> <after>`; made() is false when the script failed.
class ScriptedFont {
 public:
  ScriptedFont(const std::string& name, const char* script, const std::string& before, const std::string& after)
      : path_(name) {
    const std::string command =
        std::string("/usr/bin/python3 ") + script + " " + before + " " + path_.path() + " " + after;
    made_ = std::system(command.c_str()) == 0;
  }
  bool made() const { return made_; }
  const char* path() const { return path_.c_str(); }

 private:
  TempPath path_;
  bool made_ = false;
};

inline uint64_t counterValue(FontCounter counter) { return fontPerfCounters(false)[static_cast<size_t>(counter)]; }

}  // namespace fonttest
