// SVG files to BGRA bitmaps over librsvg and cairo. The document is fitted into the requested size (aspect
// ratio kept, centred) and the pixels come back with straight alpha, bytes B, G, R, A, rows without gaps.
// The text of the last failure is kept per thread.
#pragma once

#include <cstdint>
#include <vector>

struct SvgBitmap {
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;           // bytes per row
  std::vector<uint8_t> pixels;  // stride x height bytes
};

// Renders the SVG file at `path` into a width x height bitmap; false (bitmap untouched) on failure, with the
// reason in svgLastError().
bool renderSvgFileToBgra(const char* path, int32_t width, int32_t height, SvgBitmap* bitmap);

// The calling thread's last failure text; empty when none was recorded.
const char* svgLastError();
