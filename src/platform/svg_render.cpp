// The SVG layer: librsvg parses and draws the document into a cairo image surface (premultiplied ARGB32,
// which on this little-endian target is B, G, R, A in memory); the pixels are then copied out with the
// premultiplication undone. Every GLib and cairo object has its holder from the moment it exists.
#include "platform/svg_render.h"

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <string>

namespace {

thread_local std::string lastError;

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

using FileHolder = std::unique_ptr<GFile, GObjectUnref>;
using HandleHolder = std::unique_ptr<RsvgHandle, GObjectUnref>;
using ErrorHolder = std::unique_ptr<GError, GErrorFree>;
using SurfaceHolder = std::unique_ptr<cairo_surface_t, CairoSurfaceDestroy>;
using ContextHolder = std::unique_ptr<cairo_t, CairoDestroy>;

bool fail(std::string message) {
  lastError = std::move(message);
  return false;
}

bool failWith(const char* step, GError* error) {
  const ErrorHolder holder(error);
  return fail(std::string(step) + ": " + (error != nullptr ? error->message : "unknown error"));
}

// Undoes cairo's premultiplication row by row into tightly packed B, G, R, A bytes.
void copyStraightAlpha(cairo_surface_t* surface, SvgBitmap& bitmap) {
  const unsigned char* source = cairo_image_surface_get_data(surface);
  const int sourceStride = cairo_image_surface_get_stride(surface);
  for (int32_t y = 0; y < bitmap.height; ++y) {
    const unsigned char* in = source + static_cast<size_t>(y) * static_cast<size_t>(sourceStride);
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

bool renderInto(RsvgHandle* handle, int32_t width, int32_t height, SvgBitmap& bitmap) {
  const SurfaceHolder surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
    return fail(std::string("surface creation: ") + cairo_status_to_string(cairo_surface_status(surface.get())));
  }
  const ContextHolder context(cairo_create(surface.get()));
  const RsvgRectangle viewport{0.0, 0.0, static_cast<double>(width), static_cast<double>(height)};
  GError* error = nullptr;
  if (!rsvg_handle_render_document(handle, context.get(), &viewport, &error)) return failWith("SVG render", error);
  cairo_surface_flush(surface.get());
  bitmap.width = width;
  bitmap.height = height;
  bitmap.stride = width * 4;
  bitmap.pixels.resize(static_cast<size_t>(bitmap.stride) * static_cast<size_t>(height));
  copyStraightAlpha(surface.get(), bitmap);
  return true;
}

}  // namespace

bool renderSvgFileToBgra(const char* path, int32_t width, int32_t height, SvgBitmap* bitmap) {
  if (path == nullptr || bitmap == nullptr) return fail("no SVG file or bitmap given");
  if (width <= 0 || height <= 0 || width > INT32_MAX / 4) return fail("SVG bitmap size is invalid");
  const FileHolder file(g_file_new_for_path(path));
  GError* error = nullptr;
  const HandleHolder handle(rsvg_handle_new_from_gfile_sync(file.get(), RSVG_HANDLE_FLAGS_NONE, nullptr, &error));
  if (!handle) return failWith("SVG load", error);
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

const char* svgLastError() { return lastError.c_str(); }
