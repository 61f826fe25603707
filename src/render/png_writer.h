// PNG files from canvases with text metadata: SDL_image encodes the pixels, then one iTXt chunk per
// metadata entry is spliced in front of the first IDAT chunk and the file is written atomically (a
// temporary file beside the target, renamed over it only when complete).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "render/canvas_bitmap.h"

struct PngTextEntry {
  std::string key;
  std::string value;
};

// Widest canvas whose rows SDL can address (width x 4 must fit a signed 32-bit pitch).
inline constexpr int32_t kMaxPngWidth = 0x1FFFFFFF;
// The PNG format's limit of a chunk's data length.
inline constexpr uint64_t kMaxPngChunkData = 0x7FFFFFFF;

// "YYYY-MM-DDTHH:MM:SSZ" of a UTC time, or "" when the time cannot be converted.
std::string pngCreationTime(std::time_t now);
// The entries every save starts with: "Software", then "Creation Time" (now, UTC).
std::vector<PngTextEntry> defaultPngMetadata();
// Replaces the value of the entry with this key, or appends a new entry.
void setPngMetadata(std::vector<PngTextEntry>& entries, std::string_view key, std::string_view value);

enum class PngKeyCheck { Valid, BadLength, HoldsZero };
// Keys are 1 to 79 bytes without zero bytes.
PngKeyCheck checkPngKey(std::string_view key);
// Whether an iTXt chunk of this key and value stays within kMaxPngChunkData.
bool pngTextFits(size_t keyLength, size_t valueLength);

// One whole iTXt chunk: length, "iTXt", keyword, NUL, uncompressed flag and method, empty language tag and
// translated keyword, the text, CRC-32.
std::string itxtChunk(const PngTextEntry& entry);

struct IdatSearch {
  size_t offset = 0;            // of the first IDAT chunk
  const char* error = nullptr;  // set when there is none or a chunk runs past the end
};
IdatSearch findFirstIdat(std::span<const uint8_t> png);

// Encodes and writes the canvas; none on success, else the message. A path that exists and is no regular
// file (a directory, pipe or device) is refused before anything is encoded.
std::optional<std::string> savePngWithMetadata(const CanvasBitmap& canvas, const std::string& path,
                                               const std::vector<PngTextEntry>& entries);
