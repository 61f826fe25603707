// Positions inside laid-out text: the x of a byte column, the column nearest to an x, and the cluster
// boundaries of a text. Unshaped runs are walked codepoint by codepoint; shaped runs by their glyph
// clusters (consecutive glyphs of one cluster merge).
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fonts/codepoints.h"
#include "fonts/render_font.h"
#include "render/pixel_ops.h"
#include "render/render_cache.h"

namespace {

struct ClusterSpan {
  uint32_t start;
  uint32_t end;
  int64_t x0;
  int64_t x1;
};

// Run widths are stored unsigned; a run of negative advances counts as negative.
int64_t widthOf(const TextRun& run) { return static_cast<int32_t>(run.width); }

std::vector<ClusterSpan> clusterList(const TextRun& run) {
  std::vector<ClusterSpan> list;
  int64_t pen = 0;
  for (const ShapedGlyph& glyph : run.glyphs) {
    const int64_t after = pen + glyph.xAdvance;
    if (!list.empty() && list.back().start == glyph.clusterStart && list.back().end == glyph.clusterEnd) {
      list.back().x0 = std::min(list.back().x0, pen);
      list.back().x1 = std::max(list.back().x1, after);
    } else {
      list.push_back({glyph.clusterStart, glyph.clusterEnd, pen, after});
    }
    pen = after;
  }
  return list;
}

// Walks the codepoints of an unshaped run: visit(byteStart, byteEnd, penBefore, penAfter) for each, until
// visit returns false, the text ends or the entries run out.
template <typename Visit>
void walkCodepoints(const TextRun& run, Visit visit) {
  const char* start = run.text.c_str();
  const char* p = start;
  const char* end = start + run.text.size();
  int64_t pen = 0;
  for (const RunCodepoint& entry : run.codepoints) {
    if (p >= end) break;
    uint32_t codepoint = 0;
    const char* next = nextUtf8CodepointUnchecked(p, codepoint);
    const int64_t advance = entry.face != nullptr ? entry.face->codepointAdvance(entry.codepoint).advance : 0;
    if (!visit(static_cast<size_t>(p - start), static_cast<size_t>(next - start), pen, pen + advance)) return;
    pen += advance;
    p = next;
  }
}

int64_t unshapedOffset(const TextRun& run, size_t position) {
  int64_t x = 0;
  walkCodepoints(run, [&](size_t, size_t byteEnd, int64_t, int64_t after) {
    if (byteEnd > position) return false;
    x = after;
    return true;
  });
  return x;
}

int64_t shapedOffset(const TextRun& run, size_t position) {
  const size_t length = run.text.size();
  int64_t x = position <= length - position ? 0 : widthOf(run);
  size_t distance = std::min(position, length - position);
  const auto consider = [&](uint32_t byte, int64_t candidate) {
    const size_t d = byte > position ? byte - position : position - byte;
    if (d < distance) {
      distance = d;
      x = candidate;
    }
  };
  for (const ClusterSpan& cluster : clusterList(run)) {
    consider(cluster.start, cluster.x0);
    consider(cluster.end, cluster.x1);
  }
  return x;
}

}  // namespace

int32_t RenderCache::textXOffset(RenderFont* font, const char* text, int32_t column) {
  if (font == nullptr || text == nullptr) return 0;
  const TextLayout& layout = layoutText(font, text);
  if (layout.runs.empty()) return 0;
  const size_t length = std::strlen(text);
  const size_t byte = static_cast<size_t>(std::clamp<int64_t>(int64_t{column} - 1, 0, static_cast<int64_t>(length)));
  size_t start = 0;
  int64_t x = 0;
  for (const TextRun& run : layout.runs) {
    const size_t runLength = run.text.size();
    if (start + runLength >= byte) {
      const size_t position = byte - start;
      if (position == 0) return clampToInt32(x);
      if (position >= runLength) return clampToInt32(x + widthOf(run));
      return clampToInt32(x + (run.glyphs.empty() ? unshapedOffset(run, position) : shapedOffset(run, position)));
    }
    start += runLength;
    x += widthOf(run);
  }
  return clampToInt32(x);
}

int32_t RenderCache::columnAtX(RenderFont* font, const char* text, int32_t x) {
  if (font == nullptr || text == nullptr) return 1;
  const TextLayout& layout = layoutText(font, text);
  const int64_t length = static_cast<int64_t>(std::strlen(text));
  int64_t bestDistance = 2147483647, bestX = 0, bestColumn = 1;
  const auto consider = [&](int64_t candidateX, int64_t column) {
    const int64_t distance = std::llabs(x - candidateX);
    if (distance < bestDistance || (distance == bestDistance && candidateX < bestX)) {
      bestDistance = distance;
      bestX = candidateX;
      bestColumn = column;
    }
  };
  int64_t start = 0, runX = 0;
  for (const TextRun& run : layout.runs) {
    consider(runX, start + 1);
    if (run.glyphs.empty()) {
      walkCodepoints(run, [&](size_t, size_t byteEnd, int64_t, int64_t after) {
        consider(runX + after, start + static_cast<int64_t>(byteEnd) + 1);
        return true;
      });
    } else {
      for (const ClusterSpan& cluster : clusterList(run)) {
        consider(runX + cluster.x0, start + cluster.start + 1);
        consider(runX + cluster.x1, start + cluster.end + 1);
      }
    }
    consider(runX + widthOf(run), start + static_cast<int64_t>(run.text.size()) + 1);
    start += static_cast<int64_t>(run.text.size());
    runX += widthOf(run);
  }
  consider(runX, length + 1);
  return static_cast<int32_t>(std::clamp<int64_t>(bestColumn, 1, length + 1));
}

std::vector<TextCluster> RenderCache::textClusters(RenderFont* font, const char* text) {
  std::vector<TextCluster> clusters;
  if (font == nullptr || text == nullptr || *text == '\0') return clusters;
  const TextLayout& layout = layoutText(font, text);
  uint32_t start = 0;
  int64_t runX = 0;
  const auto add = [&](size_t from, size_t to, int64_t x0, int64_t x1) {
    clusters.push_back({static_cast<uint32_t>(start + 1 + from), static_cast<uint32_t>(start + 1 + to),
                        clampToInt32(runX + x0), clampToInt32(runX + x1)});
  };
  for (const TextRun& run : layout.runs) {
    if (run.glyphs.empty()) {
      walkCodepoints(run, [&](size_t byteStart, size_t byteEnd, int64_t before, int64_t after) {
        add(byteStart, byteEnd, before, after);
        return true;
      });
    } else {
      for (const ClusterSpan& cluster : clusterList(run)) add(cluster.start, cluster.end, cluster.x0, cluster.x1);
    }
    start += static_cast<uint32_t>(run.text.size());
    runX += widthOf(run);
  }
  std::stable_sort(clusters.begin(), clusters.end(), [](const TextCluster& a, const TextCluster& b) {
    return a.startColumn != b.startColumn ? a.startColumn < b.startColumn : a.endColumn < b.endColumn;
  });
  return clusters;
}
