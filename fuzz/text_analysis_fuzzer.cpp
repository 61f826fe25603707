// Fuzzes the text module's analysis: probing, line cutting and indentation detection, first in the core
// (whose answers must agree with each other and with the input), then through text.probe_file,
// text.split_lines and text.detect_indent under pcall.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/lua_api.h"
#include "text/indent_detect.h"
#include "text/line_split.h"
#include "text/text_lua.h"
#include "text/text_probe.h"
#include "text/utf8_codec.h"

namespace {

constexpr const char* kCalls = R"lua(
local data, sample, keep = ...
local report = text.probe_file(data, sample)
assert(report.input.size == #data and report.sample.size <= #data)
local lines, stats = text.split_lines(data, { detect_indent = true, keep_eol = keep })
assert(#lines == stats.line_count)
text.detect_indent(lines)
)lua";

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

void require(bool condition) {
  if (!condition) std::abort();
}

void checkProbe(std::string_view data, uint64_t maxSample) {
  const ProbeReport report = probeText(data, maxSample);
  require(report.inputSize == data.size() && report.sampleSize <= data.size());
  const size_t invalid = firstInvalidOffset(data);
  if (report.utf8.verdict == ProbeVerdict::Invalid) require(report.utf8.invalidOffset == invalid + 1);
  if (report.utf8.verdict == ProbeVerdict::Valid) require(invalid == std::string_view::npos);
  if (report.utf8.verdict == ProbeVerdict::Unsure) {
    require(invalid == std::string_view::npos || invalid >= report.sampleSize);
  }
}

// The pieces and their endings give the text back; the statistics count what the pieces hold.
std::vector<std::string_view> checkLines(std::string_view data) {
  std::vector<std::string_view> lines;
  std::string rebuilt;
  LineCutter cutter(data);
  LineSplitStats stats;
  LinePiece piece;
  uint64_t longest = 0;
  while (cutter.next(&piece)) {
    stats.addPiece(piece);
    lines.push_back(piece.text);
    longest = std::max<uint64_t>(longest, piece.text.size());
    rebuilt.append(piece.text).append(lineEndingText(piece.ending));
  }
  require(rebuilt == data);
  require(stats.lineCount == lines.size() && stats.longestLength == longest);
  require(stats.hasCr == (data.find('\r') != std::string_view::npos));
  const LineEndingVote vote = voteLineEndings(data);
  require(vote.reserveSlots >= 1 && (vote.dominant == LineEnding::Lf || data.find('\r') != std::string_view::npos));
  return lines;
}

void checkIndent(const std::vector<std::string_view>& lines) {
  IndentStats stats;
  forEachSampledLine(lines.size(), [&](uint64_t index, bool windowStart) {
    require(index >= 1 && index <= lines.size());
    if (windowStart) stats.forgetPrevious();
    stats.addLine(lines[index - 1]);
  });
  const IndentVerdict verdict = decideIndent(stats);
  require(verdict.size >= 0 && verdict.size <= kMaxIndentWidth);
  require(verdict.type != IndentType::Tabs || stats.tabLines >= 2);
  require(verdict.type != IndentType::Spaces || stats.spaceLines >= 2);
  require(verdict.size == 0 || verdict.type == IndentType::Spaces);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint64_t maxSample = data[0] % 64 + 1;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  checkProbe(text, maxSample);
  checkIndent(checkLines(text));

  std::unique_ptr<lua_State, LuaStateCloser> state(luaL_newstate());
  lua_State* L = state.get();
  luaL_openlibs(L);
  luaL_requiref(L, "text", luaopen_text, 1);
  lua_settop(L, 0);
  if (luaL_loadstring(L, kCalls) != LUA_OK) std::abort();
  lua_pushlstring(L, text.data(), text.size());
  lua_pushinteger(L, static_cast<lua_Integer>(maxSample));
  lua_pushboolean(L, (data[0] & 0x80) != 0);
  if (lua_pcall(L, 3, 0, 0) != LUA_OK) std::abort();
  return 0;
}
