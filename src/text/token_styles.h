// The style palette of a Lua state: every style string that the tokenizers of the state emit, numbered from 1
// ("normal" is 1). Prepared grammars carry the numbers of their own styles and a scan looks up the styles that
// `symbols` tables give, so a token's style is a number until the token array is built and the scanner never
// makes a Lua string per style. The palette is a table in the registry: id -> string and string -> id. It
// stops growing at kStylePaletteCapacity entries; later styles get no id and the scan keeps their text.
#pragma once

#include <string_view>

#include "text/tokenizer_rules.h"

struct lua_State;

constexpr StyleId kNormalStyle = 1;
constexpr StyleId kStylePaletteCapacity = 4096;

// Pushes the palette table of the state, creating it on first use.
void pushStylePalette(lua_State* L);

// The id of the string at `index` in the palette at `palette`, added when new; 0 when the palette is full.
StyleId styleIdOfValue(lua_State* L, int palette, int index);

// Numbers every style string of a compiled grammar in the palette at `palette`.
void assignStyleIds(lua_State* L, int palette, PreparedTokenizer& tokenizer);
