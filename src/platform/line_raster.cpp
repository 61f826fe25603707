// Polyline rasterization over FreeType: the polyline is stroked with FT_Stroker and rendered with the
// anti-aliasing raster in direct (span callback) mode. FreeType's spans carry 16-bit x values and its
// outlines at most 32767 points, so the plane is cut into fixed squares of 32767 pixels, the polyline is
// cut to the part that can reach each square the clip box touches, and long polylines, and those that run
// over themselves, are rendered in groups whose spans are merged (maximum coverage where groups overlap).
// The squares do not depend on the clip box, so a pixel gets the same coverage whatever clip it is drawn
// under.
#include "platform/line_raster.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_STROKER_H

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <unordered_map>

namespace {

constexpr int32_t kStripSize = 32767;

struct LibraryHolder {
  FT_Library library = nullptr;
  LibraryHolder() {
    if (FT_Init_FreeType(&library) != 0) library = nullptr;
  }
  ~LibraryHolder() {
    if (library != nullptr) FT_Done_FreeType(library);
  }
  LibraryHolder(const LibraryHolder&) = delete;
  LibraryHolder& operator=(const LibraryHolder&) = delete;
};

// The raster library of the calling thread, made on first use; null when FreeType cannot start.
FT_Library lineRasterLibrary() {
  thread_local LibraryHolder holder;
  return holder.library;
}

struct StrokerDeleter {
  void operator()(FT_Stroker stroker) const { FT_Stroker_Done(stroker); }
};
using StrokerHandle = std::unique_ptr<std::remove_pointer_t<FT_Stroker>, StrokerDeleter>;

class OutlineHolder {
 public:
  explicit OutlineHolder(FT_Library library) : library_(library) {}
  ~OutlineHolder() {
    if (made_) FT_Outline_Done(library_, &outline_);
  }
  OutlineHolder(const OutlineHolder&) = delete;
  OutlineHolder& operator=(const OutlineHolder&) = delete;
  bool make(FT_UInt points, FT_UInt contours) {
    made_ = FT_Outline_New(library_, points, static_cast<FT_Int>(contours), &outline_) == 0;
    return made_;
  }
  FT_Outline* get() { return &outline_; }

 private:
  FT_Library library_;
  FT_Outline outline_{};
  bool made_ = false;
};

struct PointD {
  double x;
  double y;
};

// One connected part of the polyline inside the padded strip, in 26.6 strip coordinates (y up).
using Piece = std::vector<FT_Vector>;

// One square of the fixed grid, with the part of the clip box inside it (square coordinates, y down).
struct Strip {
  int64_t x0;
  int64_t y0;
  int32_t clipX0;
  int32_t clipY0;
  int32_t clipX1;
  int32_t clipY1;
  static constexpr int32_t width = kStripSize;
  static constexpr int32_t height = kStripSize;
};

// Liang-Barsky: cuts segment a-b to the box; false when nothing is left.
bool clipSegment(PointD a, PointD b, const PointD& boxMin, const PointD& boxMax, double* t0, double* t1) {
  const double dx = b.x - a.x, dy = b.y - a.y;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {a.x - boxMin.x, boxMax.x - a.x, a.y - boxMin.y, boxMax.y - a.y};
  *t0 = 0;
  *t1 = 1;
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return false;
      continue;
    }
    const double r = q[i] / p[i];
    if (p[i] < 0) {
      *t0 = std::max(*t0, r);
    } else {
      *t1 = std::min(*t1, r);
    }
  }
  return *t0 <= *t1;
}

FT_Vector toStripVector(PointD point, const Strip& strip) {
  return {static_cast<FT_Pos>(std::lround((point.x - static_cast<double>(strip.x0)) * 64.0)),
          static_cast<FT_Pos>(std::lround((strip.height - (point.y - static_cast<double>(strip.y0))) * 64.0))};
}

void appendPoint(Piece* piece, const FT_Vector& point) {
  if (piece->empty() || piece->back().x != point.x || piece->back().y != point.y) piece->push_back(point);
}

// The parts of the polyline within halfWidth + 2 pixels of the strip; farther parts cannot cover it.
std::vector<Piece> piecesInStrip(std::span<const LinePoint> points, double halfWidth, const Strip& strip) {
  const double pad = halfWidth + 2;
  const PointD boxMin{static_cast<double>(strip.x0) - pad, static_cast<double>(strip.y0) - pad};
  const PointD boxMax{static_cast<double>(strip.x0 + strip.width) + pad,
                      static_cast<double>(strip.y0 + strip.height) + pad};
  std::vector<Piece> pieces;
  bool open = false;
  for (size_t i = 0; i + 1 < points.size(); ++i) {
    const PointD a{points[i].x, points[i].y}, b{points[i + 1].x, points[i + 1].y};
    double t0, t1;
    if (!clipSegment(a, b, boxMin, boxMax, &t0, &t1)) {
      open = false;
      continue;
    }
    const PointD start{a.x + (b.x - a.x) * t0, a.y + (b.y - a.y) * t0};
    const PointD end{a.x + (b.x - a.x) * t1, a.y + (b.y - a.y) * t1};
    if (!open || t0 > 0) {
      pieces.emplace_back();
      appendPoint(&pieces.back(), toStripVector(start, strip));
    }
    appendPoint(&pieces.back(), toStripVector(end, strip));
    open = t1 >= 1;
  }
  std::erase_if(pieces, [](const Piece& piece) { return piece.size() < 2; });
  return pieces;
}

// A polyline's pieces cut into groups, each stroked and rendered on its own, with the vertices where a piece
// was cut because it ran over itself: each of those gets its round join as a disc rendered on its own.
// FreeType fills a stroke with the non-zero rule, which adds up the coverage of edges that fall on one pixel:
// where a path runs back over itself the edge pixels would get it twice. So a group never holds two segments
// whose strokes run over one another: a segment that turns back onto the one before it, or that comes within
// a width of a segment the path had left (its way there is longer than going out and back a width), starts a
// new group. Groups also end after kGroupSegments segments, for FreeType's outline limits; such a cut repeats
// one segment, so that the join there is drawn by one of them. Where groups and discs meet, spans are merged
// by their largest coverage, so every pixel is covered once.
struct StrokeGroups {
  std::vector<std::vector<Piece>> groups;
  std::vector<FT_Vector> joins;
};

struct SegmentD {
  PointD a;
  PointD b;
};

double pointSegmentDistance(const PointD& p, const SegmentD& s) {
  const double dx = s.b.x - s.a.x, dy = s.b.y - s.a.y;
  const double lengthSquared = dx * dx + dy * dy;
  const double t =
      lengthSquared > 0 ? std::clamp(((p.x - s.a.x) * dx + (p.y - s.a.y) * dy) / lengthSquared, 0.0, 1.0) : 0.0;
  return std::hypot(p.x - (s.a.x + t * dx), p.y - (s.a.y + t * dy));
}

double cross(const PointD& o, const PointD& a, const PointD& b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

double segmentDistance(const SegmentD& s, const SegmentD& t) {
  const double d1 = cross(s.a, s.b, t.a), d2 = cross(s.a, s.b, t.b);
  const double d3 = cross(t.a, t.b, s.a), d4 = cross(t.a, t.b, s.b);
  if (((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0))) return 0;
  return std::min({pointSegmentDistance(s.a, t), pointSegmentDistance(s.b, t), pointSegmentDistance(t.a, s),
                   pointSegmentDistance(t.b, s)});
}

class StrokeGrouper {
 public:
  explicit StrokeGrouper(double width) : width_(width), cellSize_(std::max(width, 4.0)) {}

  StrokeGroups group(const std::vector<Piece>& pieces) {
    startGroup();
    for (const Piece& piece : pieces) {
      result_.groups.back().emplace_back(1, piece.front());
      pathLength_ += kNewPiece;  // the path left the region between two pieces
      previous_ = -1;
      for (size_t k = 1; k < piece.size(); ++k) {
        const SegmentD segment{pixels(piece[k - 1]), pixels(piece[k])};
        if (segments_.size() >= kGroupSegments) {
          cutBefore(piece[k - 1]);
          if (k >= 2) {
            result_.groups.back().back().insert(result_.groups.back().back().begin(), piece[k - 2]);
            add({pixels(piece[k - 2]), pixels(piece[k - 1])});
          }
        }
        if (runsOverTheGroup(segment)) {
          if (k >= 2) result_.joins.push_back(piece[k - 1]);  // the start of a piece has a cap, no join
          cutBefore(piece[k - 1]);
        }
        add(segment);
        result_.groups.back().back().push_back(piece[k]);
      }
    }
    return std::move(result_);
  }

 private:
  struct Entry {
    SegmentD segment;
    double pathStart;  // the path's length up to the segment
    double pathEnd;
  };
  static constexpr size_t kGroupSegments = 1024;
  static constexpr double kNewPiece = 1e12;
  static constexpr int64_t kMostCells = 64;  // a segment over more cells is tried against every new one

  static PointD pixels(const FT_Vector& point) { return {point.x / 64.0, point.y / 64.0}; }

  // Ends the group and starts the next one with a subpath at `start`. A subpath of the ended group that
  // holds no segment yet is dropped.
  void cutBefore(const FT_Vector& start) {
    std::vector<Piece>& ended = result_.groups.back();
    if (!ended.empty() && ended.back().size() < 2) ended.pop_back();
    startGroup();
    result_.groups.back().emplace_back(1, start);
  }

  void startGroup() {
    result_.groups.emplace_back();
    segments_.clear();
    cells_.clear();
    wide_.clear();
    previous_ = -1;
  }

  // The cells that a segment's box, grown by half a width, covers: two segments closer than a width share one.
  template <typename Visit>
  bool forEachCell(const SegmentD& s, Visit visit) const {
    const double margin = width_ / 2;
    const int64_t x0 = cellOf(std::min(s.a.x, s.b.x) - margin), x1 = cellOf(std::max(s.a.x, s.b.x) + margin);
    const int64_t y0 = cellOf(std::min(s.a.y, s.b.y) - margin), y1 = cellOf(std::max(s.a.y, s.b.y) + margin);
    if ((x1 - x0 + 1) * (y1 - y0 + 1) > kMostCells) return false;
    for (int64_t y = y0; y <= y1; ++y) {
      for (int64_t x = x0; x <= x1; ++x)
        visit(static_cast<uint64_t>(x) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(y));
    }
    return true;
  }
  int64_t cellOf(double coordinate) const { return static_cast<int64_t>(std::floor(coordinate / cellSize_)); }

  void add(const SegmentD& segment) {
    const double length = std::hypot(segment.b.x - segment.a.x, segment.b.y - segment.a.y);
    const auto index = static_cast<uint32_t>(segments_.size());
    segments_.push_back({segment, pathLength_, pathLength_ + length});
    pathLength_ += length;
    if (!forEachCell(segment, [&](uint64_t cell) { cells_[cell].push_back(index); })) wide_.push_back(index);
    previous_ = static_cast<int64_t>(index);
  }

  // Whether the segment, which follows the last one added, runs over a segment of the group.
  bool runsOverTheGroup(const SegmentD& segment) {
    if (previous_ >= 0 && turnsBackOnto(segments_[static_cast<size_t>(previous_)].segment, segment)) return true;
    bool over = false;
    const auto tryOne = [&](uint32_t index) {
      const Entry& earlier = segments_[index];
      // A way from that segment to this one longer than out and back beyond a width: the path left it.
      over = over || (static_cast<int64_t>(index) != previous_ && pathLength_ - earlier.pathEnd > 2 * (width_ + 2) &&
                      !boxesApart(earlier.segment, segment) && segmentDistance(earlier.segment, segment) < width_);
    };
    for (const uint32_t index : wide_) tryOne(index);
    const bool fits = forEachCell(segment, [&](uint64_t cell) {
      if (const auto found = cells_.find(cell); found != cells_.end()) {
        for (const uint32_t index : found->second) tryOne(index);
      }
    });
    if (!fits) {
      for (uint32_t index = 0; index < segments_.size(); ++index) tryOne(index);
    }
    return over;
  }

  // Whether the segments' boxes lie a width apart or more on an axis, so the segments do too.
  bool boxesApart(const SegmentD& s, const SegmentD& t) const {
    return std::min(s.a.x, s.b.x) >= std::max(t.a.x, t.b.x) + width_ ||
           std::min(t.a.x, t.b.x) >= std::max(s.a.x, s.b.x) + width_ ||
           std::min(s.a.y, s.b.y) >= std::max(t.a.y, t.b.y) + width_ ||
           std::min(t.a.y, t.b.y) >= std::max(s.a.y, s.b.y) + width_;
  }

  // A segment that turns by more than a right angle and ends within a width of the one before it runs back
  // over that one (as a stroke drawn out and back does).
  bool turnsBackOnto(const SegmentD& before, const SegmentD& next) const {
    const double dot =
        (before.b.x - before.a.x) * (next.b.x - next.a.x) + (before.b.y - before.a.y) * (next.b.y - next.a.y);
    return dot < 0 && (pointSegmentDistance(next.b, before) < width_ || pointSegmentDistance(before.a, next) < width_);
  }

  double width_;
  double cellSize_;
  double pathLength_ = 0;
  int64_t previous_ = -1;  // the segment before the next one, in the same piece; -1 for none
  StrokeGroups result_;
  std::vector<Entry> segments_;
  std::unordered_map<uint64_t, std::vector<uint32_t>> cells_;
  std::vector<uint32_t> wide_;
};

struct SpanSink {
  const Strip* strip;
  std::vector<LineSpan>* spans;
};

void collectSpans(int y, int count, const FT_Span* ftSpans, void* user) {
  const auto* sink = static_cast<const SpanSink*>(user);
  const Strip& strip = *sink->strip;
  const int32_t row = strip.height - 1 - y;
  if (row < strip.clipY0 || row >= strip.clipY1) return;
  for (int i = 0; i < count; ++i) {
    const int32_t x0 = std::max<int32_t>(ftSpans[i].x, strip.clipX0);
    const int32_t x1 = std::min<int32_t>(int32_t{ftSpans[i].x} + ftSpans[i].len, strip.clipX1);
    if (x1 <= x0 || ftSpans[i].coverage == 0) continue;
    sink->spans->push_back(
        {static_cast<int32_t>(strip.x0 + x0), static_cast<int32_t>(strip.y0 + row), x1 - x0, ftSpans[i].coverage});
  }
}

// Renders the columns [x0, x1) of the strip's clip. FreeType keeps the cells of a scanline in a pool of
// fixed size and fails with a raster overflow when one scanline crosses more edge pixels than it holds (a
// long, nearly horizontal stroke does): the columns are then rendered in halves.
bool renderColumns(FT_Library library, FT_Outline* outline, const Strip& strip, int32_t x0, int32_t x1,
                   std::vector<LineSpan>* spans) {
  SpanSink sink{&strip, spans};
  FT_Raster_Params params{};
  params.source = outline;
  params.flags = FT_RASTER_FLAG_AA | FT_RASTER_FLAG_DIRECT | FT_RASTER_FLAG_CLIP;
  params.gray_spans = collectSpans;
  params.user = &sink;
  params.clip_box = {x0, strip.height - strip.clipY1, x1, strip.height - strip.clipY0};
  const size_t spansBefore = spans->size();
  const FT_Error error = FT_Outline_Render(library, outline, &params);
  if (error == 0) return true;
  spans->resize(spansBefore);  // the bands finished before the failure
  if (error != FT_Err_Raster_Overflow || x1 - x0 < 2) return false;
  const int32_t middle = x0 + (x1 - x0) / 2;
  return renderColumns(library, outline, strip, x0, middle, spans) &&
         renderColumns(library, outline, strip, middle, x1, spans);
}

bool renderBatch(FT_Library library, FT_Stroker stroker, const std::vector<Piece>& batch, const Strip& strip,
                 std::vector<LineSpan>* spans) {
  FT_Stroker_Rewind(stroker);
  for (const Piece& piece : batch) {
    FT_Vector start = piece.front();
    if (FT_Stroker_BeginSubPath(stroker, &start, 1) != 0) return false;
    for (size_t i = 1; i < piece.size(); ++i) {
      FT_Vector to = piece[i];
      if (FT_Stroker_LineTo(stroker, &to) != 0) return false;
    }
    if (FT_Stroker_EndSubPath(stroker) != 0) return false;
  }
  FT_UInt pointCount = 0, contourCount = 0;
  if (FT_Stroker_GetCounts(stroker, &pointCount, &contourCount) != 0) return false;
  if (pointCount == 0) return true;
  OutlineHolder outline(library);
  if (!outline.make(pointCount, contourCount)) return false;
  outline.get()->n_points = 0;
  outline.get()->n_contours = 0;
  FT_Stroker_Export(stroker, outline.get());
  return renderColumns(library, outline.get(), strip, strip.clipX0, strip.clipX1, spans);
}

// Merges overlapping spans of one row into disjoint ones, keeping the larger coverage: a sweep over the
// span ends that counts the spans open at each coverage.
void mergeRow(std::vector<LineSpan>::iterator first, std::vector<LineSpan>::iterator last, std::vector<LineSpan>* out) {
  struct End {
    int32_t x;
    uint8_t coverage;
    int32_t step;  // 1 where a span opens, -1 where it closes
  };
  std::vector<End> ends;
  for (auto it = first; it != last; ++it) {
    ends.push_back({it->x, it->coverage, 1});
    ends.push_back({it->x + it->length, it->coverage, -1});
  }
  std::sort(ends.begin(), ends.end(), [](const End& a, const End& b) { return a.x < b.x; });
  std::array<int32_t, 256> open{};
  int32_t top = 0;  // the largest coverage open
  for (size_t i = 0; i < ends.size();) {
    const int32_t x = ends[i].x;
    for (; i < ends.size() && ends[i].x == x; ++i) {
      open[ends[i].coverage] += ends[i].step;
      if (ends[i].step > 0) top = std::max<int32_t>(top, ends[i].coverage);
    }
    while (top > 0 && open[static_cast<size_t>(top)] == 0) --top;
    if (top > 0 && i < ends.size()) out->push_back({x, first->y, ends[i].x - x, static_cast<uint8_t>(top)});
  }
}

void mergeOverlappingSpans(std::vector<LineSpan>* spans) {
  std::sort(spans->begin(), spans->end(),
            [](const LineSpan& a, const LineSpan& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
  std::vector<LineSpan> merged;
  for (auto first = spans->begin(); first != spans->end();) {
    auto last = std::find_if(first, spans->end(), [&](const LineSpan& span) { return span.y != first->y; });
    mergeRow(first, last, &merged);
    first = last;
  }
  spans->swap(merged);
}

// Origin of the grid square holding a coordinate.
int64_t gridStart(int64_t coordinate) {
  const int64_t index = coordinate >= 0 ? coordinate / kStripSize : -((-coordinate + kStripSize - 1) / kStripSize);
  return index * kStripSize;
}

bool validInput(std::span<const LinePoint> points, float width, const LineClipBox& clip) {
  if (points.size() < 2 || !std::isfinite(width) || !(width > 0) || width > kMaxLineWidth) return false;
  if (clip.x0 >= clip.x1 || clip.y0 >= clip.y1) return false;
  return std::all_of(points.begin(), points.end(),
                     [](const LinePoint& p) { return std::isfinite(p.x) && std::isfinite(p.y); });
}

}  // namespace

bool rasterizePolyline(std::span<const LinePoint> points, float width, const LineClipBox& clip,
                       std::vector<LineSpan>* spans) {
  spans->clear();
  if (!validInput(points, width, clip)) return false;
  FT_Library library = lineRasterLibrary();
  if (library == nullptr) return false;
  FT_Stroker rawStroker = nullptr;
  if (FT_Stroker_New(library, &rawStroker) != 0) return false;
  const StrokerHandle stroker(rawStroker);
  if (FT_Stroker_New(library, &rawStroker) != 0) return false;
  const StrokerHandle discStroker(rawStroker);  // a dot with round caps: the join at a cut
  const double halfWidth = width / 2.0;
  const auto radius = static_cast<FT_Fixed>(std::lround(halfWidth * 64.0));
  FT_Stroker_Set(stroker.get(), radius, FT_STROKER_LINECAP_BUTT, FT_STROKER_LINEJOIN_ROUND, 0);
  FT_Stroker_Set(discStroker.get(), radius, FT_STROKER_LINECAP_ROUND, FT_STROKER_LINEJOIN_ROUND, 0);
  bool merge = false;
  for (int64_t sy = gridStart(clip.y0); sy < clip.y1; sy += kStripSize) {
    for (int64_t sx = gridStart(clip.x0); sx < clip.x1; sx += kStripSize) {
      const Strip strip{sx,
                        sy,
                        static_cast<int32_t>(std::max<int64_t>(clip.x0 - sx, 0)),
                        static_cast<int32_t>(std::max<int64_t>(clip.y0 - sy, 0)),
                        static_cast<int32_t>(std::min<int64_t>(clip.x1 - sx, kStripSize)),
                        static_cast<int32_t>(std::min<int64_t>(clip.y1 - sy, kStripSize))};
      const StrokeGroups strokes = StrokeGrouper(width).group(piecesInStrip(points, halfWidth, strip));
      merge = merge || strokes.groups.size() + strokes.joins.size() > 1;
      bool drawn = true;
      for (const auto& group : strokes.groups)
        drawn = drawn && renderBatch(library, stroker.get(), group, strip, spans);
      for (const FT_Vector& join : strokes.joins) {
        const std::vector<Piece> dot{{join, {join.x + 1, join.y}}};
        drawn = drawn && renderBatch(library, discStroker.get(), dot, strip, spans);
      }
      if (!drawn) {
        spans->clear();
        return false;
      }
    }
  }
  if (merge) mergeOverlappingSpans(spans);
  return true;
}
