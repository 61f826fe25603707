// The native side of ui_font and ui_glyph: what the control canvas reads back from a Lua state.
#include "ui/lua/ui_glyph_lua.h"

#include <gtest/gtest.h>

#include "host/lua_api.h"
#include "ui/lua/ui_font_lua.h"

namespace {

class UiGlyphLuaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "ui_font", luaopen_ui_font, 1);
    luaL_requiref(L, "ui_glyph", luaopen_ui_glyph, 1);
    lua_pop(L, 2);
  }
  void TearDown() override { lua_close(L); }

  void run(const char* code) { ASSERT_EQ(luaL_dostring(L, code), LUA_OK) << lua_tostring(L, -1); }

  lua_State* L = nullptr;
};

TEST_F(UiGlyphLuaTest, RegisteredGlyphsAreFoundByNameWithTheirFont) {
  EXPECT_EQ(lookupUiGlyph(L, "close"), nullptr) << "before any registration";
  run(R"(font = ui_font.create({path = "a.ttf", size = 12})
         ui_glyph.register_font("check", font, "v")
         ui_glyph.register_shape("close", "cross"))");
  const int top = lua_gettop(L);
  const std::shared_ptr<ui::Glyph> check = lookupUiGlyph(L, "check");
  ASSERT_NE(check, nullptr);
  EXPECT_EQ(check->kind(), ui::GlyphKind::Font);
  EXPECT_EQ(check->text(), "v");
  EXPECT_EQ(lookupUiGlyph(L, "close")->kind(), ui::GlyphKind::Cross);
  EXPECT_EQ(lookupUiGlyph(L, "missing"), nullptr);
  EXPECT_EQ(lua_gettop(L), top) << "the stack is left as it was";

  lua_getglobal(L, "font");
  const std::shared_ptr<ui::Font> font = checkUiFont(L, -1);
  EXPECT_EQ(font->path, "a.ttf");
  EXPECT_EQ(check->fontForSize(12)->path, "a.ttf");
  EXPECT_EQ(checkUiFont(L, -1), font) << "one description per UiFont";
  lua_pop(L, 1);
}

}  // namespace
