// The GIF reader of the header check: the image SDL_image will decode, its declared size, and its LZW codes
// read as SDL_image's decoder will read them. That decoder follows a code's table chain without a bound, so
// a code beyond the table's next free entry can make a chain endless and overrun its code stack; and it keeps
// only the last two bytes of a sub-block, so a code that needs more than the next sub-block is read from
// stale bytes. Data that would do either are refused; what a conforming encoder writes never does.
#include <array>

#include "render/image_header_reader.h"

namespace {

constexpr int kMaxCodeBits = 12;
constexpr int kTableSize = 1 << kMaxCodeBits;

// Skips GIF data sub-blocks up to the empty one (or the end).
void skipGifBlocks(HeaderReader& reader) {
  for (std::optional<uint8_t> size; (size = reader.byte()) && *size != 0;) {
    if (!reader.skip(*size)) return;
  }
}

enum class CodeRead {
  Code,
  DataEnd,    // no more data: the decoder takes one last code from its buffer, harmless to a table without loops
  PastBlock,  // the code runs past the sub-block after the one it starts in
};

// An image's data sub-blocks as codes, least significant bit first: each sub-block is read after the last
// two bytes of the one before, from the bit where the decoder stands.
class GifCodeReader {
 public:
  explicit GifCodeReader(HeaderReader& reader) : reader_(reader) {}

  CodeRead next(int width, int& code) {
    if (bit_ + width >= endBit_) {  // as the decoder: also when the code ends with the sub-block
      if (used_ > 2) {
        bytes_[0] = bytes_[used_ - 2];
        bytes_[1] = bytes_[used_ - 1];
      }
      const std::optional<uint8_t> size = reader_.byte();
      if (!size || *size == 0 || !reader_.read(bytes_.data() + 2, *size)) return CodeRead::DataEnd;
      used_ = 2 + *size;
      bit_ += 16 - endBit_;
      endBit_ = used_ * 8;
      if (bit_ + width > endBit_) return CodeRead::PastBlock;
    }
    code = 0;
    for (int i = 0; i < width; ++i, ++bit_) code |= (bytes_[bit_ / 8] >> (bit_ % 8) & 1) << i;
    return CodeRead::Code;
  }

 private:
  HeaderReader& reader_;
  std::array<uint8_t, 2 + 255> bytes_{};
  int used_ = 0;  // bytes of bytes_ that hold data
  int bit_ = 0, endBit_ = 0;
};

// The decoder's table as far as the check needs it: its next free entry, the code width, and how many
// pixels each entry's string holds.
class GifCodeTable {
 public:
  explicit GifCodeTable(int codeSize) : codeSize_(codeSize), literals_(1 << codeSize) {
    lengths_.fill(1);
    clear();
  }

  int literals() const { return literals_; }
  int width() const { return width_; }
  void clear() {
    width_ = codeSize_ + 1;
    nextFree_ = literals_ + 2;
  }
  // Whether `code` names a colour, an entry the table has or the one it is defining.
  bool knows(int code) const { return code < literals_ || (code > literals_ + 1 && code <= nextFree_); }
  // The pixels of `code`, which follows `previous`; defines the next entry and widens the codes as the
  // decoder does.
  int add(int code, int previous) {
    const int pixels = code == nextFree_ ? lengths_[previous] + 1 : lengths_[code];
    if (nextFree_ < kTableSize) {
      lengths_[nextFree_] = static_cast<uint16_t>(lengths_[previous] + 1);
      if (++nextFree_ >= 1 << width_ && width_ < kMaxCodeBits) ++width_;
    }
    return pixels;
  }

 private:
  const int codeSize_, literals_;
  int width_ = 0, nextFree_ = 0;
  std::array<uint16_t, kTableSize> lengths_;
};

// Whether SDL_image's decoder reads the codes of an image of `pixels` pixels as a conforming LZW decoder
// does: clear codes before the first are skipped, the first code after a clear is a colour, every other
// code names a known entry or the one being defined, and no code spans more than two sub-blocks. Reading
// stops where the decoder stops: after the last pixel, at the end code or at the end of the data.
bool gifCodesReadSafely(HeaderReader& reader, int codeSize, int64_t pixels) {
  GifCodeTable table(codeSize);
  GifCodeReader codes(reader);
  const int clear = table.literals(), end = clear + 1;
  int code = 0, previous = -1;  // none before the first code of a table
  bool started = false;
  for (int64_t decoded = 0; decoded < pixels;) {
    const CodeRead read = codes.next(table.width(), code);
    if (read != CodeRead::Code) return read == CodeRead::DataEnd;
    if (code == clear) {
      if (started && previous < 0) return false;  // the decoder takes a clear right after a clear as a colour
      table.clear();
      previous = -1;
      continue;
    }
    if (previous < 0) {  // the decoder takes this code as a colour whatever it is
      if (code >= clear) return false;
      started = true;
      previous = code;
      ++decoded;
      continue;
    }
    if (code == end) return true;
    if (!table.knows(code)) return false;
    decoded += table.add(code, previous);
    previous = code;
  }
  return true;
}

}  // namespace

// The first image descriptor whose LZW code size the decoder accepts: bytes between blocks are skipped as
// it skips them, and an image it cannot start does not count. A code size of 0 (the format's least is 2)
// makes the decoder corrupt its own memory, and one of 12 makes codes wider than the format's 12 bits.
std::optional<DeclaredImage> declaredGifSize(HeaderReader& reader) {
  uint8_t screen[13];
  if (!reader.read(screen, sizeof screen)) return std::nullopt;
  if ((screen[10] & 0x80) != 0 && !reader.skip(3 * (2 << (screen[10] & 7)))) return std::nullopt;
  for (std::optional<uint8_t> introducer; (introducer = reader.byte()) && *introducer != ';';) {
    if (*introducer == '!') {
      if (!reader.byte()) return std::nullopt;
      skipGifBlocks(reader);
      continue;
    }
    if (*introducer != ',') continue;
    uint8_t descriptor[9];
    if (!reader.read(descriptor, sizeof descriptor)) return std::nullopt;
    uint8_t discard[3 * 256];
    if ((descriptor[8] & 0x80) != 0 && !reader.read(discard, 3 * (size_t{2} << (descriptor[8] & 7)))) {
      return std::nullopt;
    }
    const std::optional<uint8_t> codeSize = reader.byte();
    if (codeSize && *codeSize <= kMaxCodeBits) {
      DeclaredImage image{descriptor[4] | descriptor[5] << 8, descriptor[6] | descriptor[7] << 8};
      if (*codeSize == 0 || *codeSize == kMaxCodeBits ||
          !gifCodesReadSafely(reader, *codeSize, image.width * image.height)) {
        image.corruption = "corrupt GIF image data";
      }
      return image;
    }
  }
  return std::nullopt;
}
