// The example viewer as the README's run command starts it, in process: files of every kind a user may name
// (text in several encodings, control bytes, binary data, directories, devices, pipes, missing files) become
// documents that number their own lines; a 10,000-line file is scrolled by wheel and key events pushed into
// SDL's queue, and the viewer returns on a pushed quit or close request.
#include <SDL3/SDL.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "example_host.h"
#include "scratch_dir.h"

namespace {

class ViewerTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    std::ofstream out(path("long.txt"));
    for (int i = 1; i <= 10000; ++i) out << "line " << i << " of the long file\tafter a tab\n";
  }

  SDL_Event wheel(qztest::ExampleHost& host, float y) {
    SDL_Event event{};
    event.type = SDL_EVENT_MOUSE_WHEEL;
    event.wheel.windowID = host.mainWindowSdlId();
    event.wheel.y = y;
    return event;
  }

  SDL_Event key(qztest::ExampleHost& host, SDL_Keycode code) {
    SDL_Event event{};
    event.type = SDL_EVENT_KEY_DOWN;
    event.key.windowID = host.mainWindowSdlId();
    event.key.key = code;
    return event;
  }

  // A sum over the main window's surface, to tell frames apart.
  static uint64_t surfaceSum(qztest::ExampleHost& host) {
    SDL_Surface* surface = SDL_GetWindowSurface(host.mainWindow());
    uint64_t sum = 0;
    for (int y = 0; y < surface->h; ++y) {
      const auto* row =
          reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch);
      for (int x = 0; x < surface->w; ++x) sum = sum * 31 + (row[x] & 0xFFFFFFu);
    }
    return sum;
  }
};

TEST_F(ViewerTest, OpensScrollsByWheelAndKeysAndQuits) {
  qztest::ExampleHost host({"--new-instance", path("long.txt")});
  ASSERT_TRUE(host.ready());
  host.push(wheel(host, -1.0f));  // three lines down per notch
  host.push(wheel(host, -2.0f));
  host.push(wheel(host, 1.0f));
  host.push(key(host, SDLK_DOWN));
  SDL_Event quit{};
  quit.type = SDL_EVENT_QUIT;
  host.push(quit);
  ASSERT_EQ(host.runBoot(), 0);

  EXPECT_EQ(host.run("return require('core.viewer').current.top"), "8");
  EXPECT_EQ(host.run("return require('core.viewer').current.row_count"), "10000") << "no line after the last newline";
  EXPECT_EQ(SDL_GetWindowTitle(host.mainWindow()), path("long.txt") + " - qz");
  EXPECT_EQ(SDL_GetWindowFlags(host.mainWindow()) & SDL_WINDOW_HIDDEN, 0u) << "the first frame showed the window";
  const uint64_t firstFrame = surfaceSum(host);
  ASSERT_EQ(host.run("require('core.viewer').current:draw()"), "");
  EXPECT_NE(surfaceSum(host), firstFrame) << "the scrolled lines are drawn";
}

TEST_F(ViewerTest, ClosingTheWindowEndsTheRunAndScrollingStopsAtTheEnds) {
  qztest::ExampleHost host({"--new-instance", path("long.txt")});
  ASSERT_TRUE(host.ready());
  host.push(key(host, SDLK_UP));
  host.push(key(host, SDLK_END));
  host.push(key(host, SDLK_PAGEDOWN));
  SDL_Event close{};
  close.type = SDL_EVENT_WINDOW_CLOSE_REQUESTED;
  close.window.windowID = host.mainWindowSdlId();
  host.push(close);
  ASSERT_EQ(host.runBoot(), 0);
  EXPECT_EQ(host.run("local v = require('core.viewer').current\n"
                     "return v.top + v:visible_lines() - 1"),
            "10000");
}

// What the viewer makes of each kind of file: its summary or note, then its shown lines, joined by "|".
TEST_F(ViewerTest, TakesEveryKindOfFileAUserMayName) {
  const std::string utf16le("\xFF\xFEh\0i\0\n\0\x3D\xD8\x00\xDE\r\0\n\0\x41\0\x00\xDC", 20);
  std::string utf16be;  // the same text, each unit's bytes swapped
  for (size_t i = 0; i < utf16le.size(); i += 2) utf16be += {utf16le[i + 1], utf16le[i]};
  std::string binary;
  for (int i = 0; i < 2560; ++i) binary += static_cast<char>(i % 256);
  const struct {
    const char* name;
    std::string content;
    const char* shown;
  } files[] = {
      {"final-newline.txt", "a\nb\n", "UTF-8, 2 lines|a|b"},
      {"no-final-newline.txt", "a\n\nb", "UTF-8, 3 lines|a||b"},
      {"empty.txt", "", "UTF-8, 0 lines"},
      {"one-newline.txt", "\n", "UTF-8, 1 line|"},
      {"crlf.txt", "x\r\ny\r\n", "UTF-8, 2 lines|x|y"},
      {"cr-only.txt", "x\ry\r", "UTF-8, 2 lines|x|y"},
      {"controls.txt", std::string("nul\0after\t\1\33\177\r.\n", 16),
       "UTF-8, 1 line|nul\u2400after\t\u2401\u241b\u2421\u240d."},
      {"utf8-bom.txt", "\xEF\xBB\xBFhi\n", "UTF-8, 1 line|hi"},
      {"utf16le.txt", utf16le, "UTF-16 LE, 3 lines|hi|\U0001F600|A\uFFFD"},
      {"utf16be.txt", utf16be, "UTF-16 BE, 3 lines|hi|\U0001F600|A\uFFFD"},
      {"binary.dat", binary, "binary file of 2560 bytes: not shown"},
  };
  std::vector<std::string> args{"--new-instance"};
  for (const auto& file : files) {
    writeText(file.name, file.content);
    args.push_back(path(file.name));
  }
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  qztest::ExampleHost host(args);
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)"), "") << "sets the module path";
  ASSERT_EQ(host.run("function shown(doc)\n"
                     "  local parts = { doc:summary() }\n"
                     "  for i = 1, doc.line_count do parts[#parts + 1] = doc:line(i) end\n"
                     "  return table.concat(parts, '|')\n"
                     "end\n"
                     "document = require('core.document')"),
            "");
  for (const auto& file : files) {
    EXPECT_EQ(host.run("return shown(document.open([[" + path(file.name) + "]]))"), file.shown) << file.name;
  }
  const struct {
    std::string path;
    const char* note;
  } refused[] = {
      {dir.string(), "is a directory: not shown"},
      {"/dev/zero", "not a regular file (a device, pipe or socket): not shown"},
      {path("fifo"), "not a regular file (a device, pipe or socket): not shown"},
      {path("missing"), "file open failed: No such file or directory"},
  };
  for (const auto& file : refused) {
    EXPECT_EQ(host.run("return shown(document.open([[" + file.path + "]]))"), file.note) << file.path;
  }
  EXPECT_EQ(host.run("document.MAX_FILE_BYTES = 3\n"
                     "return shown(document.open([[" +
                     path("final-newline.txt") + "]]))"),
            "UTF-8, 2 lines, the first 3 of 4 bytes|a|b");
}

TEST_F(ViewerTest, NumbersEachFileOnItsOwnAndReachesAnyLine) {
  writeText("two.txt", "one\ntwo\n");
  writeText("long-line.txt", std::string(10000, 'x'));
  qztest::ExampleHost host(
      {"--new-instance", "--stdin", path("two.txt"), "--file", dir.string(), path("long.txt"), path("long-line.txt")},
      std::string("piped"));
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)"), "");
  ASSERT_EQ(host.run("local viewer = require('core.viewer')\n"
                     "view = viewer.new_view(viewer.open_documents(viewer.files_from(ARGS), STDIN_DATA),\n"
                     "                       renderer.font.load(viewer.FONT_PATH, 14))"),
            "");
  // Each row: its text without the scratch directory, then the line number when it has one.
  const std::string rows[][2] = {{"1", "standard input  (UTF-8, 1 line)"},
                                 {"2", "piped 1"},
                                 {"3", "two.txt  (UTF-8, 2 lines)"},
                                 {"4", "one 1"},
                                 {"5", "two 2"},
                                 {"6", dir.filename().string()},
                                 {"7", "is a directory: not shown"},
                                 {"8", "long.txt  (UTF-8, 10000 lines)"},
                                 {"9", "line 1 of the long file\tafter a tab 1"},
                                 {"10008", "line 10000 of the long file\tafter a tab 10000"},
                                 {"10009", "long-line.txt  (UTF-8, 1 line)"}};
  for (const auto& [row, expected] : rows) {
    EXPECT_EQ(host.run("local text, _, number = view:row(" + row +
                       ")\n"
                       "return (text:gsub('^.*/', '')) .. (number and ' ' .. number or '')"),
              expected)
        << "row " << row;
  }
  // Lines asked out of order, across the index's strides.
  for (int line : {5000, 3, 9999, 64, 65, 129, 128, 10000, 1}) {
    EXPECT_EQ(host.run("return view.docs[4]:line(" + std::to_string(line) + ")"),
              "line " + std::to_string(line) + " of the long file\tafter a tab");
  }
  EXPECT_EQ(host.run("return #view.docs[5]:line(1)"), "4096") << "a long line is cut where it leaves the screen";
  EXPECT_EQ(host.run("return view.row_count"), "10010");
}

TEST_F(ViewerTest, OtherScriptsAndEmojiComeFromFallbackFonts) {
  qztest::ExampleHost host({"--new-instance"});
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)"), "");
  // Greek, Hebrew, Arabic, Devanagari, Thai, CJK, Hangul, an emoji.
  EXPECT_EQ(host.run("local font = require('core.viewer').load_font(14)\n"
                     "local missing = {}\n"
                     "for _, code in ipairs{0x3B1, 0x5D0, 0x627, 0x915, 0xE01, 0x4E2D, 0xD55C, 0x1F600} do\n"
                     "  if not font:has_codepoint(code) then missing[#missing + 1] = string.format('%X', code) end\n"
                     "end\n"
                     "return table.concat(missing, ' ')"),
            "");
}

}  // namespace
