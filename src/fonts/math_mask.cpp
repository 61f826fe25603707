// Math mask composition: every glyph outline and rule of a formula goes into one FreeType outline, filled
// with the non-zero winding rule on a supersampled grey raster (in one pass, or in strips of columns where
// that is cheaper; a tall raster in bands of rows, each with its contours cut to the band) and averaged down
// to one coverage byte per pixel, so overlapping pieces merge without seams or double darkening. Rules are
// wound like the first glyph's outline, so a rule over a glyph adds to its winding instead of cutting a
// hole.
#include <freetype/freetype.h>
#include <freetype/ftoutln.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "fonts/font_rounding.h"
#include "fonts/glyph_cost.h"
#include "fonts/render_font.h"
#include "render/canvas_bitmap.h"

namespace {

// FreeType keeps an outline's point and contour counts in shorts.
constexpr size_t kMaxOutlineCount = 32767;
// The rasterizer refuses 26.6 coordinates beyond 2^24, so neither side of the supersampled raster may pass
// this many pixels.
constexpr double kMaxRasterSide = 262144.0;
// The widest strip of raster columns filled in one pass.
constexpr unsigned kStripColumns = 256;
// Rasters up to this height are filled whole, unless their contours span together more than
// kMaxWholeFillRows rows; taller ones are filled in bands of kBandRows rows, each with its contours cut to
// the band. FreeType fills its raster in bands of about as many rows (as many as its pool of cells holds)
// and walks every edge from end to end for each of them, so a tall raster filled whole costs the square
// of its height; cut to bands, it costs its area.
constexpr unsigned kWholeFillRows = 1024;
constexpr uint64_t kMaxWholeFillRows = 262144;
constexpr unsigned kBandRows = 64;
// FreeType steps every edge through each raster row it crosses, and in each row walks the row's cells,
// kept sorted, to find the edge's own: a fill costs about the contours' rows times the distinct columns
// their edges share a row with. Past this many such steps (fillSteps; 2 to 4 ns each), about a second of
// filling, a mask is refused rather than drawn.
constexpr uint64_t kMaxFillSteps = 400000000;
constexpr FT_Int32 kOutlineLoadFlags = FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP;

struct MaskPoint {
  double x;
  double y;
};

// The gathered outline in component coordinates (pixels, y down).
struct GatheredOutline {
  std::vector<MaskPoint> points;
  std::vector<char> tags;
  std::vector<short> contourEnds;
  bool postScriptOrientation = false;
  bool hasGlyph = false;

  // Whether `pointCount` more points in `contourCount` more contours still fit FreeType's counts.
  bool fits(size_t pointCount, size_t contourCount) const {
    return points.size() + pointCount <= kMaxOutlineCount && contourEnds.size() + contourCount <= kMaxOutlineCount;
  }
};

MathMaskStatus appendRule(const MathMaskComponent& rule, GatheredOutline& outline) {
  if (!outline.fits(4, 1)) return MathMaskStatus::TooLarge;
  const double x = rule.x, y = rule.y, right = x + double{rule.width}, bottom = y + double{rule.height};
  const MaskPoint turning[2][4] = {{{x, y}, {x, bottom}, {right, bottom}, {right, y}},
                                   {{x, y}, {right, y}, {right, bottom}, {x, bottom}}};
  for (const MaskPoint& point : turning[outline.postScriptOrientation ? 0 : 1]) {
    outline.points.push_back(point);
    outline.tags.push_back(FT_CURVE_TAG_ON);
  }
  outline.contourEnds.push_back(static_cast<short>(outline.points.size() - 1));
  return MathMaskStatus::Done;
}

// The mask's size and origin: the points' bounds with a margin of one pixel, or none when the mask would
// pass a limit.
struct MaskFrame {
  double originX, originY, width, height;
};

bool frameMask(const GatheredOutline& outline, int32_t supersample, uint64_t byteLimit, uint64_t pixelLimit,
               MaskFrame& frame) {
  double minX = std::numeric_limits<double>::infinity(), minY = minX;
  double maxX = -minX, maxY = -minX;
  for (const MaskPoint& point : outline.points) {
    minX = std::min(minX, point.x);
    maxX = std::max(maxX, point.x);
    minY = std::min(minY, point.y);
    maxY = std::max(maxY, point.y);
  }
  frame.originX = std::floor(minX) - 1.0;
  frame.originY = std::floor(minY) - 1.0;
  frame.width = std::ceil(maxX) - std::floor(minX) + 2.0;
  frame.height = std::ceil(maxY) - std::floor(minY) + 2.0;
  const double limit = static_cast<double>(pixelLimit);
  const double rasterWidth = frame.width * supersample, rasterHeight = frame.height * supersample;
  const auto inInt32 = [](double value) { return value >= -2147483647.0 && value <= 2147483646.0; };
  // Written so that NaN fails every test.
  // The mask becomes a canvas, so each side keeps to the canvas bound too.
  const double side = std::min(limit, static_cast<double>(kMaxCanvasSide));
  return frame.width > 0.0 && frame.height > 0.0 && frame.width <= side && frame.height <= side &&
         frame.width * frame.height <= limit && inInt32(frame.originX) && inInt32(frame.originY) &&
         inInt32(frame.originX + frame.width) && inInt32(frame.originY + frame.height) &&
         rasterWidth <= kMaxRasterSide && rasterHeight <= kMaxRasterSide &&
         rasterWidth * rasterHeight <= static_cast<double>(byteLimit);
}

// Appends the glyph's outline, placed with its origin at (x, y + baseline); a glyph that does not load as an
// outline makes the mask unusable.
MathMaskStatus appendGlyph(FT_Face face, int32_t baseline, const MathMaskComponent& component, int32_t strength,
                           GatheredOutline& outline) {
  if (component.glyphId == 0 || !glyphLoadAffordable(face, component.glyphId) ||
      FT_Load_Glyph(face, component.glyphId, kOutlineLoadFlags) != 0 ||
      face->glyph->format != FT_GLYPH_FORMAT_OUTLINE) {
    return MathMaskStatus::UnusableGlyph;
  }
  FT_Outline& glyph = face->glyph->outline;
  if (strength > 0) FT_Outline_Embolden(&glyph, strength);
  if (!outline.hasGlyph) {
    outline.hasGlyph = true;
    outline.postScriptOrientation = FT_Outline_Get_Orientation(&glyph) == FT_ORIENTATION_POSTSCRIPT;
  }
  const size_t pointCount = static_cast<size_t>(std::max<short>(glyph.n_points, 0));
  const size_t contourCount = static_cast<size_t>(std::max<short>(glyph.n_contours, 0));
  if (!outline.fits(pointCount, contourCount)) return MathMaskStatus::TooLarge;
  const size_t base = outline.points.size();
  const double baselineY = double{component.y} + baseline;
  for (size_t i = 0; i < pointCount; ++i) {
    outline.points.push_back({component.x + glyph.points[i].x / 64.0, baselineY - glyph.points[i].y / 64.0});
    outline.tags.push_back(glyph.tags[i]);
  }
  for (size_t i = 0; i < contourCount; ++i) {
    outline.contourEnds.push_back(static_cast<short>(glyph.contours[i] + base));
  }
  return MathMaskStatus::Done;
}

// An outline in 26.6 raster coordinates (y up) with the x range of each contour.
struct FillOutline {
  std::vector<FT_Vector> points;
  std::vector<char> tags;
  std::vector<short> contourEnds;
  std::vector<std::pair<FT_Pos, FT_Pos>> contourSpans;
  std::vector<std::pair<FT_Pos, FT_Pos>> contourRows;  // the y range of each contour

  FT_Outline view() {
    FT_Outline outline{};
    outline.n_points = static_cast<short>(points.size());
    outline.n_contours = static_cast<short>(contourEnds.size());
    outline.points = points.data();
    outline.tags = tags.data();
    outline.contours = contourEnds.data();
    outline.flags = FT_OUTLINE_NONE;
    return outline;
  }
};

// `rows` rows of `width` bytes of a grey raster, the first the top one.
struct Raster {
  uint8_t* top = nullptr;
  unsigned width = 0;
  unsigned rows = 0;
};

std::pair<FT_Pos, FT_Pos> rangeOf(const FT_Vector* first, const FT_Vector* end, FT_Pos FT_Vector::*axis) {
  const auto [least, most] =
      std::minmax_element(first, end, [axis](const FT_Vector& a, const FT_Vector& b) { return a.*axis < b.*axis; });
  return {(*least).*axis, (*most).*axis};
}

FillOutline toRaster(const GatheredOutline& gathered, const MaskFrame& frame, int32_t supersample) {
  const double scale = 64.0 * supersample;
  const double rasterTop = frame.originY + frame.height;
  FillOutline outline;
  outline.points.resize(gathered.points.size());
  for (size_t i = 0; i < outline.points.size(); ++i) {
    outline.points[i].x = std::lround((gathered.points[i].x - frame.originX) * scale);
    outline.points[i].y = std::lround((rasterTop - gathered.points[i].y) * scale);
  }
  outline.tags = gathered.tags;
  outline.contourEnds = gathered.contourEnds;
  size_t first = 0;
  for (const short end : outline.contourEnds) {
    const FT_Vector* from = outline.points.data() + first;
    const FT_Vector* to = outline.points.data() + end + 1;
    outline.contourSpans.push_back(rangeOf(from, to, &FT_Vector::x));
    outline.contourRows.push_back(rangeOf(from, to, &FT_Vector::y));
    first = static_cast<size_t>(end) + 1;
  }
  return outline;
}

// Cuts contours to the rows [low, high] (26.6, y up) and moves them down by low. A segment inside is kept;
// the parts of a line outside are replaced by their projection onto the band's edge, a horizontal line
// that covers no cell of the band, so the band's coverage is what the whole outline gives it.
class BandCutter {
 public:
  BandCutter(FT_Pos low, FT_Pos high, FillOutline& band)
      : low_(static_cast<double>(low)), high_(static_cast<double>(high)), band_(band) {}

  // Appends the contour [first, end] of `outline`, cut; false when FreeType cannot walk it.
  bool cutContour(const FillOutline& outline, size_t first, size_t end) {
    FT_Outline one{};
    one.n_points = static_cast<short>(end - first + 1);
    one.n_contours = 1;
    one.points = const_cast<FT_Vector*>(outline.points.data() + first);
    one.tags = const_cast<char*>(outline.tags.data() + first);
    short last = static_cast<short>(end - first);
    one.contours = &last;
    static const FT_Outline_Funcs kWalk = {moveTo, lineTo, conicTo, cubicTo, 0, 0};
    contourStart_ = band_.points.size();
    const bool walked = FT_Outline_Decompose(&one, &kWalk, this) == 0;
    if (walked) dropFlatPoints();
    if (!walked || band_.points.size() - contourStart_ < 2) {
      band_.points.resize(contourStart_);
      band_.tags.resize(contourStart_);
      return walked;
    }
    band_.contourEnds.push_back(static_cast<short>(band_.points.size() - 1));
    return true;
  }

 private:
  struct Point {
    double x, y;
  };
  static Point pointOf(const FT_Vector* v) { return {static_cast<double>(v->x), static_cast<double>(v->y)}; }

  // Drops the points of the contour just cut that add nothing to its coverage: a point equal to the one
  // before it, and the inner points of a run along the band's bottom or top edge (a horizontal line covers
  // no cell, so only the run's ends matter). Every part of a contour outside the band lies on its edges once
  // cut, so a rule across the band keeps its four corners and a cut contour has about as many points as
  // the part of it inside the band.
  void dropFlatPoints() {
    std::vector<FT_Vector>& points = band_.points;
    std::vector<char>& tags = band_.tags;
    const size_t first = contourStart_;
    const FT_Pos top = std::lround(high_ - low_);
    const auto on = [&](size_t i) { return FT_CURVE_TAG(tags[i]) == FT_CURVE_TAG_ON; };
    const auto same = [&](size_t a, size_t b) { return points[a].x == points[b].x && points[a].y == points[b].y; };
    // Whether the on-curve point b lies inside a run a, b, c along an edge.
    const auto inner = [&](size_t a, size_t b, size_t c) {
      return on(a) && on(b) && on(c) && (points[b].y == 0 || points[b].y == top) && points[a].y == points[b].y &&
             points[c].y == points[b].y;
    };
    size_t end = first;  // points [first, end) are kept
    for (size_t i = first; i < points.size(); ++i) {
      if (end > first && on(i) && on(end - 1) && same(i, end - 1)) continue;
      if (end - first >= 2 && inner(end - 2, end - 1, i)) --end;
      points[end] = points[i];
      tags[end] = tags[i];
      ++end;
    }
    // The contour closes from its last point to its first, so a run may go on across that join.
    size_t start = first;
    while (end - start >= 2) {
      if (on(end - 1) && on(start) && same(end - 1, start)) {
        --end;
      } else if (end - start >= 3 && inner(end - 2, end - 1, start)) {
        --end;
      } else if (end - start >= 3 && inner(end - 1, start, start + 1)) {
        ++start;
      } else {
        break;
      }
    }
    points.erase(points.begin() + static_cast<ptrdiff_t>(end), points.end());
    tags.erase(tags.begin() + static_cast<ptrdiff_t>(end), tags.end());
    points.erase(points.begin() + static_cast<ptrdiff_t>(first), points.begin() + static_cast<ptrdiff_t>(start));
    tags.erase(tags.begin() + static_cast<ptrdiff_t>(first), tags.begin() + static_cast<ptrdiff_t>(start));
  }

  void emit(Point p, char tag) {
    band_.points.push_back({std::lround(p.x), std::lround(p.y - low_)});
    band_.tags.push_back(tag);
  }
  void emitClamped(Point p) { emit({p.x, std::clamp(p.y, low_, high_)}, FT_CURVE_TAG_ON); }

  void line(Point to) {
    const Point from = last_;
    struct Crossing {
      double t, edge;
    } crossings[2];
    int count = 0;
    for (const double edge : {low_, high_}) {
      if ((from.y - edge) * (to.y - edge) < 0.0) crossings[count++] = {(edge - from.y) / (to.y - from.y), edge};
    }
    if (count == 2 && crossings[1].t < crossings[0].t) std::swap(crossings[0], crossings[1]);
    for (int i = 0; i < count; ++i)
      emit({from.x + crossings[i].t * (to.x - from.x), crossings[i].edge}, FT_CURVE_TAG_ON);
    emitClamped(to);
    last_ = to;
  }

  // Whether control points [0, n) all lie on or beyond one edge of the band.
  bool outside(const Point* points, int n) const {
    double least = points[0].y, most = points[0].y;
    for (int i = 1; i < n; ++i) {
      least = std::min(least, points[i].y);
      most = std::max(most, points[i].y);
    }
    return least >= high_ || most <= low_;
  }

  // A curve wholly outside the band is a line along its edge. Any other is kept whole, with its parts
  // outside the band, so that FreeType flattens it as it does in the whole outline wherever the band's
  // edges fall: the path from the edge to its start and from its end back to the edge runs outside the
  // band, on one side, and adds nothing to the band's coverage.
  void curve(const Point* controls, int count, Point to, char tag) {
    Point hull[4] = {last_};
    std::copy(controls, controls + count, hull + 1);
    hull[count + 1] = to;
    if (outside(hull, count + 2)) return line(to);
    if (last_.y < low_ || last_.y > high_) emit(last_, FT_CURVE_TAG_ON);
    for (int i = 0; i < count; ++i) emit(controls[i], tag);
    emit(to, FT_CURVE_TAG_ON);
    last_ = to;
  }

  static int moveTo(const FT_Vector* to, void* self) {
    auto& cutter = *static_cast<BandCutter*>(self);
    cutter.last_ = pointOf(to);
    cutter.emitClamped(cutter.last_);
    return 0;
  }
  static int lineTo(const FT_Vector* to, void* self) {
    static_cast<BandCutter*>(self)->line(pointOf(to));
    return 0;
  }
  static int conicTo(const FT_Vector* control, const FT_Vector* to, void* self) {
    const Point controls[1] = {pointOf(control)};
    static_cast<BandCutter*>(self)->curve(controls, 1, pointOf(to), FT_CURVE_TAG_CONIC);
    return 0;
  }
  static int cubicTo(const FT_Vector* c1, const FT_Vector* c2, const FT_Vector* to, void* self) {
    const Point controls[2] = {pointOf(c1), pointOf(c2)};
    static_cast<BandCutter*>(self)->curve(controls, 2, pointOf(to), FT_CURVE_TAG_CUBIC);
    return 0;
  }

  double low_, high_;
  FillOutline& band_;
  Point last_{0.0, 0.0};
  size_t contourStart_ = 0;
};

enum class BandCut { Cut, TooManyPoints, Unwalkable };

// The contours that reach the rows [low, high] (26.6, y up), cut to them and moved down by low; or why not.
BandCut contoursInBand(const FillOutline& outline, FT_Pos low, FT_Pos high, FillOutline& band) {
  BandCutter cutter(low, high, band);
  size_t first = 0;
  for (size_t contour = 0; contour < outline.contourEnds.size(); ++contour) {
    const auto end = static_cast<size_t>(outline.contourEnds[contour]);
    const auto [bottom, top] = outline.contourRows[contour];
    if (top > low && bottom < high) {
      if (bottom >= low && top <= high) {
        for (size_t i = first; i <= end; ++i) {
          band.points.push_back({outline.points[i].x, outline.points[i].y - low});
          band.tags.push_back(outline.tags[i]);
        }
        band.contourEnds.push_back(static_cast<short>(band.points.size() - 1));
      } else if (!cutter.cutContour(outline, first, end)) {
        return BandCut::Unwalkable;
      }
      if (band.points.size() > kMaxOutlineCount || band.contourEnds.size() > kMaxOutlineCount) {
        return BandCut::TooManyPoints;
      }
    }
    first = end + 1;
  }
  size_t start = 0;
  for (const short end : band.contourEnds) {
    band.contourSpans.push_back(rangeOf(band.points.data() + start, band.points.data() + end + 1, &FT_Vector::x));
    start = static_cast<size_t>(end) + 1;
  }
  return BandCut::Cut;
}

// The contours that reach columns [x0, x1): a closed contour wholly beside them adds nothing to their
// coverage.
FillOutline contoursReaching(const FillOutline& outline, unsigned x0, unsigned x1) {
  const FT_Pos left = FT_Pos{x0} * 64 - 64, right = FT_Pos{x1} * 64 + 64;
  FillOutline part;
  size_t first = 0;
  for (size_t contour = 0; contour < outline.contourEnds.size(); ++contour) {
    const auto end = static_cast<size_t>(outline.contourEnds[contour]) + 1;
    const auto [least, most] = outline.contourSpans[contour];
    if (most >= left && least <= right) {
      part.points.insert(part.points.end(), outline.points.begin() + static_cast<ptrdiff_t>(first),
                         outline.points.begin() + static_cast<ptrdiff_t>(end));
      part.tags.insert(part.tags.end(), outline.tags.begin() + static_cast<ptrdiff_t>(first),
                       outline.tags.begin() + static_cast<ptrdiff_t>(end));
      part.contourEnds.push_back(static_cast<short>(part.points.size() - 1));
      part.contourSpans.emplace_back(least, most);
      if (!outline.contourRows.empty()) part.contourRows.push_back(outline.contourRows[contour]);
    }
    first = end;
  }
  return part;
}

// Whether filling in strips of kStripColumns costs less than one pass. FreeType walks the whole outline once
// per band of rows, so narrow strips with few contours each are several times faster than one pass over a
// long formula; but a contour that reaches many strips (a rule under the whole formula, or rules stacked
// over the whole mask) is walked again by each of them. Strips pay when the contours reach few strips each.
bool stripsPayOff(const FillOutline& outline, unsigned width) {
  if (width <= kStripColumns) return false;
  constexpr FT_Pos kStripSpan = FT_Pos{kStripColumns} * 64;
  uint64_t reached = 0;
  for (const auto& [least, most] : outline.contourSpans) {
    reached += static_cast<uint64_t>(std::max<FT_Pos>(most / kStripSpan - least / kStripSpan, 0)) + 1;
  }
  return reached <= 2 * outline.contourSpans.size();
}

// Fills columns [x0, x1) of the raster, in strips of at most `stripColumns`, each with the contours that reach
// it. FreeType keeps the cells of a band in a pool of fixed size, failing with a raster overflow when a row
// crosses more edge pixels than it holds: the columns are then filled in halves.
bool fillColumns(FT_Library library, FillOutline& outline, const Raster& raster, unsigned x0, unsigned x1,
                 unsigned stripColumns) {
  if (x1 - x0 <= stripColumns) {
    FT_Bitmap bitmap{};
    bitmap.rows = raster.rows;
    bitmap.width = x1 - x0;
    bitmap.pitch = static_cast<int>(raster.width);
    bitmap.buffer = raster.top + x0;
    bitmap.num_grays = 256;
    bitmap.pixel_mode = FT_PIXEL_MODE_GRAY;
    FT_Outline view = outline.view();
    FT_Outline_Translate(&view, -FT_Pos{x0} * 64, 0);
    const FT_Error error = FT_Outline_Get_Bitmap(library, &view, &bitmap);
    FT_Outline_Translate(&view, FT_Pos{x0} * 64, 0);
    if (error == 0) return true;
    if (error != FT_Err_Raster_Overflow || x1 - x0 < 2) return false;
  }
  const unsigned middle = x0 + (x1 - x0) / 2;
  for (const auto& [from, to] : {std::pair{x0, middle}, std::pair{middle, x1}}) {
    FillOutline part = contoursReaching(outline, from, to);
    if (!part.contourEnds.empty() && !fillColumns(library, part, raster, from, to, stripColumns)) return false;
  }
  return true;
}

bool fillBand(FT_Library library, FillOutline& outline, const Raster& raster) {
  const unsigned stripColumns = stripsPayOff(outline, raster.width) ? kStripColumns : raster.width;
  return fillColumns(library, outline, raster, 0, raster.width, stripColumns);
}

// An estimate of FreeType's steps to fill the outline, band by band: each row of a band that a contour
// reaches is four steps, plus one for each distinct column (of the contours' left ends) in the same strip
// of columns. Counting stops once past `limit`.
uint64_t fillSteps(const FillOutline& outline, unsigned rasterRows, uint64_t limit) {
  const size_t count = outline.contourRows.size();
  const FT_Pos rasterTop = FT_Pos{rasterRows} * 64, bandSpan = FT_Pos{kBandRows} * 64;
  const auto bandOf = [&](FT_Pos y) { return static_cast<size_t>(std::clamp<FT_Pos>(y, 0, rasterTop - 1) / bandSpan); };
  // Bands are counted from the raster's top; a contour reaches bands firstBand .. lastBand.
  std::vector<size_t> firstBand(count), lastBand(count), order(count);
  for (size_t i = 0; i < count; ++i) {
    const auto [bottom, top] = outline.contourRows[i];
    firstBand[i] = bandOf(rasterTop - top);
    lastBand[i] = bandOf(rasterTop - bottom);
    order[i] = i;
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return firstBand[a] < firstBand[b]; });
  std::vector<size_t> active;
  std::vector<FT_Pos> columns;
  uint64_t steps = 0;
  size_t next = 0;
  const size_t bands = (rasterRows + kBandRows - 1) / kBandRows;
  for (size_t band = 0; band < bands && steps <= limit; ++band) {
    if (active.empty() && next < count) band = std::max(band, firstBand[order[next]]);
    while (next < count && firstBand[order[next]] <= band) active.push_back(order[next++]);
    active.erase(std::remove_if(active.begin(), active.end(), [&](size_t i) { return lastBand[i] < band; }),
                 active.end());
    columns.clear();
    for (const size_t i : active) columns.push_back(std::max<FT_Pos>(outline.contourSpans[i].first, 0) / 64);
    std::sort(columns.begin(), columns.end());
    const uint64_t rows = std::min<uint64_t>(kBandRows, rasterRows - band * kBandRows);
    for (size_t from = 0; from < columns.size();) {
      const FT_Pos strip = columns[from] / kStripColumns;
      size_t to = from, distinct = 0;
      for (; to < columns.size() && columns[to] / kStripColumns == strip; ++to) {
        if (to == from || columns[to] != columns[to - 1]) ++distinct;
      }
      steps += rows * (to - from) * (4 + distinct);
      from = to;
    }
  }
  return steps;
}

// The raster rows all contours span together.
uint64_t contourRows(const FillOutline& outline) {
  uint64_t rows = 0;
  for (const auto& [bottom, top] : outline.contourRows) rows += static_cast<uint64_t>((top - bottom) / 64) + 1;
  return rows;
}

// Fills `rows` rows of the raster from row `top` (counted from the raster's top) with the contours cut to
// them; a band whose cut outline would still pass FreeType's counts is filled in halves.
bool fillCutBand(FT_Library library, const FillOutline& outline, uint8_t* bytes, unsigned width, unsigned rasterRows,
                 unsigned top, unsigned rows) {
  const FT_Pos low = FT_Pos{rasterRows - top - rows} * 64, high = FT_Pos{rasterRows - top} * 64;
  FillOutline cut;
  switch (contoursInBand(outline, low, high, cut)) {
    case BandCut::Cut:
      return cut.contourEnds.empty() || fillBand(library, cut, {bytes + static_cast<size_t>(top) * width, width, rows});
    case BandCut::TooManyPoints:
      break;
    case BandCut::Unwalkable:
      return false;
  }
  if (rows < 2) return false;
  const unsigned half = rows / 2;
  return fillCutBand(library, outline, bytes, width, rasterRows, top, half) &&
         fillCutBand(library, outline, bytes, width, rasterRows, top + half, rows - half);
}

// Fills the raster whole, or in bands of kBandRows rows, each with its contours cut to it.
bool fillRows(FT_Library library, FillOutline& outline, uint8_t* bytes, unsigned width, unsigned rows) {
  if (rows <= kBandRows || (rows <= kWholeFillRows && contourRows(outline) <= kMaxWholeFillRows)) {
    return fillBand(library, outline, {bytes, width, rows});
  }
  for (unsigned top = 0; top < rows; top += kBandRows) {
    if (!fillCutBand(library, outline, bytes, width, rows, top, std::min(kBandRows, rows - top))) return false;
  }
  return true;
}

// Averages each supersample x supersample block of the raster into one mask byte and finds the ink box.
void downsample(const std::vector<uint8_t>& raster, int32_t supersample, MathMask& mask) {
  const auto width = static_cast<size_t>(mask.width);
  const size_t rasterWidth = width * static_cast<size_t>(supersample);
  const uint32_t area = static_cast<uint32_t>(supersample * supersample);
  std::vector<uint32_t> sums(width);
  int32_t firstColumn = mask.width, lastColumn = -1, firstRow = -1, lastRow = -1;
  for (int32_t y = 0; y < mask.height; ++y) {
    std::fill(sums.begin(), sums.end(), 0u);
    for (int32_t sy = 0; sy < supersample; ++sy) {
      const uint8_t* row = raster.data() + (static_cast<size_t>(y) * supersample + sy) * rasterWidth;
      for (size_t x = 0; x < width; ++x, row += supersample) {
        uint32_t sum = 0;
        for (int32_t sx = 0; sx < supersample; ++sx) sum += row[sx];
        sums[x] += sum;
      }
    }
    uint8_t* out = mask.coverage.data() + static_cast<size_t>(y) * width;
    bool inked = false;
    for (size_t x = 0; x < width; ++x) {
      out[x] = static_cast<uint8_t>((sums[x] + area / 2) / area);
      if (out[x] == 0) continue;
      inked = true;
      firstColumn = std::min(firstColumn, static_cast<int32_t>(x));
      lastColumn = std::max(lastColumn, static_cast<int32_t>(x));
    }
    if (!inked) continue;
    if (firstRow < 0) firstRow = y;
    lastRow = y;
  }
  if (firstRow < 0) return;
  mask.status = MathMaskStatus::Done;
  mask.inkX = mask.originX + firstColumn;
  mask.inkY = mask.originY + firstRow;
  mask.inkWidth = lastColumn + 1 - firstColumn;
  mask.inkHeight = lastRow + 1 - firstRow;
}

}  // namespace

MathMask RenderFont::composeMathMask(const std::vector<MathMaskComponent>& components, int32_t supersample,
                                     uint64_t supersampledByteLimit, uint64_t maskPixelLimit) {
  MathMask mask;
  if (isGroup() || !ftFace_ || components.empty() || supersample < 1) return mask;
  const int32_t strength = roundToInt32(static_cast<double>(effectiveQuality().embolden) * 64.0);
  GatheredOutline outline;
  for (const MathMaskComponent& component : components) {
    if (!component.isGlyph) continue;
    mask.status = appendGlyph(ftFace_.get(), baseline_, component, strength, outline);
    if (mask.status != MathMaskStatus::Done) return mask;
  }
  for (const MathMaskComponent& component : components) {
    if (component.isGlyph) continue;
    mask.status = appendRule(component, outline);
    if (mask.status != MathMaskStatus::Done) return mask;
  }
  mask.status = MathMaskStatus::NothingDrawn;
  if (outline.points.empty() || outline.contourEnds.empty()) return mask;
  MaskFrame frame{};
  if (!frameMask(outline, supersample, supersampledByteLimit, maskPixelLimit, frame)) {
    mask.status = MathMaskStatus::TooLarge;
    return mask;
  }
  mask.width = static_cast<int32_t>(frame.width);
  mask.height = static_cast<int32_t>(frame.height);
  mask.originX = static_cast<int32_t>(frame.originX);
  mask.originY = static_cast<int32_t>(frame.originY);

  FillOutline filled = toRaster(outline, frame, supersample);
  if (fillSteps(filled, static_cast<unsigned>(mask.height * supersample), kMaxFillSteps) > kMaxFillSteps) {
    mask.status = MathMaskStatus::TooComplex;
    return mask;
  }
  const auto width = static_cast<unsigned>(mask.width * supersample);
  const auto rows = static_cast<unsigned>(mask.height * supersample);
  std::vector<uint8_t> bytes(static_cast<size_t>(width) * rows);
  FT_Library library = sharedFreeTypeLibrary();
  if (library == nullptr || !fillRows(library, filled, bytes.data(), width, rows)) return mask;
  mask.coverage.resize(static_cast<size_t>(mask.width) * static_cast<size_t>(mask.height));
  downsample(bytes, supersample, mask);
  return mask;
}
