// SVG documents to BGRA bitmaps over librsvg and cairo, as the render process draws them (and the tools that
// measure it, in their own process). The pixels come back with straight alpha, bytes B, G, R, A, rows without
// gaps. The text of the last failure is kept per thread; every function may run on any thread.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

struct SvgBitmap {
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;           // bytes per row
  std::vector<uint8_t> pixels;  // stride x height bytes
};

// Every document is read from its bytes alone: librsvg opens no file it names. Images a document holds as
// "data:" URLs are drawn.

// Renders an SVG document into a width x height bitmap, fitted (aspect ratio kept, centred); false (bitmap
// untouched) on failure, with the reason in svgLastError().
bool renderSvgToBgra(std::string_view document, int32_t width, int32_t height, SvgBitmap* bitmap);

// Renders the element whose id is `element` (the whole document when empty) of an SVG document at the
// document's own coordinates scaled by pixelSize / unitsPerEm (a document without a viewBox draws in those
// units; one with a viewBox maps it onto a unitsPerEm square) and crops the bitmap to the drawn pixels,
// wherever they lie: `left` is the bitmap's left edge and `top` its top edge above y = 0 (up positive), in
// pixels. Fails when the element is missing, nothing is drawn, either side would pass `maxSide` or the bitmap
// would lie farther from the origin than kMostGlyphOffset. The last document parsed on the thread is kept,
// so the glyphs of one document are drawn from one parse.
bool renderSvgDocumentToBgra(std::string_view document, std::string_view element, float pixelSize, float unitsPerEm,
                             int32_t maxSide, int32_t* left, int32_t* top, SvgBitmap* bitmap);

// Lets go of the document the calling thread keeps parsed; whether it kept one.
bool forgetKeptSvgDocument();

// The calling thread's last failure text; empty when none was recorded.
const char* svgLastError();

// What the calling thread's last failure was: librsvg could not read the document (so it draws nothing of it
// at any size), or the drawing was declined by the checks here after librsvg did all it was asked (no such
// element, nothing drawn, drawn too large), or anything else.
enum class SvgFailure { Other, Unreadable, Declined };
SvgFailure svgLastFailure();
