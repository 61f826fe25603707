// PNG output. The encoder's stream is used in place: its head (signature and every chunk before the first
// IDAT), the metadata chunks and its tail are handed to the atomic file writer as consecutive parts.
#include "render/png_writer.h"

#include <SDL3/SDL_iostream.h>
#include <SDL3_image/SDL_image.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "host/sdl_handles.h"
#include "platform/atomic_write.h"
#include "platform/file_queries.h"
#include "render/canvas_decode.h"

namespace {

constexpr size_t kItxtFixedBytes = 5;  // keyword NUL, compression flag and method, two empty-string NULs
constexpr size_t kMaxPngKeyBytes = 79;

void appendBigEndian(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value >> 24));
  out.push_back(static_cast<char>((value >> 16) & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
  out.push_back(static_cast<char>(value & 0xFF));
}

uint32_t readBigEndian(const uint8_t* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

std::string atomicWriteMessage(const AtomicWriteResult& result) {
  if (result.status == AtomicWriteStatus::ReadOnly) return "file is read-only";
  return describeFileStepError({result.error.step != nullptr ? result.error.step : "file write", result.error.code});
}

// Writes head, chunks and tail of the encoded stream; none on success.
std::optional<std::string> writeWithChunks(const std::string& path, std::span<const uint8_t> png, size_t idatOffset,
                                           const std::vector<PngTextEntry>& entries) {
  std::vector<std::string> chunks;
  chunks.reserve(entries.size());
  for (const PngTextEntry& entry : entries) chunks.push_back(itxtChunk(entry));
  const auto* bytes = reinterpret_cast<const char*>(png.data());
  std::vector<std::string_view> parts;
  parts.reserve(chunks.size() + 2);
  parts.emplace_back(bytes, idatOffset);
  parts.insert(parts.end(), chunks.begin(), chunks.end());
  parts.emplace_back(bytes + idatOffset, png.size() - idatOffset);
  const AtomicWriteResult result = writeFileAtomic(path, parts);
  if (result.status == AtomicWriteStatus::Written) return std::nullopt;
  return atomicWriteMessage(result);
}

}  // namespace

std::string pngCreationTime(std::time_t now) {
  std::tm utc{};
  if (now == static_cast<std::time_t>(-1) || gmtime_r(&now, &utc) == nullptr) return "";
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                                   utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return length == 20 ? std::string(text, 20) : std::string();
}

std::vector<PngTextEntry> defaultPngMetadata() {
  return {{"Software", "Qz by Varentil"}, {"Creation Time", pngCreationTime(std::time(nullptr))}};
}

void setPngMetadata(std::vector<PngTextEntry>& entries, std::string_view key, std::string_view value) {
  const auto same = std::find_if(entries.begin(), entries.end(), [key](const PngTextEntry& e) { return e.key == key; });
  if (same != entries.end()) {
    same->value = value;
  } else {
    entries.push_back({std::string(key), std::string(value)});
  }
}

PngKeyCheck checkPngKey(std::string_view key) {
  if (key.empty() || key.size() > kMaxPngKeyBytes) return PngKeyCheck::BadLength;
  if (key.find('\0') != std::string_view::npos) return PngKeyCheck::HoldsZero;
  return PngKeyCheck::Valid;
}

bool pngTextFits(size_t keyLength, size_t valueLength) {
  const uint64_t fixed = keyLength + kItxtFixedBytes;
  return fixed <= kMaxPngChunkData && valueLength <= kMaxPngChunkData - fixed;
}

std::string itxtChunk(const PngTextEntry& entry) {
  const size_t dataLength = entry.key.size() + kItxtFixedBytes + entry.value.size();
  std::string chunk;
  chunk.reserve(dataLength + 12);
  appendBigEndian(chunk, static_cast<uint32_t>(dataLength));
  chunk += "iTXt";
  chunk += entry.key;
  chunk.append(kItxtFixedBytes, '\0');
  chunk += entry.value;
  const auto* typeAndData = reinterpret_cast<const Bytef*>(chunk.data() + 4);
  appendBigEndian(chunk, static_cast<uint32_t>(crc32_z(0, typeAndData, dataLength + 4)));
  return chunk;
}

IdatSearch findFirstIdat(std::span<const uint8_t> png) {
  const size_t size = png.size();
  if (size < 20) return {0, "encoded PNG has no image data"};
  size_t at = 8;
  while (
      !std::equal(png.begin() + static_cast<ptrdiff_t>(at + 4), png.begin() + static_cast<ptrdiff_t>(at + 8), "IDAT")) {
    const size_t length = readBigEndian(png.data() + at);
    if (length > size - 12 - at) return {0, "encoded PNG contains an invalid chunk"};
    at += length + 12;
    if (at + 12 > size) return {0, "encoded PNG has no image data"};
  }
  return {at, nullptr};
}

std::optional<std::string> savePngWithMetadata(const CanvasBitmap& canvas, const std::string& path,
                                               const std::vector<PngTextEntry>& entries) {
  if (canvas.width > kMaxPngWidth) return "canvas row is too wide";
  // A pipe, device or directory is refused before anything is encoded.
  if (const std::optional<FileStepError> refused = nonRegularFileError(path)) return describeFileStepError(*refused);
  // SDL only reads the pixels of a surface that it encodes.
  const SurfaceHandle surface(SDL_CreateSurfaceFrom(canvas.width, canvas.height, SDL_PIXELFORMAT_ARGB8888,
                                                    const_cast<uint32_t*>(canvas.pixels.data()), canvas.width * 4));
  if (!surface) return sdlErrorOrDefault();
  const IoStreamHandle stream(SDL_IOFromDynamicMem());
  if (!stream || !IMG_SavePNG_IO(surface.get(), stream.get(), false)) return sdlErrorOrDefault();
  const Sint64 size = SDL_TellIO(stream.get());
  if (size < 12) return "encoded PNG size is invalid";
  const auto* encoded = static_cast<const uint8_t*>(
      SDL_GetPointerProperty(SDL_GetIOProperties(stream.get()), SDL_PROP_IOSTREAM_DYNAMIC_MEMORY_POINTER, nullptr));
  if (encoded == nullptr) return sdlErrorOrDefault();
  const std::span<const uint8_t> png(encoded, static_cast<size_t>(size));
  const IdatSearch idat = findFirstIdat(png);
  if (idat.error != nullptr) return idat.error;
  try {
    return writeWithChunks(path, png, idat.offset, entries);
  } catch (const std::bad_alloc&) {
    return "not enough memory to save PNG metadata";
  }
}
