// The compression core over zlib's stream interface. zlib writes and checks the zlib header and Adler-32
// trailer itself; the gzip header and trailer are written and checked here. Output is produced in pieces of
// at most 64 KiB, each tested against the ceiling as it arrives, so a decompression bomb stops within one
// piece of the limit; input is read in place, in pieces that fit zlib's 32-bit counters.
#include "services/compression.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

#include "services/zlib_stream.h"

namespace {

constexpr size_t kPieceSize = 65536;
constexpr size_t kMaxInputPiece = 0xFFFFFFFFu;
constexpr size_t kGzipHeaderSize = 10;
constexpr size_t kGzipTrailerSize = 8;
constexpr int kStrongestZlibLevel = 9;

constexpr const char* kCompressedOverLimit = "compressed output exceeds configured limit";
constexpr const char* kDecompressedOverLimit = "decompressed output exceeds configured limit";

// The prefix, ": " and zlib's text for the status, or "unknown miniz error" where zlib has none.
std::string minizStatusText(const char* prefix, int status) {
  const char* text = status >= Z_VERSION_ERROR && status <= Z_NEED_DICT ? zError(status) : nullptr;
  return std::string(prefix) + ": " + (text != nullptr && text[0] != '\0' ? text : "unknown miniz error");
}

void appendUint32LE(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

uint32_t readUint32LE(std::string_view data, size_t position) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[position + i]);
  return value;
}

uint32_t crc32Of(uint32_t crc, const void* bytes, size_t length) {
  return static_cast<uint32_t>(crc32_z(crc, static_cast<const Bytef*>(bytes), length));
}

// Hands zlib the next piece of input whenever it holds none.
class InputFeed {
 public:
  explicit InputFeed(std::string_view data) : data_(data) {}

  void feed(z_stream& stream) {
    if (stream.avail_in != 0 || handed_ == data_.size()) return;
    const size_t piece = std::min(data_.size() - handed_, kMaxInputPiece);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data_.data() + handed_));
    stream.avail_in = static_cast<uInt>(piece);
    handed_ += piece;
  }
  bool allHanded() const { return handed_ == data_.size(); }
  size_t consumed(const z_stream& stream) const { return handed_ - stream.avail_in; }

 private:
  std::string_view data_;
  size_t handed_ = 0;
};

// How a run of inflate calls ended.
enum class InflateEnd { StreamEnd, InputEnded, LibraryError, NoProgress, OverLimit };

struct InflateOutcome {
  InflateEnd end;
  int status;
};

// Inflates until the stream ends or fails, appending each piece to `result` (whose whole length is held to
// maxOutputSize) and passing it to onPiece. zlib writes straight into the result, sparing a copy of every
// byte: a piece gets room for 64 KiB, or near the limit for one byte past it, which is enough to refuse.
template <typename OnPiece>
InflateOutcome pumpInflate(z_stream& stream, InputFeed& input, std::string& result, uint64_t maxOutputSize,
                           OnPiece onPiece) {
  for (;;) {
    input.feed(stream);
    const uInt inputBefore = stream.avail_in;
    const size_t start = result.size();
    const uint64_t left = maxOutputSize - start;
    const size_t room = left >= kPieceSize ? kPieceSize : static_cast<size_t>(left) + 1;
    result.resize(start + room);
    stream.next_out = reinterpret_cast<Bytef*>(result.data() + start);
    stream.avail_out = static_cast<uInt>(room);
    const int status = inflate(&stream, Z_NO_FLUSH);
    const size_t produced = room - stream.avail_out;
    result.resize(start + produced);
    if (produced > left) return {InflateEnd::OverLimit, status};
    onPiece(reinterpret_cast<const unsigned char*>(result.data() + start), produced);
    if (status == Z_STREAM_END) return {InflateEnd::StreamEnd, status};
    if (status == Z_BUF_ERROR && input.allHanded() && stream.avail_in == 0) return {InflateEnd::InputEnded, status};
    if (status != Z_OK) return {InflateEnd::LibraryError, status};
    if (produced == 0 && stream.avail_in == inputBefore) return {InflateEnd::NoProgress, status};
  }
}

// Runs `operation` on a result string of its own and moves that into `output` only when it succeeds; memory
// exhaustion and over-long strings become the given messages.
template <typename Operation>
bool runGuarded(std::string& output, std::string& error, const char* memoryMessage, const char* tooLargeMessage,
                Operation operation) {
  error.clear();
  try {
    // The result takes over the caller's buffer, so repeated calls into one string reuse its memory.
    std::string result;
    result.swap(output);
    result.clear();
    if (!operation(result)) return false;
    output = std::move(result);
    return true;
  } catch (const std::bad_alloc&) {
    error = memoryMessage;
  } catch (const std::length_error&) {
    error = tooLargeMessage;
  }
  return false;
}

// Appends the compressed form of `data` to `result`, keeping result's whole length within `limit`.
bool deflateAppend(std::string_view data, std::string& result, bool zlibWrapper, int32_t level, uint64_t limit,
                   std::string& error) {
  if (level < -1 || level > 10) {
    error = "compression level must be between -1 and 10";
    return false;
  }
  ZlibStream stream(ZlibStream::Direction::Deflate);
  const int setup = stream.initDeflate(std::min(level, kStrongestZlibLevel), zlibWrapper ? MAX_WBITS : -MAX_WBITS);
  if (setup != Z_OK) {
    error = minizStatusText("compression setup failed", setup);
    return false;
  }
  z_stream& z = stream.get();
  InputFeed input(data);
  std::vector<unsigned char> buffer(kPieceSize);
  for (;;) {
    input.feed(z);
    const uInt inputBefore = z.avail_in;
    z.next_out = buffer.data();
    z.avail_out = kPieceSize;
    const int status = deflate(&z, input.allHanded() ? Z_FINISH : Z_NO_FLUSH);
    const size_t produced = kPieceSize - z.avail_out;
    if (produced > limit - result.size()) {
      error = kCompressedOverLimit;
      return false;
    }
    result.append(reinterpret_cast<const char*>(buffer.data()), produced);
    if (status == Z_STREAM_END) break;
    if (status != Z_OK) {
      error = minizStatusText("compression failed", status);
      return false;
    }
    if (produced == 0 && z.avail_in == inputBefore) {
      error = "compression stopped making progress";
      return false;
    }
  }
  const int cleanup = stream.end();
  if (cleanup != Z_OK) {
    error = minizStatusText("compression cleanup failed", cleanup);
    return false;
  }
  return true;
}

bool inflateWhole(std::string_view data, std::string& result, bool zlibWrapper, uint64_t maxOutputSize,
                  std::string& error) {
  ZlibStream stream(ZlibStream::Direction::Inflate);
  const int setup = stream.initInflate(zlibWrapper ? MAX_WBITS : -MAX_WBITS);
  if (setup != Z_OK) {
    error = minizStatusText("decompression setup failed", setup);
    return false;
  }
  InputFeed input(data);
  const InflateOutcome outcome =
      pumpInflate(stream.get(), input, result, maxOutputSize, [](const unsigned char*, size_t) {});
  switch (outcome.end) {
    case InflateEnd::StreamEnd:
      if (!input.allHanded() || stream.get().avail_in != 0) {
        error = "compressed input contains trailing bytes";
        return false;
      }
      break;
    case InflateEnd::InputEnded:
      error = "compressed input ended before the stream was complete";
      return false;
    case InflateEnd::LibraryError:
      error = minizStatusText("decompression failed", outcome.status);
      return false;
    case InflateEnd::NoProgress:
      error = "decompression stopped making progress";
      return false;
    case InflateEnd::OverLimit:
      error = kDecompressedOverLimit;
      return false;
  }
  const int cleanup = stream.end();
  if (cleanup != Z_OK) {
    error = minizStatusText("decompression cleanup failed", cleanup);
    return false;
  }
  return true;
}

// What the DEFLATE body of one gzip member produced, and how many input bytes it used.
struct GzipBody {
  uint32_t crc = 0;
  uint32_t size = 0;
  size_t consumed = 0;
};

bool gzipInflateBody(std::string_view body, std::string& result, uint64_t maxOutputSize, GzipBody& member,
                     std::string& error) {
  ZlibStream stream(ZlibStream::Direction::Inflate);
  if (stream.initInflate(-MAX_WBITS) != Z_OK) {
    error = "gzip decompression setup failed";
    return false;
  }
  InputFeed input(body);
  member = GzipBody{};
  const InflateOutcome outcome =
      pumpInflate(stream.get(), input, result, maxOutputSize, [&member](const unsigned char* piece, size_t length) {
        member.crc = crc32Of(member.crc, piece, length);
        member.size += static_cast<uint32_t>(length);
      });
  switch (outcome.end) {
    case InflateEnd::StreamEnd:
      break;
    case InflateEnd::InputEnded:
      error = "gzip data ended before the DEFLATE stream was complete";
      return false;
    case InflateEnd::LibraryError:
      error = "gzip DEFLATE data is invalid";
      return false;
    case InflateEnd::NoProgress:
      error = "gzip decompression stopped making progress";
      return false;
    case InflateEnd::OverLimit:
      error = kDecompressedOverLimit;
      return false;
  }
  member.consumed = input.consumed(stream.get());
  if (stream.end() != Z_OK) {
    error = "gzip decompression cleanup failed";
    return false;
  }
  return true;
}

// Moves `position` past the zero byte that ends a gzip header field.
bool skipGzipZeroTerminatedField(std::string_view data, size_t& position, const char* label, std::string& error) {
  const size_t terminator = data.find('\0', position);
  if (terminator == std::string_view::npos) {
    error = std::string("gzip ") + label + " is incomplete";
    return false;
  }
  position = terminator + 1;
  return true;
}

constexpr unsigned kFlagHeaderCrc = 0x02;
constexpr unsigned kFlagExtra = 0x04;
constexpr unsigned kFlagName = 0x08;
constexpr unsigned kFlagComment = 0x10;

// Checks the header of the member at `start` and moves `position` to its DEFLATE body.
bool readGzipHeader(std::string_view data, size_t start, size_t& position, std::string& error) {
  if (data.size() - start <= 9) {
    error = "gzip header is incomplete";
    return false;
  }
  const auto byteAt = [&data](size_t i) { return static_cast<unsigned char>(data[i]); };
  if (byteAt(start) != 0x1F || byteAt(start + 1) != 0x8B) {
    error = "gzip signature is invalid";
    return false;
  }
  if (byteAt(start + 2) != 8) {
    error = "gzip compression method is unsupported";
    return false;
  }
  const unsigned flags = byteAt(start + 3);
  if (flags > 31) {
    error = "gzip header uses reserved flags";
    return false;
  }
  position = start + kGzipHeaderSize;
  if ((flags & kFlagExtra) != 0) {
    if (data.size() - position < 2) {
      error = "gzip extra field length is incomplete";
      return false;
    }
    const size_t extraLength = byteAt(position) | (byteAt(position + 1) << 8);
    position += 2;
    if (data.size() - position < extraLength) {
      error = "gzip extra field is incomplete";
      return false;
    }
    position += extraLength;
  }
  if ((flags & kFlagName) != 0 && !skipGzipZeroTerminatedField(data, position, "file name", error)) return false;
  if ((flags & kFlagComment) != 0 && !skipGzipZeroTerminatedField(data, position, "comment", error)) return false;
  if ((flags & kFlagHeaderCrc) != 0) {
    if (data.size() - position < 2) {
      error = "gzip header checksum is incomplete";
      return false;
    }
    const unsigned stored = byteAt(position) | (byteAt(position + 1) << 8);
    if (stored != (crc32Of(0, data.data() + start, position - start) & 0xFFFF)) {
      error = "gzip header checksum does not match";
      return false;
    }
    position += 2;
  }
  return true;
}

// Reserves room for the output a trailer announces. Only a hint: a wrong one costs a reallocation, and
// failing to get the room changes nothing.
void reserveAnnouncedSize(std::string& result, uint64_t announced, uint64_t maxOutputSize) {
  try {
    result.reserve(std::min(announced, maxOutputSize));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

bool gzipDecompressMembers(std::string_view data, std::string& result, uint64_t maxOutputSize, std::string& error) {
  if (data.empty()) {
    error = "gzip input is empty";
    return false;
  }
  // The last member's ISIZE: the whole output when there is one member under 4 GiB, as there usually is.
  if (data.size() >= kGzipHeaderSize + kGzipTrailerSize) {
    reserveAnnouncedSize(result, readUint32LE(data, data.size() - 4), maxOutputSize);
  }
  size_t start = 0;
  while (start < data.size()) {
    size_t position = 0;
    if (!readGzipHeader(data, start, position, error)) return false;
    GzipBody member;
    if (!gzipInflateBody(data.substr(position), result, maxOutputSize, member, error)) return false;
    position += member.consumed;
    if (data.size() - position < kGzipTrailerSize) {
      error = "gzip trailer is incomplete";
      return false;
    }
    if (readUint32LE(data, position) != member.crc) {
      error = "gzip data checksum does not match";
      return false;
    }
    if (readUint32LE(data, position + 4) != member.size) {
      error = "gzip original size does not match";
      return false;
    }
    start = position + kGzipTrailerSize;
  }
  return true;
}

}  // namespace

std::optional<ContainerKind> detectContainer(std::string_view data) {
  const auto byteAt = [&data](size_t i) { return static_cast<unsigned char>(data[i]); };
  if (data.size() < 2) return std::nullopt;
  const bool zlibHeader = (byteAt(0) & 0x8F) == 0x08 && ((byteAt(0) << 8) | byteAt(1)) % 31 == 0;
  if (data.size() >= 3 && byteAt(0) == 0x1F) {
    if (byteAt(1) == 0x8B && byteAt(2) == 0x08) return ContainerKind::Gzip;
    return std::nullopt;
  }
  if (zlibHeader) return ContainerKind::Zlib;
  if (data.size() >= 4 && data[0] == 'P' && data[1] == 'K') {
    const unsigned third = byteAt(2);
    const unsigned fourth = byteAt(3);
    if ((third == 3 && fourth == 4) || (third == 5 && fourth == 6) || (third == 7 && fourth == 8)) {
      return ContainerKind::Zip;
    }
  }
  return std::nullopt;
}

bool deflateCompress(std::string_view data, std::string& output, bool zlibWrapper, const CompressionOptions& options,
                     std::string& error) {
  return runGuarded(output, error, "not enough memory for compressed output", "compressed output is too large",
                    [&](std::string& result) {
                      return deflateAppend(data, result, zlibWrapper, options.level, options.maxOutputSize, error);
                    });
}

bool inflateDecompress(std::string_view data, std::string& output, bool zlibWrapper, uint64_t maxOutputSize,
                       std::string& error) {
  return runGuarded(output, error, "not enough memory for decompressed output", "decompressed output is too large",
                    [&](std::string& result) { return inflateWhole(data, result, zlibWrapper, maxOutputSize, error); });
}

bool gzipCompress(std::string_view data, std::string& output, const CompressionOptions& options, std::string& error) {
  return runGuarded(
      output, error, "not enough memory for compressed output", "compressed output is too large",
      [&](std::string& result) {
        if (options.maxOutputSize < kGzipHeaderSize + kGzipTrailerSize) {
          error = kCompressedOverLimit;
          return false;
        }
        static constexpr char kHeader[kGzipHeaderSize] = {'\x1F', '\x8B', 8, 0, 0, 0, 0, 0, 0, '\xFF'};
        result.assign(kHeader, kGzipHeaderSize);
        // The header already counts against the limit, so only the trailer is kept free.
        if (!deflateAppend(data, result, false, options.level, options.maxOutputSize - kGzipTrailerSize, error)) {
          return false;
        }
        appendUint32LE(result, crc32Of(0, data.data(), data.size()));
        appendUint32LE(result, static_cast<uint32_t>(data.size()));
        return true;
      });
}

bool gzipDecompress(std::string_view data, std::string& output, uint64_t maxOutputSize, std::string& error) {
  return runGuarded(output, error, "not enough memory for decompressed output", "decompressed output is too large",
                    [&](std::string& result) { return gzipDecompressMembers(data, result, maxOutputSize, error); });
}
