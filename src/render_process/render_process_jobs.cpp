// The render process's jobs: librsvg for documents drawn fitted and for glyph elements; SDL_image for the
// SVG and XPM images that canvas.load_image decodes. Every bitmap goes out as straight-alpha B, G, R, A rows in
// a sealed memory file.
#include "render_process/render_process_jobs.h"

#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "render_process/message_channel.h"
#include "render_process/sealed_memory.h"
#include "render_process/svg_render.h"

namespace {

void refuse(RenderReplyRecord& reply, std::string_view why) {
  reply.drawn = 0;
  const size_t length = std::min(why.size(), sizeof reply.message - 1);
  std::memcpy(reply.message, why.data(), length);
  reply.message[length] = '\0';
  // cairo's, SDL's and librsvg's words for an allocation that failed.
  for (const std::string_view words : {"out of memory", "Out of memory", "NoMemory"}) {
    if (why.find(words) != std::string_view::npos) reply.outOfMemory = 1;
  }
}

// Copies `height` rows of `width` pixels, `stride` bytes apart, to be sent: carried in the reply when few,
// else in a new sealed memory file.
bool sendRows(const uint8_t* rows, int32_t width, int32_t height, size_t stride, RenderReplyRecord& reply,
              ReplyPixels& pixels) {
  const size_t rowBytes = static_cast<size_t>(width) * 4, bytes = rowBytes * static_cast<size_t>(height);
  const auto copyInto = [&](uint8_t* out) {
    for (int32_t y = 0; y < height; ++y) {
      std::memcpy(out + static_cast<size_t>(y) * rowBytes, rows + static_cast<size_t>(y) * stride, rowBytes);
    }
  };
  if (bytes <= kMostInlinePayload) {
    pixels.carried.resize(bytes);
    copyInto(pixels.carried.data());
  } else {
    WritableMemory memory;
    if (!memory.create(bytes)) {
      refuse(reply, "out of memory for the pixels");
      return false;
    }
    copyInto(memory.data());
    pixels.file = memory.seal();
    if (!pixels.file.valid()) {
      refuse(reply, "the pixels could not be sealed");
      return false;
    }
  }
  reply.drawn = 1;
  reply.width = width;
  reply.height = height;
  return true;
}

bool sendBitmap(const SvgBitmap& bitmap, RenderReplyRecord& reply, ReplyPixels& pixels) {
  return sendRows(bitmap.pixels.data(), bitmap.width, bitmap.height, static_cast<size_t>(bitmap.stride), reply, pixels);
}

// Refuses with the reason of the thread's last SVG failure, and what kind of failure it was.
void refuseAsSvg(RenderReplyRecord& reply) {
  refuse(reply, svgLastError());
  reply.unreadable = svgLastFailure() == SvgFailure::Unreadable ? 1 : 0;
  reply.declined = svgLastFailure() == SvgFailure::Declined ? 1 : 0;
}

void drawFitted(const RenderRequestRecord& request, std::string_view document, RenderReplyRecord& reply,
                ReplyPixels& pixels) {
  SvgBitmap bitmap;
  if (!renderSvgToBgra(document, request.width, request.height, &bitmap)) return refuseAsSvg(reply);
  sendBitmap(bitmap, reply, pixels);
}

void drawGlyph(const RenderRequestRecord& request, std::string_view document, RenderReplyRecord& reply,
               ReplyPixels& pixels) {
  SvgBitmap bitmap;
  const std::string element = "glyph" + std::to_string(request.glyphIndex);
  if (!renderSvgDocumentToBgra(document, element, request.pixelSize, request.unitsPerEm, request.maxSide, &reply.left,
                               &reply.top, &bitmap)) {
    return refuseAsSvg(reply);
  }
  sendBitmap(bitmap, reply, pixels);
}

void decodeWithSdlImage(const RenderRequestRecord& request, std::string_view document, RenderReplyRecord& reply,
                        ReplyPixels& pixels) {
  SDL_IOStream* stream = SDL_IOFromConstMem(document.data(), document.size());
  if (stream == nullptr) return refuse(reply, SDL_GetError());
  // At the document's own size, as SDL_image alone draws it (a size asked for would scale the drawing by the
  // rounding of its declared size); qz takes the drawing only within a pixel of the size it checked, or, for a
  // document that declares none (0 x 0 asked), within the largest side.
  SDL_Surface* decoded = request.sdlSvg != 0 ? IMG_LoadSVG_IO(stream) : IMG_LoadXPM_IO(stream);
  SDL_CloseIO(stream);
  if (decoded == nullptr) return refuse(reply, SDL_GetError());
  if (request.sdlSvg != 0 && request.width == 0 && (decoded->w > request.maxSide || decoded->h > request.maxSide)) {
    SDL_DestroySurface(decoded);
    refuse(reply, "image dimensions are too large");
    reply.declined = 1;
    return;
  }
  SDL_Surface* converted = SDL_ConvertSurface(decoded, SDL_PIXELFORMAT_ARGB8888);
  SDL_DestroySurface(decoded);
  if (converted == nullptr) return refuse(reply, SDL_GetError());
  if (converted->w <= 0 || converted->h <= 0 || converted->pixels == nullptr) {
    refuse(reply, "decoded image has invalid dimensions or pixels");
  } else {
    sendRows(static_cast<const uint8_t*>(converted->pixels), converted->w, converted->h,
             static_cast<size_t>(converted->pitch), reply, pixels);
  }
  SDL_DestroySurface(converted);
}

}  // namespace

void runRequest(const RenderRequestRecord& request, std::string_view document, RenderReplyRecord& reply,
                ReplyPixels& pixels) {
  try {
    switch (static_cast<RenderJobKind>(request.kind)) {
      case RenderJobKind::SvgFitted:
        return drawFitted(request, document, reply, pixels);
      case RenderJobKind::SvgGlyph:
        return drawGlyph(request, document, reply, pixels);
      case RenderJobKind::SdlImage:
        return decodeWithSdlImage(request, document, reply, pixels);
    }
    refuse(reply, "unknown render job");
  } catch (const std::bad_alloc&) {
    refuse(reply, "out of memory");
  }
}
