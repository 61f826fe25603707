// The example viewer as the README's run command starts it, in process: files of every kind a user may name
// (text in several encodings, control bytes, binary data, directories, devices, pipes, missing files) become
// documents that number their own lines, each in a tab of the viewer's window; wheel, key, pointer and close
// events pushed into SDL's queue scroll the text, switch tabs and end the run, and the window's surface shows
// what they changed.
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "viewer_fixture.h"

namespace {

// The README's run: piped text and two files in tabs, wheel and keys scrolling the focused text, hover and
// a click on a tab, and the close request that completes the form and ends the run.
TEST_F(ViewerTest, ScrollsSwitchesTabsAndEndsWhenClosed) {
  writeText("two.txt", "one\ntwo\n");
  qztest::ExampleHost host({"--new-instance", "--stdin", path("long.txt"), "--file", path("two.txt")},
                           std::string("piped"));
  ASSERT_TRUE(host.ready());
  const uint32_t kTab = 0x222429, kHovered = 0x2E3138, kSelected = 0x1E2024;  // the viewer's colours
  const int kTabY = 12, kTextX = 300, kTextY = 200;
  int tabX[3] = {};
  uint64_t frame = 0;
  const int exitCode = runSteps(
      host,
      {
          [&] {
            ASSERT_NE(viewerWindow(), nullptr);
            EXPECT_EQ(SDL_GetWindowFlags(viewerWindow()) & SDL_WINDOW_HIDDEN, 0u) << "the first frame was shown";
            for (int i = 0; i < 3; ++i) {
              tabX[i] =
                  std::stoi(lua("local widths, x = require('core.viewer').current.tab_widths, 4\n"
                                "for i = 1, " +
                                std::to_string(i) + " do x = x + widths[i] + 2 end return x + 4"));
            }
            EXPECT_EQ(pixel(tabX[0], kTabY), kSelected);
            EXPECT_EQ(pixel(tabX[1], kTabY), kTab);
            frame = surfaceSum();
            windowEvent(SDL_EVENT_WINDOW_FOCUS_GAINED);  // keys reach the active window only
            click(tabX[1], kTabY);                       // the long file
            motion(kTextX, kTextY);
            wheel(-1.0f);  // three lines down per notch
            wheel(-2.0f);
            wheel(1.0f);
            key(SDLK_DOWN);
          },
          [&] {
            EXPECT_EQ(lua("local v = require('core.viewer').current return v.selected .. ' ' .. v:view().top"), "2 8");
            EXPECT_NE(surfaceSum(), frame) << "the scrolled lines are drawn";
            click(900, kTabY);  // the empty strip takes the focus from the text; the keys still scroll it
            key(SDLK_END);
            key(SDLK_PAGEDOWN);
            motion(tabX[2], kTabY);
          },
          [&] {
            EXPECT_EQ(lua("local v = require('core.viewer').current return v:view().top + v.shown_lines - 1"), "10000")
                << "the last line ends the view";
            EXPECT_EQ(pixel(tabX[2], kTabY), kHovered);
            click(tabX[2], kTabY);
          },
          [&] {
            EXPECT_EQ(lua("local v = require('core.viewer').current return v.selected .. ' ' .. v:view().top"), "3 1")
                << "each document keeps its own place";
            EXPECT_EQ(pixel(tabX[2], kTabY), kSelected);
            EXPECT_EQ(pixel(tabX[1], kTabY), kTab);
            windowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED);
          },
      });
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(host.run("return require('core.viewer').current.result"), "cancel");
  EXPECT_EQ(viewerWindow(), nullptr) << "the window closed";
}

// Closing the only tab, by Ctrl+W or by a middle click on it, closes the window and ends the run; nothing is
// painted once the documents are gone, so no callback fails on the way (a failure would reach the scripts'
// core.on_error).
class ViewerCloseTest : public ViewerTest {
 protected:
  void closeTheOnlyTab(const std::function<void()>& close) {
    qztest::ExampleHost host({"--new-instance", path("long.txt")});
    ASSERT_TRUE(host.ready());
    ASSERT_EQ(host.run("reports = {}\n"
                       "core = { on_error = function(message) reports[#reports + 1] = message end }"),
              "");
    const int exitCode = runSteps(host, {
                                            [&] {
                                              windowEvent(SDL_EVENT_WINDOW_FOCUS_GAINED);
                                              close();
                                            },
                                        });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(host.run("return table.concat(reports, '\\n')"), "");
    EXPECT_EQ(host.run("return require('core.viewer').current.result"), "closed");
    EXPECT_EQ(viewerWindow(), nullptr) << "the window closed";
  }
};

TEST_F(ViewerCloseTest, CtrlWOnTheLastTabEndsTheRunWithoutAFailedCallback) {
  closeTheOnlyTab([] { key(SDLK_W, SDL_KMOD_CTRL); });
}

TEST_F(ViewerCloseTest, AMiddleClickOnTheLastTabEndsTheRunWithoutAFailedCallback) {
  closeTheOnlyTab([] { click(20, 12, SDL_BUTTON_MIDDLE); });
}

// Two middle clicks that arrive together close by the tabs as they are after the first close, before the
// strip is painted again: the second, where the closed last tab was drawn, meets no tab and closes nothing,
// and the strip's callbacks go on working (a failure would reach the scripts' core.on_error and end them).
TEST_F(ViewerCloseTest, MiddleClicksBeforeTheStripIsPaintedAgainFindTheTabsThatAreLeft) {
  writeText("a.txt", "a\n");
  writeText("b.txt", "b\n");
  qztest::ExampleHost host({"--new-instance", path("long.txt"), path("a.txt"), path("b.txt")});
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("reports = {}\n"
                     "core = { on_error = function(message) reports[#reports + 1] = message end }"),
            "");
  const auto tabX = [&](int index) {  // the middle of tab index (from 1) as the strip draws all three
    return std::stoi(
        lua("local widths, x = require('core.viewer').current.tab_widths, 4\n"
            "for i = 1, " +
            std::to_string(index - 1) + " do x = x + widths[i] + 2 end return x + widths[" + std::to_string(index) +
            "] // 2"));
  };
  const int exitCode = runSteps(host, {
                                          [&] {
                                            windowEvent(SDL_EVENT_WINDOW_FOCUS_GAINED);
                                            const int last = tabX(3);
                                            click(last, 12, SDL_BUTTON_MIDDLE);
                                            click(last, 12, SDL_BUTTON_MIDDLE);
                                          },
                                          [&] {
                                            EXPECT_EQ(lua("return table.concat(reports, '\\n')"), "");
                                            EXPECT_EQ(lua("return #require('core.viewer').current.docs"), "2");
                                            click(tabX(2), 12);
                                          },
                                          [&] {
                                            EXPECT_EQ(lua("return require('core.viewer').current.selected"), "2")
                                                << "the strip still takes clicks";
                                            windowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED);
                                          },
                                      });
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(lua("return table.concat(reports, '\\n')"), "");
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

TEST_F(ViewerTest, ReachesAnyLineAndCutsLongOnes) {
  writeText("long-line.txt", std::string(10000, 'x'));
  qztest::ExampleHost host({"--new-instance"});
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)\n"
                     "document = require('core.document')\n"
                     "long = document.open([[" +
                     path("long.txt") + "]])"),
            "");
  // Lines asked out of order, across the index's strides.
  for (int line : {5000, 3, 9999, 64, 65, 129, 128, 10000, 1}) {
    EXPECT_EQ(host.run("return long:line(" + std::to_string(line) + ")"),
              "line " + std::to_string(line) + " of the long file\tafter a tab");
  }
  EXPECT_EQ(host.run("return #document.open([[" + path("long-line.txt") + "]]):line(1)"), "4096")
      << "a long line is cut where it leaves the screen";
}

TEST_F(ViewerTest, OtherScriptsAndEmojiComeFromFallbackFonts) {
  qztest::ExampleHost host({"--new-instance"});
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)"), "");
  // Greek, Hebrew, Arabic, Devanagari, Thai, CJK, Hangul, an emoji.
  EXPECT_EQ(host.run("local viewer = require('core.viewer')\n"
                     "local font = renderer.font.group_lazy(renderer.font.load(viewer.FONT_PATH, 14),\n"
                     "                                      viewer.FALLBACK_FONTS, 14)\n"
                     "local missing = {}\n"
                     "for _, code in ipairs{0x3B1, 0x5D0, 0x627, 0x915, 0xE01, 0x4E2D, 0xD55C, 0x1F600} do\n"
                     "  if not font:has_codepoint(code) then missing[#missing + 1] = string.format('%X', code) end\n"
                     "end\n"
                     "return table.concat(missing, ' ')"),
            "");
}

// A few NULs do not make a text binary; a cut line ends at a whole character and says that it was cut.
TEST_F(ViewerTest, ShowsFewNulsAsSymbolsAndCutsLinesAtWholeCharacters) {
  std::string lines;
  for (int i = 0; i < 50; ++i) lines += "text line\n";
  writeText("few-nuls.txt", lines + std::string("with a\0nul\n", 11) + "and a \x01 too\n" + lines);
  std::string manyNuls;
  for (int i = 0; i < 100; ++i) manyNuls += std::string("\0\0\0a\n", 5);
  writeText("many-nuls.txt", manyNuls);
  std::string twoByte = "x", fourByte = "xy",
              utf16 =
                  "\xFF\xFE"
                  "a";
  utf16 += '\0';
  for (int i = 0; i < 3000; ++i) twoByte += "\xC3\xA9";
  for (int i = 0; i < 2000; ++i) fourByte += "\xF0\x9F\x98\x80";
  for (int i = 0; i < 2000; ++i) utf16 += std::string("\x3D\xD8\x00\xDE", 4);
  writeText("two-byte.txt", twoByte);
  writeText("four-byte.txt", fourByte);
  writeText("utf16.txt", utf16);
  writeText("exact.txt", std::string(4096, 'x'));
  qztest::ExampleHost host({"--new-instance"});
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)\n"
                     "document = require('core.document')\n"
                     "function first(name)\n"
                     "  local text, cut = document.open([[" +
                     dir.string() +
                     "/]] .. name):line(1)\n"
                     "  return text, cut\n"
                     "end"),
            "");
  const std::string fewNuls = "return document.open([[" + path("few-nuls.txt") + "]])";
  EXPECT_EQ(host.run(fewNuls + ":summary()"), "UTF-8, 102 lines");
  EXPECT_EQ(host.run(fewNuls + ":line(51)"), "with a\u2400nul");
  EXPECT_EQ(host.run(fewNuls + ":line(52)"), "and a \u2401 too");
  EXPECT_EQ(host.run("return document.open([[" + path("many-nuls.txt") + "]]):summary()"),
            "binary file of 500 bytes: not shown");

  const struct {
    const char* file;
    const char* expected;  // Lua expression of the text shown
    bool cut;
  } cases[] = {
      {"two-byte.txt", "'x' .. string.rep('\\u{E9}', 2047)", true},
      {"four-byte.txt", "'xy' .. string.rep('\\u{1F600}', 1023)", true},
      {"utf16.txt", "'a' .. string.rep('\\u{1F600}', 1023)", true},
      {"exact.txt", "string.rep('x', 4096)", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host.run(std::string("local text, cut = first('") + c.file + "') return tostring(text == " + c.expected +
                       ") .. ' ' .. tostring(cut)"),
              std::string("true ") + (c.cut ? "true" : "false"))
        << c.file;
  }
}

// Only whole lines are drawn and counted; a line cut at the document's limit shows a mark at the right edge
// in the accent colour, one that merely runs past the edge shows none.
TEST_F(ViewerTest, DrawsAndCountsOnlyWholeLinesAndMarksCutOnes) {
  std::ofstream out(path("cut.txt"));
  out << std::string(10000, 'x') << '\n' << std::string(300, 'y') << '\n';
  for (int i = 3; i <= 200; ++i) out << "line " << i << '\n';
  out.close();
  qztest::ExampleHost host({"--new-instance", path("cut.txt")});
  ASSERT_TRUE(host.ready());
  const uint32_t kBackground = 0x1E2024, kGutter = 0x26282E;  // the viewer's colours
  const auto bluish = [](uint32_t rgb) { return static_cast<int>(rgb & 0xFF) > static_cast<int>(rgb >> 16) + 40; };
  int top = 0, lineHeight = 0;
  const auto geometry = [&](const char* expression) {
    return std::stoi(lua(std::string("local v = require('core.viewer').current return ") + expression));
  };
  // The text lies between the tab strip and the status bar.
  const auto textHeight = [&] {
    return SDL_GetWindowSurface(viewerWindow())->h - top - geometry("math.floor(24 * v.zoom)");
  };
  const int exitCode =
      runSteps(host, {
                         [&] {
                           // A text area one line and a bit high leaves a part of a line below the whole ones.
                           top = geometry("math.floor(30 * v.zoom)");
                           lineHeight = geometry("v.line_height");
                           const int leftover = textHeight() % lineHeight;
                           int width = 0, height = 0;
                           SDL_GetWindowSize(viewerWindow(), &width, &height);
                           SDL_SetWindowSize(viewerWindow(), width, height + (lineHeight - 2 - leftover));
                         },
                         [&] {
                           ASSERT_EQ(textHeight() % lineHeight, lineHeight - 2);
                           const int shown = textHeight() / lineHeight;
                           EXPECT_EQ(lua("local v = require('core.viewer').current return select(2, v:status_text())"),
                                     "UTF-8, 200 lines, showing 1-" + std::to_string(shown));
                           const SDL_Surface* surface = SDL_GetWindowSurface(viewerWindow());
                           for (int y = top + shown * lineHeight; y < top + textHeight(); ++y) {
                             for (int x = 0; x < surface->w; ++x) {
                               const uint32_t rgb = pixel(surface, x, y);
                               ASSERT_TRUE(rgb == kBackground || rgb == kGutter)
                                   << "drawn below the whole lines at " << x << "," << y;
                             }
                           }
                           bool marked[2] = {false, false};
                           for (int row = 0; row < 2; ++row) {
                             for (int y = top + row * lineHeight; y < top + (row + 1) * lineHeight; ++y) {
                               for (int x = surface->w - 40; x < surface->w; ++x)
                                 marked[row] |= bluish(pixel(surface, x, y));
                             }
                           }
                           EXPECT_TRUE(marked[0]) << "the cut line is marked";
                           EXPECT_FALSE(marked[1]) << "a line that only runs past the edge is not";
                           windowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED);
                         },
                     });
  EXPECT_EQ(exitCode, 0);
}

}  // namespace
