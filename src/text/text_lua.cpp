// The Lua binding of the text module: argument checks and the report tables. The probing, line cutting and
// indentation logic live in text_probe, line_split and indent_detect.
#include "text/text_lua.h"

#include <cstring>
#include <string_view>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "text/indent_detect.h"
#include "text/line_split.h"
#include "text/text_probe.h"

namespace {

void setIntegerField(lua_State* L, const char* key, uint64_t value) {
  lua_pushinteger(L, static_cast<lua_Integer>(value));
  lua_setfield(L, -2, key);
}

void setStringField(lua_State* L, const char* key, std::string_view value) {
  lua_pushlstring(L, value.data(), value.size());
  lua_setfield(L, -2, key);
}

void setBooleanField(lua_State* L, const char* key, bool value) {
  lua_pushboolean(L, value);
  lua_setfield(L, -2, key);
}

void pushProbeReport(lua_State* L, const ProbeReport& report) {
  lua_createtable(L, 0, 6);
  lua_createtable(L, 0, 1);
  setIntegerField(L, "size", report.inputSize);
  lua_setfield(L, -2, "input");

  lua_createtable(L, 0, 5);
  setIntegerField(L, "initial_size", report.initialSample);
  setIntegerField(L, "max_size", report.maxSample);
  setIntegerField(L, "size", report.sampleSize);
  setIntegerField(L, "inspected_size", report.inspectedSize);
  setBooleanField(L, "complete", report.complete);
  lua_setfield(L, -2, "sample");

  if (report.mark.encoding != nullptr) {
    lua_createtable(L, 0, 3);
    setStringField(L, "status", "valid");
    setStringField(L, "encoding", report.mark.encoding);
    setIntegerField(L, "size", report.mark.size);
    lua_setfield(L, -2, "bom");
  }

  lua_createtable(L, 0, 2);
  setStringField(L, "status", probeVerdictName(report.utf8.verdict));
  if (report.utf8.verdict == ProbeVerdict::Invalid) setIntegerField(L, "invalid_offset", report.utf8.invalidOffset);
  lua_setfield(L, -2, "utf8");

  lua_createtable(L, 0, 3);
  setStringField(L, "status", probeVerdictName(report.utf16.verdict));
  if (report.utf16.verdict == ProbeVerdict::Valid) {
    setStringField(L, "endianness", report.utf16.littleEndian ? "le" : "be");
    setStringField(L, "basis", report.utf16.fromMark ? "bom" : "byte_pattern");
  }
  lua_setfield(L, -2, "utf16");

  lua_createtable(L, 0, 3);
  setStringField(L, "status", probeVerdictName(report.binary.verdict));
  setIntegerField(L, "nul_count", report.binary.nulCount);
  setIntegerField(L, "control_count", report.binary.controlCount);
  lua_setfield(L, -2, "binary");
}

// text.probe_file(bytes [, max_sample]) -> report table
int text_probe_file(lua_State* L) {
  size_t size = 0;
  const char* bytes = luaL_checklstring(L, 1, &size);
  const lua_Integer maxSample = luaL_optinteger(L, 2, static_cast<lua_Integer>(kDefaultProbeSample));
  luaL_argcheck(L, maxSample >= 1, 2, "maximum sample size must be positive");
  pushProbeReport(L, probeText({bytes, size}, static_cast<uint64_t>(maxSample)));
  return 1;
}

// Gathers indentation statistics from entries 1..count of the table at `index`, an argument: an entry that is
// not a string (or a number) raises the argument error that names it.
IndentStats gatherIndentStats(lua_State* L, int index, uint64_t count) {
  IndentStats stats;
  forEachSampledLine(count, [&](uint64_t line, bool windowStart) {
    if (windowStart) stats.forgetPrevious();
    lua_rawgeti(L, index, static_cast<lua_Integer>(line));
    stats.addLine(checkEntryText(L, TableEntry::ofElement(index, static_cast<long long>(line))));
    lua_pop(L, 1);
  });
  return stats;
}

// Sets indent_type (and indent_size) in the table on top of the stack; nothing when undecided.
void pushIndentVerdict(lua_State* L, const IndentStats& stats) {
  const IndentVerdict verdict = decideIndent(stats);
  if (verdict.type == IndentType::Tabs) setStringField(L, "indent_type", "tabs");
  if (verdict.type != IndentType::Spaces) return;
  setStringField(L, "indent_type", "spaces");
  if (verdict.size != 0) setIntegerField(L, "indent_size", static_cast<uint64_t>(verdict.size));
}

// text.detect_indent(lines) -> {indent_type = "tabs" | "spaces" [, indent_size]} or {}
int text_detect_indent(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  const IndentStats stats = gatherIndentStats(L, 1, lua_rawlen(L, 1));
  lua_createtable(L, 0, 2);
  pushIndentVerdict(L, stats);
  return 1;
}

bool readBooleanOption(lua_State* L, const char* key, bool fallback, const char* message) {
  if (lua_isnoneornil(L, 2)) return fallback;
  lua_getfield(L, 2, key);
  bool value = fallback;
  if (lua_isboolean(L, -1)) {
    value = lua_toboolean(L, -1);
  } else if (!lua_isnil(L, -1)) {
    luaL_argerror(L, 2, message);
  }
  lua_pop(L, 1);
  return value;
}

void pushLine(lua_State* L, std::string_view text, bool keepEol) {
  if (!keepEol) {
    lua_pushlstring(L, text.data(), text.size());
    return;
  }
  luaL_Buffer buffer;
  char* out = luaL_buffinitsize(L, &buffer, text.size() + 1);
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\n';
  luaL_pushresultsize(&buffer, text.size() + 1);
}

void pushSplitStats(lua_State* L, size_t inputSize, const LineSplitStats& stats, LineEnding dominant) {
  lua_createtable(L, 0, 13);
  setIntegerField(L, "input_size", inputSize);
  setIntegerField(L, "line_count", stats.lineCount);
  setIntegerField(L, "longest_line_length", stats.longestLength);
  setIntegerField(L, "longest_line_index", stats.longestIndex);
  setBooleanField(L, "has_cr", stats.hasCr);
  setBooleanField(L, "has_lf", stats.hasLf);
  setBooleanField(L, "crlf", dominant == LineEnding::CrLf);
  setBooleanField(L, "cr_only", dominant == LineEnding::Cr);
  setStringField(L, "eol_sequence", lineEndingText(dominant));
  setStringField(L, "eof_eol_sequence", lineEndingText(stats.finalEnding));
  setIntegerField(L, "eof_eol_count", stats.finalEndingCount);
}

// text.split_lines(text [, {keep_eol = true, detect_indent = false}]) -> lines, statistics
int text_split_lines(lua_State* L) {
  size_t size = 0;
  const char* text = luaL_checklstring(L, 1, &size);
  if (!lua_isnoneornil(L, 2)) luaL_checktype(L, 2, LUA_TTABLE);
  const bool keepEol = readBooleanOption(L, "keep_eol", true, "'keep_eol' must be a boolean");
  const bool detectIndent = readBooleanOption(L, "detect_indent", false, "'detect_indent' must be a boolean");
  lua_settop(L, 2);

  const LineEndingVote vote = voteLineEndings({text, size});
  lua_createtable(L, static_cast<int>(vote.reserveSlots), 0);
  LineCutter cutter({text, size});
  LineSplitStats stats;
  LinePiece piece;
  while (cutter.next(&piece)) {
    if (stats.lineCount >= static_cast<uint64_t>(LUA_MAXINTEGER)) luaL_error(L, "text has too many lines for Lua");
    stats.addPiece(piece);
    pushLine(L, piece.text, keepEol);
    lua_rawseti(L, 3, static_cast<lua_Integer>(stats.lineCount));
  }
  pushSplitStats(L, size, stats, vote.dominant);
  if (detectIndent) pushIndentVerdict(L, gatherIndentStats(L, 3, stats.lineCount));
  return 2;
}

const luaL_Reg kTextFunctions[] = {
    {"probe_file", text_probe_file},
    {"detect_indent", text_detect_indent},
    {"split_lines", text_split_lines},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_text(lua_State* L) {
  luaL_checkversion(L);
  lua_createtable(L, 0, 3);
  luaL_setfuncs(L, kTextFunctions, 0);
  return 1;
}
