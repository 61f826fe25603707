// Math mask composition: every glyph outline and rule of a formula goes into one FreeType outline, filled
// with the non-zero winding rule on a supersampled grey raster (in one pass, or in strips of columns where
// that is cheaper) and averaged down to one coverage byte per pixel, so overlapping pieces merge without
// seams or double darkening. Rules are
// wound like the first glyph's outline, so a rule over a glyph adds to its winding instead of cutting a
// hole.
#include <freetype/freetype.h>
#include <freetype/ftoutln.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "fonts/font_rounding.h"
#include "fonts/render_font.h"

namespace {

// FreeType keeps an outline's point and contour counts in shorts.
constexpr size_t kMaxOutlineCount = 32767;
// The rasterizer refuses 26.6 coordinates beyond 2^24, so neither side of the supersampled raster may pass
// this many pixels.
constexpr double kMaxRasterSide = 262144.0;
// The widest strip of raster columns filled in one pass.
constexpr unsigned kStripColumns = 256;
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
  return frame.width > 0.0 && frame.height > 0.0 && frame.width <= limit && frame.height <= limit &&
         frame.width * frame.height <= limit && inInt32(frame.originX) && inInt32(frame.originY) &&
         inInt32(frame.originX + frame.width) && inInt32(frame.originY + frame.height) &&
         rasterWidth <= kMaxRasterSide && rasterHeight <= kMaxRasterSide &&
         rasterWidth * rasterHeight <= static_cast<double>(byteLimit);
}

// Appends the glyph's outline, placed with its origin at (x, y + baseline); a glyph that does not load as an
// outline makes the mask unusable.
MathMaskStatus appendGlyph(FT_Face face, int32_t baseline, const MathMaskComponent& component, int32_t strength,
                           GatheredOutline& outline) {
  if (component.glyphId == 0 || FT_Load_Glyph(face, component.glyphId, kOutlineLoadFlags) != 0 ||
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

// A grey raster, `rows` rows of `width` bytes, its first row the mask's top.
struct Raster {
  std::vector<uint8_t> bytes;
  unsigned width = 0;
  unsigned rows = 0;
};

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
    const auto [least, most] =
        std::minmax_element(outline.points.begin() + static_cast<ptrdiff_t>(first), outline.points.begin() + end + 1,
                            [](const FT_Vector& a, const FT_Vector& b) { return a.x < b.x; });
    outline.contourSpans.emplace_back(least->x, most->x);
    first = static_cast<size_t>(end) + 1;
  }
  return outline;
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
bool fillColumns(FT_Library library, FillOutline& outline, Raster& raster, unsigned x0, unsigned x1,
                 unsigned stripColumns) {
  if (x1 - x0 <= stripColumns) {
    FT_Bitmap bitmap{};
    bitmap.rows = raster.rows;
    bitmap.width = x1 - x0;
    bitmap.pitch = static_cast<int>(raster.width);
    bitmap.buffer = raster.bytes.data() + x0;
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
  Raster raster;
  raster.width = static_cast<unsigned>(mask.width * supersample);
  raster.rows = static_cast<unsigned>(mask.height * supersample);
  raster.bytes.resize(static_cast<size_t>(raster.width) * raster.rows);
  FT_Library library = sharedFreeTypeLibrary();
  const unsigned stripColumns = stripsPayOff(filled, raster.width) ? kStripColumns : raster.width;
  if (library == nullptr || !fillColumns(library, filled, raster, 0, raster.width, stripColumns)) return mask;
  mask.coverage.resize(static_cast<size_t>(mask.width) * static_cast<size_t>(mask.height));
  downsample(raster.bytes, supersample, mask);
  return mask;
}
