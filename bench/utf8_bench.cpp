// The utf8 module on 4 MiB of mixed text (ASCII words, accented Latin, Greek, Cyrillic, CJK, emoji, decomposed
// accents), each figure one pass from Lua: len and a codes loop against Lua's own utf8 library, normalize_nfc
// against utf8proc_NFC, a find "%a+" loop over the lines of an ASCII text against string.find, and width and
// lower (against string.lower) as figures; and find "%a+" with an advancing init over one long line of that
// text, at two lengths, whose times must grow with the length; and normalize_nfc of one letter followed by a
// run of combining marks of mixed classes, at two lengths, whose times must grow with the length too.
#include <benchmark/benchmark.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/lua_api.h"
#include "ratio_reporter.h"
#include "text/utf8_lua.h"

namespace {

constexpr size_t kTextSize = 4 << 20;

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};
using LuaState = std::unique_ptr<lua_State, LuaStateCloser>;

// Words drawn in turn; about two thirds of the bytes are ASCII.
std::string mixedText(bool asciiOnly) {
  static const char* const kWords[] = {
      "the",  "quick", "brown",  "fox",        "jumps",  "over",         "lazy",   "dog",          "text",
      "café", "naïve", "Straße", "πληροφορία", "данные", "文字列の処理", "表示幅", "😀👍🏽", "e\xCC\x81t\xC3\xA9",
      "line", "with",  "words",  "and",        "42",     "numbers",      "señor",  "\xED\x95\x9C", "end",
  };
  std::string text;
  text.reserve(kTextSize + 64);
  unsigned seed = 7;
  size_t lineLength = 0;
  while (text.size() < kTextSize) {
    seed = seed * 1103515245u + 12345u;
    const char* word = kWords[(seed >> 16) % (sizeof kWords / sizeof kWords[0])];
    if (asciiOnly && static_cast<unsigned char>(word[0]) >= 0x80) word = "ascii";
    text += word;
    lineLength += std::char_traits<char>::length(word) + 1;
    text += lineLength > 72 ? '\n' : ' ';
    if (lineLength > 72) lineLength = 0;
  }
  return text;
}

LuaState newState(bool asciiOnly) {
  LuaState state(luaL_newstate());
  lua_State* L = state.get();
  luaL_openselectedlibs(L, ~LUA_UTF8LIBK, 0);
  luaL_requiref(L, LUA_UTF8LIBNAME, luaopen_utf8_module, 1);
  luaL_requiref(L, "lua_utf8", luaopen_utf8, 1);
  const std::string text = mixedText(asciiOnly);
  lua_pushlstring(L, text.data(), text.size());
  lua_setglobal(L, "text");
  luaL_dostring(L, "lines = {} for line in string.gmatch(text, '[^\\n]+') do lines[#lines + 1] = line end");
  lua_settop(L, 0);
  return state;
}

// Times the Lua chunk `code` once per iteration.
void timeChunk(benchmark::State& state, lua_State* L, const char* code) {
  if (luaL_loadstring(L, code) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  const int chunk = lua_gettop(L);
  for (auto _ : state) {
    lua_pushvalue(L, chunk);
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
    lua_gc(L, LUA_GCCOLLECT);
  }
}

// Times the Lua chunk `code` (which sees the globals text and lines) once per iteration.
void runLua(benchmark::State& state, const char* code, bool asciiOnly = false) {
  LuaState lua = newState(asciiOnly);
  timeChunk(state, lua.get(), code);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kTextSize));
}

constexpr const char* kCodesLoop = "local n = 0 for _, c in %s.codes(text) do n = n + 1 end";
constexpr const char* kFindLoop = R"lua(
local find = %s.find
for _, line in ipairs(lines) do
  local at = 1
  while true do
    local first, last = find(line, "%%a+", at)
    if not first then break end
    at = last + 1
  end
end)lua";

std::string formatted(const char* format, const char* library) {
  char code[512];
  std::snprintf(code, sizeof code, format, library);
  return code;
}

void LenOurs(benchmark::State& state) { runLua(state, "utf8.len(text)"); }
void LenLua(benchmark::State& state) { runLua(state, "lua_utf8.len(text)"); }
void CodesOurs(benchmark::State& state) { runLua(state, formatted(kCodesLoop, "utf8").c_str()); }
void CodesLua(benchmark::State& state) { runLua(state, formatted(kCodesLoop, "lua_utf8").c_str()); }
void NormalizeNfcOurs(benchmark::State& state) { runLua(state, "utf8.normalize_nfc(text)"); }
void NormalizeNfcOursWhenNfc(benchmark::State& state) {
  runLua(state, "if not nfc then nfc = utf8.normalize_nfc(text) end utf8.normalize_nfc(nfc)");
}
void FindAlphaOurs(benchmark::State& state) { runLua(state, formatted(kFindLoop, "utf8").c_str(), true); }
void FindAlphaString(benchmark::State& state) { runLua(state, formatted(kFindLoop, "string").c_str(), true); }
void WidthOurs(benchmark::State& state) { runLua(state, "utf8.width(text)"); }
void LowerOurs(benchmark::State& state) { runLua(state, "utf8.lower(text)"); }
void LowerString(benchmark::State& state) { runLua(state, "string.lower(text)"); }

// Every word of one line of about state.range(0) bytes of the mixed text, each find starting where the last ended.
void FindAdvancingOnOneLine(benchmark::State& state) {
  LuaState lua = newState(false);
  lua_State* L = lua.get();
  lua_getglobal(L, "text");
  std::string line(lua_tostring(L, -1), static_cast<size_t>(state.range(0)));
  line.resize(line.find_last_of(" \n") + 1);  // ends between words
  std::replace(line.begin(), line.end(), '\n', ' ');
  lua_pushlstring(L, line.data(), line.size());
  lua_setglobal(L, "line");
  lua_settop(L, 0);
  timeChunk(state, L, R"lua(
local find, line, at = utf8.find, line, 1
while true do
  local first, last = find(line, "%a+", at)
  if not first then break end
  at = last + 1
end)lua");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// "a" and state.range(0) marks drawn from eight of classes 1 to 240, so canonical order moves most of them,
// normalized from Lua.
void NormalizeNfcOfMarkRun(benchmark::State& state) {
  static const uint32_t kMarks[] = {0x300, 0x316, 0x334, 0x327, 0x31B, 0x35C, 0x35D, 0x345};
  LuaState lua = newState(true);
  lua_State* L = lua.get();
  std::string text = "a";
  unsigned seed = 11;
  for (int64_t i = 0; i < state.range(0); ++i) {
    seed = seed * 1103515245u + 12345u;
    const uint32_t mark = kMarks[(seed >> 16) % 8];
    text += static_cast<char>(0xC0 | (mark >> 6));
    text += static_cast<char>(0x80 | (mark & 0x3F));
  }
  lua_pushlstring(L, text.data(), text.size());
  lua_setglobal(L, "marks");
  timeChunk(state, L, "utf8.normalize_nfc(marks)");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void NormalizeNfcUtf8proc(benchmark::State& state) {
  const std::string text = mixedText(false);
  for (auto _ : state) {
    utf8proc_uint8_t* result = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(text.c_str()));
    benchmark::DoNotOptimize(result);
    std::free(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kTextSize));
}

}  // namespace

BENCHMARK(LenOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(LenLua)->Unit(benchmark::kMillisecond);
BENCHMARK(CodesOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(CodesLua)->Unit(benchmark::kMillisecond);
BENCHMARK(NormalizeNfcOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(NormalizeNfcUtf8proc)->Unit(benchmark::kMillisecond);
BENCHMARK(NormalizeNfcOursWhenNfc)->Unit(benchmark::kMillisecond);
BENCHMARK(FindAlphaOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(FindAlphaString)->Unit(benchmark::kMillisecond);
BENCHMARK(WidthOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(LowerOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(LowerString)->Unit(benchmark::kMillisecond);
BENCHMARK(FindAdvancingOnOneLine)->Arg(64 << 10)->Arg(256 << 10)->Unit(benchmark::kMillisecond);
BENCHMARK(NormalizeNfcOfMarkRun)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.printRatio("len, ours / Lua's utf8", "LenOurs", "LenLua", 1.2, "ms");
  reporter.printRatio("codes loop, ours / Lua's utf8", "CodesOurs", "CodesLua", 1.2, "ms");
  reporter.printRatio("normalize_nfc, ours / utf8proc_NFC", "NormalizeNfcOurs", "NormalizeNfcUtf8proc", 1.5, "ms");
  reporter.printRatio("find loop, ours / string.find", "FindAlphaOurs", "FindAlphaString", 3.0, "ms");
  reporter.printRatio("advancing find, 256 KiB / 64 KiB line", "FindAdvancingOnOneLine/262144",
                      "FindAdvancingOnOneLine/65536", 5.0, "ms");
  reporter.printRatio("normalize_nfc, 40,000 / 10,000 marks", "NormalizeNfcOfMarkRun/40000",
                      "NormalizeNfcOfMarkRun/10000", 5.0, "ms");
  benchmark::Shutdown();
  return 0;
}
