// How the example viewer shows a text: Left and Right move the first column shown so that a line of any
// length can be read to its end, columns count characters in every encoding, and a text that is not UTF-8
// is named for what the probe found and read as Windows-1252.
#include <string>

#include "viewer_fixture.h"

namespace {

// A one-line file far wider than the window: Right moves half the text's width at a time, up to where the
// line's end is on screen and no further; Left moves back. A shorter line beside it shows nothing there.
TEST_F(ViewerTest, LeftAndRightScrollSidewaysToTheEndOfALongLine) {
  std::string wide;
  for (int i = 0; i < 2000; ++i) wide += "0123456789";
  wide += "END";
  writeText("wide.txt", wide + "\nshort\n");
  qztest::ExampleHost host({"--new-instance", path("wide.txt")});
  ASSERT_TRUE(host.ready());
  const auto viewer = [&](const std::string& expression) {
    return lua("local v = require('core.viewer').current return " + expression);
  };
  int step = 0, columns = 0, end = 0;
  const int size = static_cast<int>(wide.size());
  const int exitCode =
      runSteps(host, {
                         [&] {
                           EXPECT_EQ(viewer("v:view().column"), "0");
                           columns = std::stoi(viewer("v.shown_columns"));
                           step = columns / 2;
                           ASSERT_GT(step, 10);
                           windowEvent(SDL_EVENT_WINDOW_FOCUS_GAINED);
                           key(SDLK_LEFT);  // nothing left of the first column
                           key(SDLK_RIGHT);
                         },
                         [&] {
                           EXPECT_EQ(viewer("v:view().column"), std::to_string(step));
                           EXPECT_EQ(viewer("v:shown_line(1).text:sub(1, 10)"), wide.substr(step, 10));
                           EXPECT_EQ(viewer("v:shown_line(2).text"), "") << "the short line ends left of the view";
                           EXPECT_EQ(viewer("select(2, v:status_text())"),
                                     "UTF-8, 2 lines, showing 1-2 from column " + std::to_string(step + 1));
                           for (int i = 0; i < 1000; ++i) key(SDLK_RIGHT);
                         },
                         [&] {
                           end = std::stoi(viewer("v:view().column"));
                           EXPECT_LE(size - end, columns) << "the rest of the line fits";
                           EXPECT_GT(size - end + step, columns) << "and did not a step before";
                           EXPECT_EQ(viewer("v:shown_line(1).text:sub(-6)"), "789END") << "the line's end is shown";
                           EXPECT_EQ(viewer("tostring(v:goes_on_past_edge())"), "false");
                           key(SDLK_LEFT);
                         },
                         [&] {
                           EXPECT_EQ(viewer("v:view().column"), std::to_string(end - step));
                           EXPECT_EQ(viewer("tostring(v:goes_on_past_edge())"), "true");
                           windowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED);
                         },
                     });
  EXPECT_EQ(exitCode, 0);
}

// The columns that fit are counted by the width of a "0" (a monospaced font's every character), so lines a
// little narrower than the text fit whole and Left and Right leave them alone; one a column wider moves by
// half the columns. (Every document here has fewer than ten lines, so the gutter keeps its width.)
TEST_F(ViewerTest, CountsTheColumnsThatFitByTheWidthOfACharacter) {
  writeText("short.txt", "short\n");
  qztest::ExampleHost host({"--new-instance", path("short.txt")});
  ASSERT_TRUE(host.ready());
  const auto viewer = [&](const std::string& expression) {
    return lua("local v = require('core.viewer').current return " + expression);
  };
  int columns = 0;
  const int exitCode = runSteps(
      host, {
                [&] {
                  columns = std::stoi(viewer("v.shown_columns"));
                  // The widths of a "0" that give this many columns in the text's width, less its padding.
                  const double zero = std::stod(
                      viewer("renderer.font.load(require('core.viewer').FONT_PATH, 14 * v.zoom):get_width('0')"));
                  const int room = std::stoi(viewer("v.text_width")) - 8;
                  EXPECT_LE(columns * zero, room + 1.0);
                  EXPECT_GT((columns + 1) * zero, room - 1.0) << columns << " columns of " << zero << " in " << room;
                  std::string fits;
                  for (int i = 0; i < 3; ++i) fits += std::string(columns - 1, 'a') + "\n";
                  writeText("fits.txt", fits);
                  writeText("wider.txt", std::string(columns + 1, 'b'));
                  EXPECT_EQ(viewer("v:open_forwarded({ args = { 'qz', [[" + path("fits.txt") + "]], [[" +
                                   path("wider.txt") + "]] } }) or v.selected"),
                            "2");
                  windowEvent(SDL_EVENT_WINDOW_FOCUS_GAINED);
                  key(SDLK_RIGHT);
                  key(SDLK_RIGHT);
                },
                [&] {
                  EXPECT_EQ(viewer("v:view().column"), "0") << "lines that fit do not scroll";
                  EXPECT_EQ(viewer("select(2, v:status_text())"), "UTF-8, 3 lines, showing 1-3");
                  EXPECT_EQ(viewer("v:select(3) or v.selected"), "3");
                  key(SDLK_RIGHT);
                },
                [&] {
                  EXPECT_EQ(viewer("v:view().column"), std::to_string(columns / 2));
                  windowEvent(SDL_EVENT_WINDOW_CLOSE_REQUESTED);
                },
            });
  EXPECT_EQ(exitCode, 0);
}

// The text of line 1 from columns 0 to 6 and whether more than two characters follow column 0, 1 and 4, in
// each encoding a document can be in: a column is a character, also when it takes several bytes or units.
TEST_F(ViewerTest, ColumnsCountCharactersInEveryEncoding) {
  const std::string le16 = std::string("\xFF\xFE", 2) + std::string(
                                                            "a\0\xE9\0\x3D\xD8\x00\xDE"
                                                            "b\0c\0",
                                                            12);
  const std::string le32 =
      std::string("\xFF\xFE\0\0", 4) + std::string("a\0\0\0\xE9\0\0\0\x00\xF6\x01\0b\0\0\0c\0\0\0", 20);
  const struct {
    const char* name;
    std::string content;
  } files[] = {
      {"utf8.txt",
       "a\xC3\xA9\xF0\x9F\x98\x80"
       "bc\n"},
      {"cp1252.txt",
       "a\xE9\x80"
       "bc\n"},
      {"utf16.txt", le16},
      {"utf32.txt", le32},
  };
  qztest::ExampleHost host({"--new-instance"});
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(
      host.run("dofile(BOOT_FILE)\n"
               "document = require('core.document')\n"
               "function columns(path)\n"
               "  local doc, parts = document.open(path), {}\n"
               "  for column = 0, 6 do parts[#parts + 1] = (doc:line(1, column)) end\n"
               "  for _, column in ipairs{0, 1, 4} do parts[#parts + 1] = tostring(doc:goes_on(1, column, 2)) end\n"
               "  return table.concat(parts, '|')\n"
               "end"),
      "");
  const std::string second = "\u00E9";
  for (const auto& file : files) {
    writeText(file.name, file.content);
    const std::string third = std::string(file.name) == "cp1252.txt" ? "\u20AC" : "\U0001F600";
    EXPECT_EQ(host.run("return columns([[" + path(file.name) + "]])"),
              "a" + second + third + "bc|" + second + third + "bc|" + third + "bc|bc|c|||true|true|false")
        << file.name;
  }
}

// Bytes that are not UTF-8 name the first bad byte the probe found and show as Windows-1252, its undefined
// bytes as the C1 controls of their number; a long line of them is cut at exactly the limit, since every
// byte is a character. UTF-8 beside them stays UTF-8.
TEST_F(ViewerTest, ShowsTextThatIsNotUtf8AsWindows1252) {
  writeText("latin.txt", "caf\xE9 \x80 \x93quoted\x94\r\n\x81\x8D\x8F\x90\x9D\xFF\n");
  writeText("long-latin.txt", std::string(5000, '\xE9'));
  writeText("utf8.txt", "caf\xC3\xA9\n");
  qztest::ExampleHost host({"--new-instance"});
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)\n"
                     "document = require('core.document')\n"
                     "function shown(name, line)\n"
                     "  local doc = document.open([[" +
                     dir.string() +
                     "/]] .. name)\n"
                     "  local text, cut = doc:line(line)\n"
                     "  return doc:summary() .. '|' .. text .. '|' .. tostring(cut)\n"
                     "end"),
            "");
  EXPECT_EQ(host.run("return shown('latin.txt', 1)"),
            "not UTF-8 (byte 4), shown as Windows-1252, 2 lines|caf\u00E9 \u20AC \u201Cquoted\u201D|false");
  EXPECT_EQ(host.run("return shown('latin.txt', 2)"),
            "not UTF-8 (byte 4), shown as Windows-1252, 2 lines|\u0081\u008D\u008F\u0090\u009D\u00FF|false");
  EXPECT_EQ(
      host.run("return shown('long-latin.txt', 1)"), "not UTF-8 (byte 1), shown as Windows-1252, 1 line|" + [] {
        std::string text;
        for (int i = 0; i < 4096; ++i) text += "\u00E9";
        return text;
      }() + "|true");
  EXPECT_EQ(host.run("return shown('utf8.txt', 1)"), "UTF-8, 1 line|caf\u00E9|false");
}

}  // namespace
