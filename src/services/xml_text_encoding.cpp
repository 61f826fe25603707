// Reading off a document's byte-order mark and writing UTF-8 text back into the encoding it was read in.
#include "services/xml_text_encoding.h"

#include <array>
#include <utility>

#include "services/xml_charset.h"

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The text of a document read from UTF-32 holds each 32-bit value as pugixml writes it in UTF-8: a surrogate
// in three bytes, and a value past U+FFFF in four, led by 0xF0 | (value >> 18) cut to a byte (so past
// U+10FFFF the lead runs up to 0xFF, and a lead of 0xF0 may be followed by 0x80-0x8F). Such a sequence is read
// back to a value that pugixml writes as the same bytes, so that the text reads back to the same tree; the
// text of a document read from any other encoding holds none.

// The length of the sequence that `lead` begins, 0 for a byte no sequence begins with.
int utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0) return 4;
  return 0;
}

// Whether `byte` may follow at position `index` of a sequence led by `lead` (no overlong form of three bytes,
// which could read back as a zero or an ASCII character).
bool continues(unsigned char lead, size_t index, unsigned char byte) {
  if (index == 1 && lead == 0xE0) return byte >= 0xA0 && byte <= 0xBF;
  return byte >= 0x80 && byte <= 0xBF;
}

// The value of a whole sequence of `length` bytes (see above for four).
uint32_t sequenceValue(std::string_view sequence, size_t length) {
  const auto lead = static_cast<unsigned char>(sequence[0]);
  if (length == 1) return lead;
  uint32_t value = length == 4 ? lead & 0x0Fu : lead & (0xFFu >> (length + 1));
  for (size_t i = 1; i < length; ++i) value = (value << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3Fu);
  if (length == 4 && value < 0x10000) value |= 0x400000;
  return value;
}

}  // namespace

XmlTextEncoding xmlTextEncoding(std::string_view text, pugi::xml_encoding detected) {
  static constexpr std::array<std::pair<pugi::xml_encoding, std::string_view>, 5> kMarks{{
      {pugi::encoding_utf8, "\xEF\xBB\xBF"},
      {pugi::encoding_utf16_le, "\xFF\xFE"},
      {pugi::encoding_utf16_be, "\xFE\xFF"},
      {pugi::encoding_utf32_le, std::string_view("\xFF\xFE\0\0", 4)},
      {pugi::encoding_utf32_be, std::string_view("\0\0\xFE\xFF", 4)},
  }};
  XmlTextEncoding result;
  result.encoding = detected;
  for (const auto& [encoding, mark] : kMarks) {
    if (encoding == detected && startsWith(text, mark)) result.byteOrderMark = true;
  }
  return result;
}

uint64_t xmlEncodedBytesPerByte(const XmlTextEncoding& encoding) {
  if (!encoding.charset.empty()) return XmlCharsetEncoder::kMostBytesPerByte;
  switch (encoding.encoding) {
    case pugi::encoding_utf16_le:
    case pugi::encoding_utf16_be:
      return 2;
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be:
      return 4;
    default:
      return 1;
  }
}

XmlEncodedText::XmlEncodedText(const XmlTextEncoding& encoding, std::string& out, XmlCharsetWriting writing)
    : encoding_(encoding.encoding),
      charset_(encoding.charset.empty() ? nullptr : std::make_unique<XmlCharsetEncoder>(encoding.charset, writing)),
      bigEndian_(encoding_ == pugi::encoding_utf16_be || encoding_ == pugi::encoding_utf32_be),
      out_(out) {
  if (!encoding.byteOrderMark) return;
  if (encoding_ == pugi::encoding_utf8) {
    out_.append("\xEF\xBB\xBF");
  } else {
    appendCodePoint(0xFEFF);
    flushChunk();
  }
}

XmlEncodedText::~XmlEncodedText() = default;

void XmlEncodedText::append(std::string_view utf8) {
  if (charset_) {
    charset_->append(utf8, out_);
    return;
  }
  if (encoding_ == pugi::encoding_utf8) {
    out_.append(utf8);
    return;
  }
  if (!pending_.empty()) {
    // Complete the character cut off at the end of the last piece with the bytes that continue it.
    std::string head;
    head.swap(pending_);
    const auto lead = static_cast<unsigned char>(head[0]);
    const auto length = static_cast<size_t>(utf8Length(lead));
    size_t used = 0;
    while (head.size() < length && used < utf8.size() &&
           continues(lead, head.size(), static_cast<unsigned char>(utf8[used]))) {
      head.push_back(utf8[used++]);
    }
    if (head.size() < length && used == utf8.size()) {
      pending_.swap(head);
      return;
    }
    decode(head, true);
    utf8.remove_prefix(used);
  }
  decode(utf8, false);
}

void XmlEncodedText::finish() {
  if (charset_) {
    charset_->finish(out_);
    return;
  }
  if (!pending_.empty()) appendCodePoint(0xFFFD);
  pending_.clear();
  flushChunk();
}

bool XmlEncodedText::readsBack() const { return !charset_ || charset_->readsBack(); }

void XmlEncodedText::flushChunk() {
  out_.append(chunk_.data(), chunkUsed_);
  chunkUsed_ = 0;
}

void XmlEncodedText::decode(std::string_view text, bool whole) {
  size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const auto length = static_cast<size_t>(utf8Length(lead));
    size_t taken = 1;
    while (taken < length && at + taken < text.size() &&
           continues(lead, taken, static_cast<unsigned char>(text[at + taken]))) {
      ++taken;
    }
    if (taken < length && at + taken == text.size() && !whole) {
      pending_.assign(text.substr(at));
      break;
    }
    appendCodePoint(taken < length || length == 0 ? 0xFFFD : sequenceValue(text.substr(at), length));
    at += taken;
  }
  flushChunk();
}

void XmlEncodedText::appendUnit(uint32_t unit, int bytes) {
  if (chunkUsed_ + 4 > chunk_.size()) flushChunk();
  for (int i = 0; i < bytes; ++i) {
    const int shift = 8 * (bigEndian_ ? bytes - 1 - i : i);
    chunk_[chunkUsed_++] = static_cast<char>((unit >> shift) & 0xFF);
  }
}

void XmlEncodedText::appendCodePoint(uint32_t codePoint) {
  switch (encoding_) {
    case pugi::encoding_utf16_le:
    case pugi::encoding_utf16_be:
      if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) codePoint = 0xFFFD;
      if (codePoint >= 0x10000) {
        codePoint -= 0x10000;
        appendUnit(0xD800 | (codePoint >> 10), 2);
        appendUnit(0xDC00 | (codePoint & 0x3FF), 2);
      } else {
        appendUnit(codePoint, 2);
      }
      return;
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be:
      appendUnit(codePoint, 4);
      return;
    default:  // Latin-1
      appendUnit(codePoint <= 0xFF ? codePoint : '?', 1);
      return;
  }
}
