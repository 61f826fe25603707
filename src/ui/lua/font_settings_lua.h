// The process-wide font settings as functions of the Font table: glyph quality, bitmap and SVG glyph
// permissions, load timing, the font cache counters and the load log.
#pragma once

struct lua_State;

int fontSetLoadTiming(lua_State* L);
int fontAllowBitmapGlyphs(lua_State* L);
int fontAllowSvgGlyphs(lua_State* L);
int fontSetQuality(lua_State* L);
int fontGetPerfStats(lua_State* L);
int fontDrainLoadLogs(lua_State* L);
