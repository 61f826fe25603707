// The window, cursor, text-input and clipboard functions of the system module.
#include "system_module_fixture.h"

namespace {

using SystemWindow = SystemModuleTest;

TEST_F(SystemWindow, ClipboardRoundTripsNonAsciiText) {
  EXPECT_EQ(run("return system.set_clipboard('gr\\u{FC}\\u{DF}e \\u{2713} \\u{1F600}')"), Values{"true"});
  EXPECT_EQ(run("return system.get_clipboard()"), Values{"gr\xC3\xBC\xC3\x9F"
                                                         "e \xE2\x9C\x93 \xF0\x9F\x98\x80"});
  EXPECT_NE(run("return system.set_clipboard({})")[0].find("string expected"), std::string::npos);
}

TEST_F(SystemWindow, TextsWithAZeroByteAreRefusedInsteadOfCutShort) {
  run("system.set_clipboard('kept'); system.set_window_title('kept')");
  for (const char* call : {"system.set_clipboard('ab\\0cd')", "system.set_window_title('a\\0b')",
                           "system.show_confirm_dialog('a\\0b', 'm')", "system.show_confirm_dialog('t', 'm\\0')"}) {
    const Values result = run(std::string("return ") + call);
    ASSERT_EQ(result.size(), 1u) << call;
    EXPECT_NE(result[0].find("(string contains a zero byte)"), std::string::npos) << call << ": " << result[0];
  }
  for (const char* options :
       {"{title = 'a\\0'}", "{message = '\\0'}", "{buttons = {'ok', 'n\\0o'}}", "{default = 'ok\\0'}"}) {
    const Values result = run(std::string("return system.show_message_box") + options);
    ASSERT_EQ(result.size(), 1u) << options;
    EXPECT_NE(result[0].find("contains a zero byte"), std::string::npos) << options << ": " << result[0];
  }
  EXPECT_EQ(run("return system.get_clipboard()"), Values{"kept"});
  EXPECT_STREQ(SDL_GetWindowTitle(registry().window(mainId).sdlWindow()), "kept");
}

TEST_F(SystemWindow, ClipboardTextHasNoSizeLimitWithoutADisplayServer) {
  EXPECT_EQ(run("return system.set_clipboard(string.rep('y', 17000000))"), Values{"true"});
  EXPECT_EQ(run("return #system.get_clipboard()"), Values{"17000000"});
}

TEST_F(SystemWindow, TextInputAreaMustMeetTheWorkspace) {
  EXPECT_EQ(run("return system.set_text_input_area(-100000, 0, 20, 20, 0)"),
            (Values{"nil", "text input area must stay inside the main workspace"}));
  EXPECT_EQ(run("return system.set_text_input_area(-10, 4, 20, 16, 20)"), Values{"true"});
  const WindowMetrics& metrics = registry().window(mainId).metrics();
  ASSERT_EQ(metrics.displayScale, 1.0);
  EXPECT_EQ(registry().window(mainId).textInputArea(), (TextInputArea{0, 4, 10, 16, 10})) << "clipped at 0";
}

TEST_F(SystemWindow, TextInputAreaArgumentsAreChecked) {
  const auto errorOf = [this](const std::string& arguments) {
    const Values result = run("return system.set_text_input_area(" + arguments + ")");
    return result.size() == 1 ? result[0] : std::string("no error");
  };
  EXPECT_NE(errorOf("0, 0, 0, 5, 0").find("#3 to 'set_text_input_area' (text input area width must be positive)"),
            std::string::npos);
  EXPECT_NE(errorOf("0, 0, 5, 0, 0").find("#4 to 'set_text_input_area' (text input area height must be positive)"),
            std::string::npos);
  EXPECT_NE(errorOf("0, 0, 5, 5, 6").find("#5 to 'set_text_input_area' (text input cursor must stay inside the area)"),
            std::string::npos);
  EXPECT_NE(errorOf("0, 0, 5, 5, -1").find("text input cursor must stay inside the area"), std::string::npos);
  EXPECT_NE(errorOf("0.5, 0, 5, 5, 0").find("number has no integer representation"), std::string::npos);
  EXPECT_NE(errorOf("2^31, 0, 5, 5, 0").find("expected an integer in C++ integer range"), std::string::npos);
  EXPECT_EQ(run("return system.set_text_input_area(0, 0, 5, 5, 5)"), Values{"true"}) << "a caret at the right edge";
}

TEST_F(SystemWindow, CursorNamesSharingAnSdlCursorShareOneCursor) {
  EXPECT_EQ(run("system.set_mouse_cursor('sizeh'); system.set_mouse_cursor('size_we')"), Values{});
  ASSERT_EQ(mouse.cursors.size(), 1u);
  EXPECT_EQ(mouse.cursors[0].systemId, SDL_SYSTEM_CURSOR_EW_RESIZE);
  EXPECT_EQ(mouse.setCursorCalls, 2);
  run("system.set_mouse_cursor()");
  EXPECT_EQ(mouse.cursorOf(mouse.current).systemId, SDL_SYSTEM_CURSOR_DEFAULT) << "the arrow by default";
  EXPECT_NE(run("system.set_mouse_cursor('pointer')")[0].find("invalid option 'pointer'"), std::string::npos);
}

TEST_F(SystemWindow, GrabCursorsAreTheDrawnHandsOrElseTheMoveCursor) {
  run("system.set_mouse_cursor('grab')");
  const FakeMouseBackend::Cursor& hand = mouse.cursorOf(mouse.current);
  EXPECT_FALSE(hand.system);
  EXPECT_EQ(hand.width, 32);
  EXPECT_EQ(hand.hotX, 15);
  mouse.colorCursors = false;
  run("system.set_mouse_cursor('grabbing')");
  EXPECT_EQ(mouse.cursorOf(mouse.current).systemId, SDL_SYSTEM_CURSOR_MOVE);
}

TEST_F(SystemWindow, TitleModeAndFocusOfTheMainWindow) {
  run("system.set_window_title('r\\u{E9}sum\\u{E9}.txt - qz')");
  EXPECT_STREQ(SDL_GetWindowTitle(registry().window(mainId).sdlWindow()), "r\xC3\xA9sum\xC3\xA9.txt - qz");
  EXPECT_EQ(run("return system.get_window_mode()"), Values{"normal"});
  EXPECT_EQ(run("system.set_window_mode(); system.set_window_mode('maximized'); system.set_window_mode('normal')"),
            Values{});
  EXPECT_NE(run("system.set_window_mode('tiled')")[0].find("invalid option 'tiled'"), std::string::npos);
  EXPECT_EQ(run("return system.window_has_focus()"), Values{"false"}) << "a hidden window has no focus";
  EXPECT_EQ(run("return system.raise_window()"), Values{});
}

TEST_F(SystemWindow, WindowFunctionsRefuseAMissingMainWindow) {
  registry().closeWindow(mainId);
  for (const char* call : {"system.get_window_mode()", "system.raise_window()"}) {
    EXPECT_NE(run(std::string("return ") + call)[0].find("main workspace window does not exist"), std::string::npos);
  }
  EXPECT_EQ(run("return system.set_text_input_area(0, 0, 5, 5, 0)"),
            (Values{"nil", "main workspace window does not exist"}));
}

}  // namespace
