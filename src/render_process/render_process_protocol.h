// The messages between qz and its render process, over a sequenced-packet socket: one request, then one
// reply, each a fixed record followed by its bytes (a request's document, a reply's pixels) when they are
// few; more bytes travel in a sealed memory file passed beside the record, so a large drawing costs one copy.
#pragma once

#include <cstdint>

enum class RenderJobKind : uint32_t {
  SvgFitted = 1,  // an SVG document drawn into width x height, fitted and centred (librsvg)
  SvgGlyph,       // the element "glyph<glyphIndex>" of an SVG glyph document, at pixelSize per unitsPerEm, cropped
  SdlImage,       // an image decoded by SDL_image at its own size: an SVG document or an XPM image (whose size
                  // qz read from its header and sends as width x height; 0 x 0 for an SVG document without one)
};

struct RenderRequestRecord {
  uint32_t kind = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t maxSide = 0;
  uint32_t glyphIndex = 0;
  float pixelSize = 0.0f;
  float unitsPerEm = 0.0f;
  uint32_t sdlSvg = 0;       // SdlImage: the bytes are an SVG document (else an XPM image)
  uint32_t timeLimitMs = 0;  // the process ends itself a little after this, in case qz is gone
  uint64_t documentBytes = 0;
};

// The reply's status: drawn (pixels follow as B, G, R, A bytes with straight alpha, width x 4 a row), or
// refused with the reason in `message`; `outOfMemory` when the reason is that memory ran out, `unreadable`
// when the document could not be read at all, `declined` when the process's own checks refused what was
// drawn soundly (a glyph that is not there, draws nothing or is drawn too large).
struct RenderReplyRecord {
  uint32_t drawn = 0;
  uint32_t outOfMemory = 0;
  uint32_t unreadable = 0;
  uint32_t declined = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t left = 0;
  int32_t top = 0;
  char message[480] = {};
};

// The memory each render process may hold (its resident pages: what it touched, not the address space its
// libraries reserve), unless qz runs under a lower limit (memory_ceiling.h).
inline constexpr uint64_t kRenderProcessMemoryBytes = uint64_t{1} << 30;
// The render process exits with this status when an allocation failed where it could not answer.
inline constexpr int kRenderProcessOutOfMemoryStatus = 86;
// How far a glyph's bitmap may lie from the glyph's origin, in pixels: far past any glyph, within cairo's
// fixed-point coordinates, and far from the ends of the integers that place it.
inline constexpr int32_t kMostGlyphOffset = int32_t{1} << 22;
// The sanitizer build's render process exits with this status on a sanitizer report.
inline constexpr int kRenderProcessSanitizerStatus = 87;
// The descriptor of the socket that the render process is started with.
inline constexpr int kRenderProcessSocket = 3;
