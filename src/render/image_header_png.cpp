// The PNG reader of the header check, as stb_image reads a PNG: the signature, any CgBI chunks (Apple's
// variant, whose image data are deflated without a zlib header), then the header chunk. stb_image collects
// every IDAT chunk and inflates them all into a buffer it grows as far as 4 GiB, before it looks at how
// much the pixels need: a few megabytes of data could take gigabytes. The image data are therefore
// inflated here without being kept, and refused when they give far more than the pixels take, or when they
// cannot be inflated at all (what is not checked is not passed).
#include <zlib.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "render/image_header_reader.h"

namespace {

constexpr const char* kCorrupt = "corrupt PNG image data";

struct InflateEnd {
  void operator()(z_stream* stream) const { inflateEnd(stream); }
};

// Counts what the image data inflate to, up to `most` bytes, read as stb_image reads them: a zlib header
// (none in Apple's variant), then deflate data, the checksum after them unread. stb_image checks less of the
// header than zlib: a header zlib refuses (a window field over 7, which stops zlib at once, or a preset
// dictionary) is refused here instead of passed unmeasured.
class InflatedCount {
 public:
  InflatedCount(bool zlibHeader, uint64_t most) : headerLeft_(zlibHeader ? 2 : 0), most_(most) {
    const int status = inflateInit2(&stream_, -15);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status == Z_OK) holder_.reset(&stream_);
  }

  // False once the data are refused: they give more than `most` bytes, or their header or their deflate data
  // do not inflate.
  bool add(const uint8_t* data, size_t size) {
    if (!holder_) return false;
    for (; headerLeft_ > 0 && size > 0; --size, ++data) {
      header_[2 - headerLeft_--] = *data;
      if (headerLeft_ == 0 && !zlibHeaderFits()) return false;
    }
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    while (stream_.avail_in > 0 && !ended_) {
      stream_.next_out = scratch_.data();
      stream_.avail_out = static_cast<uInt>(scratch_.size());
      const int status = inflate(&stream_, Z_NO_FLUSH);
      if (status == Z_MEM_ERROR) throw std::bad_alloc();
      if (status != Z_OK && status != Z_STREAM_END) return false;
      inflated_ += scratch_.size() - stream_.avail_out;
      if (inflated_ > most_) return false;
      ended_ = status == Z_STREAM_END;
    }
    return true;
  }

 private:
  // zlib's checks of the two header bytes: the check bits, deflate, a window of at most 32 KiB, and no
  // preset dictionary.
  bool zlibHeaderFits() const {
    const unsigned method = header_[0], flags = header_[1];
    return (method * 256 + flags) % 31 == 0 && (method & 15) == 8 && (method >> 4) <= 7 && (flags & 0x20) == 0;
  }

  z_stream stream_{};
  std::unique_ptr<z_stream, InflateEnd> holder_;
  std::array<Bytef, 65536> scratch_;
  std::array<uint8_t, 2> header_{};
  int headerLeft_;
  uint64_t inflated_ = 0;
  uint64_t most_;
  bool ended_ = false;
};

// The bytes stb_image expects the image data to inflate to (its first guess, one filter byte a row), given
// the header's fields; twice that and 64 KiB more allow interlacing's extra rows with room to spare.
uint64_t mostInflated(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour) {
  const uint64_t channels = colour == 3 ? 1 : ((colour & 2) != 0 ? 3 : 1) + ((colour & 4) != 0 ? 1 : 0);
  const uint64_t rowBytes = (uint64_t{width} * depth + 7) / 8 * channels;
  return 2 * (rowBytes * height + height) + 65536;
}

// The chunks after the header up to IEND, IDAT inflated as it comes; false when the data are refused.
bool imageDataFit(HeaderReader& reader, bool zlibHeader, uint64_t most) {
  InflatedCount count(zlibHeader, most);
  std::array<uint8_t, 65536> block;
  for (;;) {
    const auto length = reader.be(4);
    char type[4];
    if (!length || !reader.read(type, 4) || std::memcmp(type, "IEND", 4) == 0) return true;
    if (std::memcmp(type, "IDAT", 4) != 0) {
      if (!reader.skip(int64_t{*length} + 4)) return true;
      continue;
    }
    for (uint32_t left = *length; left > 0;) {
      const size_t got = reader.readSome(block.data(), std::min<size_t>(left, block.size()));
      if (got == 0) return true;
      if (!count.add(block.data(), got)) return false;
      left -= static_cast<uint32_t>(got);
    }
    reader.skip(4);
  }
}

}  // namespace

std::optional<DeclaredImage> declaredPngSize(HeaderReader& reader) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  uint8_t signature[8];
  if (!reader.read(signature, sizeof signature) || std::memcmp(signature, kSignature, 8) != 0) return std::nullopt;
  bool apple = false;
  for (;;) {
    const auto length = reader.be(4);
    char type[4];
    if (!length || !reader.read(type, 4)) return std::nullopt;
    if (std::memcmp(type, "IHDR", 4) == 0) {
      uint8_t header[13];
      if (*length != 13 || !reader.read(header, sizeof header) || !reader.skip(4)) return std::nullopt;
      const auto be32 = [&](size_t at) {
        return uint32_t{header[at]} << 24 | uint32_t{header[at + 1]} << 16 | uint32_t{header[at + 2]} << 8 |
               header[at + 3];
      };
      DeclaredImage image{be32(0), be32(4)};
      if (!imageDataFit(reader, !apple, mostInflated(be32(0), be32(4), header[8], header[9]))) {
        image.corruption = kCorrupt;
      }
      return image;
    }
    // Each chunk passed over holds at least its length, type and checksum: the walk ends with the data.
    if (std::memcmp(type, "CgBI", 4) != 0 || static_cast<int32_t>(*length) < 0 || !reader.skip(int64_t{*length} + 4)) {
      return std::nullopt;
    }
    apple = true;
  }
}
