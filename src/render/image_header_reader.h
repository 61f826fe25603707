// Reading an image header from an SDL stream with the stream's own calls (so seeks past the end and short
// reads behave as they do for the decoder), putting the position back at the end.
#pragma once

#include <SDL3/SDL_iostream.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "render/image_header.h"

// The most bytes the header of an image whose header is text (PNM, XPM, XV thumbnails) is read for: far more
// than the comments and size lines of any real one.
inline constexpr int64_t kMostTextHeaderBytes = int64_t{1} << 20;

inline bool isHeaderSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
inline bool isHeaderDigit(int c) { return c >= '0' && c <= '9'; }

class HeaderReader {
 public:
  HeaderReader(SDL_IOStream* stream, const HeaderBudget& budget)
      : stream_(stream), start_(SDL_TellIO(stream)), budget_(budget) {}
  ~HeaderReader() { SDL_SeekIO(stream_, start_, SDL_IO_SEEK_SET); }
  HeaderReader(const HeaderReader&) = delete;
  HeaderReader& operator=(const HeaderReader&) = delete;

  // To `offset` bytes after the image's start.
  bool seek(int64_t offset) { return SDL_SeekIO(stream_, start_ + offset, SDL_IO_SEEK_SET) >= 0; }
  bool skip(int64_t count) { return SDL_SeekIO(stream_, count, SDL_IO_SEEK_CUR) >= 0; }
  // To `position` in the stream, for the formats whose offsets count from the stream's start.
  bool seekInStream(int64_t position) { return SDL_SeekIO(stream_, position, SDL_IO_SEEK_SET) >= 0; }
  // The bytes from here to the stream's end, and in the whole stream (negative when the stream does not know
  // its size).
  int64_t remaining() { return SDL_GetIOSize(stream_) - SDL_TellIO(stream_); }
  int64_t streamSize() { return SDL_GetIOSize(stream_); }
  bool read(void* into, size_t count) { return SDL_ReadIO(stream_, into, count) == count; }
  // Up to `count` bytes; how many were read (0 at the end).
  size_t readSome(void* into, size_t count) { return SDL_ReadIO(stream_, into, count); }
  std::optional<uint8_t> byte() {
    uint8_t value = 0;
    return read(&value, 1) ? std::optional<uint8_t>(value) : std::nullopt;
  }
  // A byte of a text header, which ends (as the data would) once kMostTextHeaderBytes were read this way.
  std::optional<uint8_t> textByte() {
    if (textBytes_ == kMostTextHeaderBytes) return std::nullopt;
    ++textBytes_;
    return byte();
  }
  // Unsigned integers of `size` bytes (at most 4), little- or big-endian.
  std::optional<uint32_t> le(size_t size) { return integer(size, false); }
  std::optional<uint32_t> be(size_t size) { return integer(size, true); }
  // Everything from here to the end, but no more than `most` bytes and one: more than `most` when there is more.
  std::string rest(size_t most) {
    std::string text;
    char block[4096];
    for (size_t got = 0; text.size() <= most && (got = SDL_ReadIO(stream_, block, sizeof block)) > 0;) {
      text.append(block, got);
    }
    if (text.size() > most) text.resize(most + 1);
    return text;
  }
  const HeaderBudget& budget() const { return budget_; }

 private:
  std::optional<uint32_t> integer(size_t size, bool bigEndian) {
    uint8_t bytes[4] = {};
    if (size > sizeof bytes || !read(bytes, size)) return std::nullopt;
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= uint32_t{bytes[i]} << (8 * (bigEndian ? size - 1 - i : i));
    return value;
  }

  SDL_IOStream* stream_;
  int64_t start_;
  int64_t textBytes_ = 0;
  const HeaderBudget& budget_;
};

// The JPEG reader, which also walks the scans up to the end of the image (image_header_jpeg.cpp).
std::optional<DeclaredImage> declaredJpegSize(HeaderReader& reader);
// The PNG reader, which also checks how much the image data inflate to (image_header_png.cpp).
std::optional<DeclaredImage> declaredPngSize(HeaderReader& reader);
// The GIF reader, which also checks the image's LZW codes (image_header_gif.cpp).
std::optional<DeclaredImage> declaredGifSize(HeaderReader& reader);
// The XCF reader, which also checks the layers (image_header_xcf.cpp).
std::optional<DeclaredImage> declaredXcfSize(HeaderReader& reader);
// The readers of the formats whose headers are text (image_header_text.cpp).
std::optional<DeclaredImage> declaredPnmSize(HeaderReader& reader);
std::optional<DeclaredImage> declaredXpmSize(HeaderReader& reader);
std::optional<DeclaredImage> declaredXvSize(HeaderReader& reader);
std::optional<DeclaredImage> declaredSvgSize(HeaderReader& reader);
