// The SVG layer: librsvg parses and draws the document into a cairo image surface (premultiplied ARGB32,
// which on this little-endian target is B, G, R, A in memory); the pixels are then copied out with the
// premultiplication undone. Every document is read from its bytes with no base file, so librsvg opens no
// file it names. A document drawn at its own coordinates goes first onto an unbounded recording surface,
// through a viewport wider than the em square (svg_glyph_view.h); its ink extents bound the bitmap, which is
// then cropped to the pixels drawn. Every GLib and cairo object has its holder from the moment it exists.
#include "render_process/svg_render.h"

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "render_process/render_process_protocol.h"
#include "render_process/svg_glyph_view.h"

namespace {

// The side of the viewport a glyph is drawn through, in ems: the em square and an em around it.
constexpr double kGlyphViewEms = 3.0;

thread_local std::string lastError;
thread_local SvgFailure lastFailure = SvgFailure::Other;

struct GObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct CairoSurfaceDestroy {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct CairoDestroy {
  void operator()(cairo_t* context) const { cairo_destroy(context); }
};

using HandleHolder = std::unique_ptr<RsvgHandle, GObjectUnref>;
using ErrorHolder = std::unique_ptr<GError, GErrorFree>;
using SurfaceHolder = std::unique_ptr<cairo_surface_t, CairoSurfaceDestroy>;
using ContextHolder = std::unique_ptr<cairo_t, CairoDestroy>;

bool fail(std::string message, SvgFailure failure = SvgFailure::Other) {
  lastError = std::move(message);
  lastFailure = failure;
  return false;
}

bool decline(std::string message) { return fail(std::move(message), SvgFailure::Declined); }

bool failWith(const char* step, GError* error) {
  const ErrorHolder holder(error);
  return fail(std::string(step) + ": " + (error != nullptr ? error->message : "unknown error"));
}

// Undoes cairo's premultiplication row by row into tightly packed B, G, R, A bytes, from the surface's pixel
// (left, top) on.
void copyStraightAlpha(cairo_surface_t* surface, int32_t left, int32_t top, SvgBitmap& bitmap) {
  const unsigned char* source = cairo_image_surface_get_data(surface);
  const int sourceStride = cairo_image_surface_get_stride(surface);
  for (int32_t y = 0; y < bitmap.height; ++y) {
    const unsigned char* in =
        source + static_cast<size_t>(y + top) * static_cast<size_t>(sourceStride) + static_cast<size_t>(left) * 4;
    uint8_t* out = bitmap.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(bitmap.stride);
    for (int32_t x = 0; x < bitmap.width; ++x, in += 4, out += 4) {
      const unsigned alpha = in[3];
      for (int channel = 0; channel < 3; ++channel) {
        out[channel] = alpha == 0 ? 0 : static_cast<uint8_t>(std::min(255u, (in[channel] * 255u + alpha / 2) / alpha));
      }
      out[3] = static_cast<uint8_t>(alpha);
    }
  }
}

bool surfaceFailed(cairo_surface_t* surface) {
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) return false;
  return !fail(std::string("surface creation: ") + cairo_status_to_string(cairo_surface_status(surface)));
}

// Draws `paint` onto a new width x height image surface and copies its pixels out.
template <typename Paint>
bool paintIntoBitmap(int32_t width, int32_t height, SvgBitmap& bitmap, Paint&& paint) {
  const SurfaceHolder surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (surfaceFailed(surface.get())) return false;
  const ContextHolder context(cairo_create(surface.get()));
  if (!paint(context.get())) return false;
  cairo_surface_flush(surface.get());
  bitmap.width = width;
  bitmap.height = height;
  bitmap.stride = width * 4;
  bitmap.pixels.resize(static_cast<size_t>(bitmap.stride) * static_cast<size_t>(height));
  copyStraightAlpha(surface.get(), 0, 0, bitmap);
  return true;
}

struct PixelRect {
  int32_t left = 0, top = 0, width = 0, height = 0;
};

// The smallest rectangle that holds every pixel of the surface that is not wholly transparent.
PixelRect inkedPixels(cairo_surface_t* surface) {
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const int32_t width = cairo_image_surface_get_width(surface), height = cairo_image_surface_get_height(surface);
  int32_t left = width, right = -1, top = height, bottom = -1;
  for (int32_t y = 0; y < height; ++y) {
    const unsigned char* row = data + static_cast<size_t>(y) * static_cast<size_t>(stride);
    for (int32_t x = 0; x < width; ++x) {
      if (row[static_cast<size_t>(x) * 4 + 3] == 0) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = y;
    }
  }
  if (right < 0) return {};
  return {left, top, right - left + 1, bottom - top + 1};
}

// A handle over the document's bytes; null with the reason recorded.
HandleHolder loadDocument(std::string_view document) {
  GError* error = nullptr;
  HandleHolder handle(
      rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(document.data()), document.size(), &error));
  if (!handle) {
    failWith("SVG load", error);
    lastFailure = SvgFailure::Unreadable;
  }
  return handle;
}

bool renderInto(RsvgHandle* handle, int32_t width, int32_t height, SvgBitmap& bitmap) {
  return paintIntoBitmap(width, height, bitmap, [&](cairo_t* context) {
    const RsvgRectangle viewport{0.0, 0.0, static_cast<double>(width), static_cast<double>(height)};
    GError* error = nullptr;
    return rsvg_handle_render_document(handle, context, &viewport, &error) || failWith("SVG render", error);
  });
}

// A parsed document and the viewport it is drawn through.
struct ViewedDocument {
  HandleHolder handle;
  RsvgRectangle viewport{};
};

// Draws the document at its own coordinates times `scale` onto an unbounded recording surface, then replays
// it into a bitmap of its ink extents, cropped to the pixels drawn.
bool renderCropped(const ViewedDocument& document, const std::string& element, double scale, int32_t maxSide,
                   int32_t& left, int32_t& top, SvgBitmap& bitmap) {
  const SurfaceHolder recording(cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, nullptr));
  if (surfaceFailed(recording.get())) return false;
  {
    const ContextHolder context(cairo_create(recording.get()));
    cairo_scale(context.get(), scale, scale);
    GError* error = nullptr;
    RsvgHandle* handle = document.handle.get();
    const bool drawn =
        element.empty() ? rsvg_handle_render_document(handle, context.get(), &document.viewport, &error)
                        : rsvg_handle_render_layer(handle, context.get(), element.c_str(), &document.viewport, &error);
    if (!drawn) return failWith("SVG render", error);
  }
  double x = 0.0, y = 0.0, w = 0.0, h = 0.0;
  cairo_recording_surface_ink_extents(recording.get(), &x, &y, &w, &h);
  if (w < 0.0 || h < 0.0) {
    // cairo cannot bound a drawing that went through a mask: it lies within the viewport.
    x = document.viewport.x * scale;
    y = document.viewport.y * scale;
    w = document.viewport.width * scale;
    h = document.viewport.height * scale;
  }
  if (!(w > 0.0 && h > 0.0)) return decline("SVG document draws nothing");
  const double x0 = std::floor(x), y0 = std::floor(y);
  const double width = std::ceil(x + w) - x0, height = std::ceil(y + h) - y0;
  if (!(width <= maxSide && height <= maxSide && std::fabs(x0) <= kMostGlyphOffset - maxSide &&
        std::fabs(y0) <= kMostGlyphOffset - maxSide)) {
    return decline("SVG document is too large");
  }
  const SurfaceHolder surface(
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int32_t>(width), static_cast<int32_t>(height)));
  if (surfaceFailed(surface.get())) return false;
  {
    const ContextHolder context(cairo_create(surface.get()));
    cairo_set_source_surface(context.get(), recording.get(), -x0, -y0);
    cairo_paint(context.get());
  }
  cairo_surface_flush(surface.get());
  const PixelRect inked = inkedPixels(surface.get());
  if (inked.width == 0) return decline("SVG document draws nothing");
  bitmap.width = inked.width;
  bitmap.height = inked.height;
  bitmap.stride = inked.width * 4;
  bitmap.pixels.resize(static_cast<size_t>(bitmap.stride) * static_cast<size_t>(inked.height));
  copyStraightAlpha(surface.get(), inked.left, inked.top, bitmap);
  left = static_cast<int32_t>(x0) + inked.left;
  top = -(static_cast<int32_t>(y0) + inked.top);
  return true;
}

// The thread's last parsed document, reused while the bytes and the view are the same: a view that starts on
// a whole pixel at one size does at every size whose pixels fall on the same units (every whole size, when
// the em square's corners are on whole units), so glyphs of one document at such sizes share the parse.
struct KeptDocument {
  std::string bytes;
  double unitsPerEm = 0.0;
  double scale = 0.0;
  int32_t maxSide = 0;
  std::optional<std::optional<GlyphRootSize>> rootSize;  // once read, for these bytes and units per em
  ViewedDocument viewed;
};
thread_local KeptDocument keptDocument;

// The pixels of a length in an absolute unit, as librsvg resolves a root's size in it (at its resolution);
// none for one relative to a font.
std::optional<double> absolutePixels(const RsvgLength& length) {
  const char* unit = length.unit == RSVG_UNIT_PX   ? "px"
                     : length.unit == RSVG_UNIT_IN ? "in"
                     : length.unit == RSVG_UNIT_CM ? "cm"
                     : length.unit == RSVG_UNIT_MM ? "mm"
                     : length.unit == RSVG_UNIT_PT ? "pt"
                     : length.unit == RSVG_UNIT_PC ? "pc"
                                                   : nullptr;
  char number[32];
  const auto [end, error] = std::to_chars(number, number + sizeof number, length.length);
  if (unit == nullptr || error != std::errc()) return std::nullopt;
  const std::string probe =
      "<svg xmlns='http://www.w3.org/2000/svg' width='" + std::string(number, end) + unit + "' height='1'/>";
  const HandleHolder handle = loadDocument(probe);
  double width = 0.0, height = 0.0;
  if (!handle || !rsvg_handle_get_intrinsic_size_in_pixels(handle.get(), &width, &height)) return std::nullopt;
  return width;
}

// The size librsvg gives a root that sets its own without a view box, lengths in percent (and a side not set,
// which is 100 %) being of the em square (which librsvg cannot know); none when it cannot be read, or a side
// mixed with percent is relative to a font.
std::optional<GlyphRootSize> rootSizeOf(std::string_view document, double unitsPerEm) {
  const HandleHolder handle = loadDocument(document);
  if (!handle) return std::nullopt;
  GlyphRootSize size;
  if (rsvg_handle_get_intrinsic_size_in_pixels(handle.get(), &size.width, &size.height)) return size;
  gboolean hasWidth = FALSE, hasHeight = FALSE, hasViewBox = FALSE;
  RsvgLength width{}, height{};
  RsvgRectangle viewBox{};
  rsvg_handle_get_intrinsic_dimensions(handle.get(), &hasWidth, &width, &hasHeight, &height, &hasViewBox, &viewBox);
  const auto side = [&](const RsvgLength& length) {
    return length.unit == RSVG_UNIT_PERCENT ? std::optional<double>(length.length * unitsPerEm) : absolutePixels(length);
  };
  const std::optional<double> across = side(width), down = side(height);
  if (!across || !down) return std::nullopt;
  return GlyphRootSize{*across, *down};
}

bool sameRectangle(const RsvgRectangle& a, const RsvgRectangle& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// The document parsed for drawing at `scale` through a viewport around the em square (or through the em square
// when its view cannot be widened); null with the reason recorded.
const ViewedDocument* keptDocumentFor(std::string_view document, double unitsPerEm, double scale, int32_t maxSide) {
  KeptDocument& kept = keptDocument;
  const bool sameDocument = kept.bytes == document && kept.unitsPerEm == unitsPerEm;
  if (sameDocument && kept.viewed.handle && kept.scale == scale && kept.maxSide == maxSide) return &kept.viewed;
  if (!sameDocument) {
    kept.viewed.handle.reset();
    kept.bytes.assign(document);
    kept.unitsPerEm = unitsPerEm;
    kept.rootSize.reset();
  }
  const auto rootSize = [&] {
    if (!kept.rootSize) kept.rootSize = rootSizeOf(document, unitsPerEm);
    return *kept.rootSize;
  };
  // The em square and an em around it, but no wider than the largest bitmap.
  const double side = std::min(kGlyphViewEms * unitsPerEm, maxSide / scale);
  const std::optional<GlyphView> view = widenedGlyphView(document, unitsPerEm, side, scale, rootSize);
  const RsvgRectangle viewport = view ? RsvgRectangle{view->x, view->y, view->width, view->height}
                                      : RsvgRectangle{0.0, 0.0, unitsPerEm, unitsPerEm};
  if (!kept.viewed.handle || !sameRectangle(kept.viewed.viewport, viewport)) {
    kept.viewed.handle.reset();
    kept.viewed.handle = loadDocument(view ? std::string_view(view->document) : document);
    if (!kept.viewed.handle) return nullptr;
    kept.viewed.viewport = viewport;
  }
  kept.scale = scale;
  kept.maxSide = maxSide;
  return &kept.viewed;
}

}  // namespace

bool renderSvgToBgra(std::string_view document, int32_t width, int32_t height, SvgBitmap* bitmap) {
  if (bitmap == nullptr) return fail("no SVG bitmap given");
  if (width <= 0 || height <= 0 || width > INT32_MAX / 4) return fail("SVG bitmap size is invalid");
  const HandleHolder handle = loadDocument(document);
  if (!handle) return false;
  SvgBitmap rendered;
  try {
    if (!renderInto(handle.get(), width, height, rendered)) return false;
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
  *bitmap = std::move(rendered);
  lastError.clear();
  return true;
}

bool renderSvgDocumentToBgra(std::string_view document, std::string_view element, float pixelSize, float unitsPerEm,
                             int32_t maxSide, int32_t* left, int32_t* top, SvgBitmap* bitmap) {
  if (left == nullptr || top == nullptr || bitmap == nullptr) return fail("no SVG placement or bitmap given");
  const double scale = static_cast<double>(pixelSize) / static_cast<double>(unitsPerEm);
  if (!(pixelSize > 0.0f && unitsPerEm > 0.0f && std::isfinite(scale) && scale > 0.0) || maxSide < 1 ||
      maxSide > INT32_MAX / 4) {
    return fail("SVG document size is invalid");
  }
  SvgBitmap rendered;
  int32_t renderedLeft = 0, renderedTop = 0;
  try {
    const ViewedDocument* viewed = keptDocumentFor(document, unitsPerEm, scale, maxSide);
    if (viewed == nullptr) return false;
    const std::string id = element.empty() ? std::string() : "#" + std::string(element);
    if (!id.empty() && !rsvg_handle_has_sub(viewed->handle.get(), id.c_str())) {
      return decline("SVG document has no element " + std::string(element));
    }
    if (!renderCropped(*viewed, id, scale, maxSide, renderedLeft, renderedTop, rendered)) return false;
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
  *bitmap = std::move(rendered);
  *left = renderedLeft;
  *top = renderedTop;
  lastError.clear();
  return true;
}

bool forgetKeptSvgDocument() {
  const bool kept = !keptDocument.bytes.empty();
  keptDocument = KeptDocument();
  return kept;
}

const char* svgLastError() { return lastError.c_str(); }

SvgFailure svgLastFailure() { return lastFailure; }
