// The OpenType MATH methods of the Font type: layout constants, per-glyph italics correction, top accent
// attachment and kerning, stretch variants and assemblies, and formula masks returned as canvases.
#pragma once

struct lua_State;

int fontGetMathMetrics(lua_State* L);
int fontGetMathGlyphItalicsCorrection(lua_State* L);
int fontGetMathGlyphKerning(lua_State* L);
int fontGetMathGlyphTopAccentAttachment(lua_State* L);
int fontGetMathGlyphShape(lua_State* L);
int fontComposeMathMask(lua_State* L);
