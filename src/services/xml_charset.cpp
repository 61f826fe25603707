// Decoding a document from a character set into UTF-8 and encoding it back, with iconv. One conversion
// descriptor carries a stateful set's shifts across the whole text, in either direction.
#include "services/xml_charset.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <pugixml.hpp>

namespace {

// One iconv conversion descriptor, closed when it goes.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  ~Iconv() {
    if (open()) iconv_close(handle_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  bool open() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

  // Converts what it can of [in, in + inLeft) into [out, out + outLeft), advancing both; errno says why it
  // stopped when it returns false.
  bool convert(const char*& in, size_t& inLeft, char*& out, size_t& outLeft) {
    auto* input = const_cast<char*>(in);  // iconv's signature is not const-correct; it never writes the input
    const size_t result = iconv(handle_, &input, &inLeft, &out, &outLeft);
    in = input;
    return result != static_cast<size_t>(-1);
  }

  // Writes what returns the set to its initial state; false when it does not fit.
  bool reset(char*& out, size_t& outLeft) {
    return iconv(handle_, nullptr, nullptr, &out, &outLeft) != static_cast<size_t>(-1);
  }

  // Returns to the initial state, writing nothing.
  void forget() { iconv(handle_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t handle_;
};

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The UTF-8 character at the start of a text: its length when it is whole and well-formed (else 0), how many
// bytes begin it well (at least one), and whether the text ends inside a character well-formed so far.
struct Utf8Character {
  size_t length = 0;
  size_t wellFormedBytes = 1;
  bool cut = false;
};

Utf8Character utf8Character(std::string_view text) {
  Utf8Character character;
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0x80) {
    character.length = 1;
    return character;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return character;
  }
  for (size_t i = 1; i < length; ++i) {
    if (i == text.size()) {
      character.cut = true;
      return character;
    }
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return character;
    character.wellFormedBytes = i + 1;
  }
  character.length = length;
  return character;
}

uint32_t utf8CodePoint(std::string_view character) {
  const auto lead = static_cast<unsigned char>(character[0]);
  if (character.size() == 1) return lead;
  uint32_t value = lead & (0x7Fu >> character.size());
  for (size_t i = 1; i < character.size(); ++i) {
    value = (value << 6) | (static_cast<unsigned char>(character[i]) & 0x3F);
  }
  return value;
}

}  // namespace

bool xmlEncodingNameIsWellFormed(std::string_view name) {
  return !name.empty() && isAsciiLetter(name[0]) && std::all_of(name.begin(), name.end(), [](char c) {
    return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
  });
}

bool xmlCharsetIsKnown(const std::string& charset) {
  return xmlEncodingNameIsWellFormed(charset) && Iconv("UTF-8", charset.c_str()).open() &&
         Iconv(charset.c_str(), "UTF-8").open();
}

std::optional<std::string> xmlCharsetDecodedDeclaration(const std::string& charset, std::string_view declaration,
                                                        size_t most) {
  Iconv decoder("UTF-8", charset.c_str());
  if (!decoder.open()) return std::nullopt;
  std::string decoded(most, '\0');
  const char* in = declaration.data();
  size_t inLeft = declaration.size();
  char* out = decoded.data();
  size_t outLeft = decoded.size();
  if (!decoder.convert(in, inLeft, out, outLeft)) return std::nullopt;
  decoded.resize(decoded.size() - outLeft);
  return decoded;
}

void XmlPugixmlBufferDeleter::operator()(char* buffer) const { pugi::get_memory_deallocation_function()(buffer); }

namespace {

// The UTF-8 text a decoding writes, in a buffer from pugixml's allocator that grows within its room.
class DecodedBuffer {
 public:
  explicit DecodedBuffer(const XmlDecodingRoom& room) : room_(room) {}

  // Grows the room to at least `bytes` more than is used, within the bound; false when it cannot.
  bool reserveMore(size_t bytes) {
    const uint64_t wanted = std::max<uint64_t>(uint64_t{size_} + bytes, 2 * uint64_t{capacity_});
    uint64_t capacity = wanted;
    if (capacity > room_.uncheckedBytes) {
      if (!limit_) limit_ = std::max(room_.uncheckedBytes, room_.room != nullptr ? room_.room() : UINT64_MAX);
      capacity = std::min(capacity, *limit_);
      if (capacity < uint64_t{size_} + 1 || capacity <= capacity_) return false;
    }
    if (capacity > SIZE_MAX / 2) return false;
    XmlPugixmlBuffer grown(static_cast<char*>(pugi::get_memory_allocation_function()(static_cast<size_t>(capacity))));
    if (!grown) return false;
    if (size_ != 0) std::memcpy(grown.get(), text_.get(), size_);
    text_ = std::move(grown);
    capacity_ = static_cast<size_t>(capacity);
    return true;
  }

  // Moves the text into a buffer of its own size when the room left over is more than an eighth of it, since
  // the document keeps the buffer as long as it lives.
  void shrinkToFit() {
    if (capacity_ - size_ <= size_ / 8 + 4096) return;
    XmlPugixmlBuffer fitted(static_cast<char*>(pugi::get_memory_allocation_function()(size_ == 0 ? 1 : size_)));
    if (!fitted) return;
    std::memcpy(fitted.get(), text_.get(), size_);
    text_ = std::move(fitted);
    capacity_ = size_;
  }

  char* end() { return text_.get() + size_; }
  size_t room() const { return capacity_ - size_; }
  void grew(size_t bytes) { size_ += bytes; }
  size_t size() const { return size_; }
  XmlPugixmlBuffer release() { return std::move(text_); }

 private:
  const XmlDecodingRoom& room_;
  std::optional<uint64_t> limit_;
  XmlPugixmlBuffer text_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace

XmlDecodedText decodeXmlCharset(std::string_view text, const std::string& charset, const XmlDecodingRoom& room) {
  XmlDecodedText decoded;
  if (!xmlEncodingNameIsWellFormed(charset)) {
    decoded.failure.kind = XmlDecodingFailure::UnknownCharset;
    return decoded;
  }
  Iconv decoder("UTF-8", charset.c_str());
  if (!decoder.open()) {
    decoded.failure.kind = XmlDecodingFailure::UnknownCharset;
    return decoded;
  }
  DecodedBuffer buffer(room);
  const char* in = text.data();
  size_t inLeft = text.size();
  // Most text grows by half at most (two bytes of a double-byte set to three of UTF-8).
  if (!buffer.reserveMore(text.size() + text.size() / 2 + 16)) {
    decoded.failure.kind = XmlDecodingFailure::OutOfRoom;
    return decoded;
  }
  // The text, then what ends its last shift.
  for (bool flushed = false; !flushed;) {
    char* out = buffer.end();
    size_t outLeft = buffer.room();
    const bool flushing = inLeft == 0;
    const bool done = flushing ? decoder.reset(out, outLeft) : decoder.convert(in, inLeft, out, outLeft);
    buffer.grew(buffer.room() - outLeft);
    if (done) {
      flushed = flushing;
      continue;
    }
    if (errno == E2BIG) {
      if (buffer.reserveMore(4096)) continue;
      decoded.failure.kind = XmlDecodingFailure::OutOfRoom;
    } else {
      decoded.failure.kind = errno == EINVAL ? XmlDecodingFailure::CutSequence : XmlDecodingFailure::InvalidSequence;
      decoded.failure.offset = static_cast<size_t>(in - text.data());
    }
    return decoded;
  }
  buffer.shrinkToFit();
  decoded.size = buffer.size();
  decoded.text = buffer.release();
  return decoded;
}

namespace {

// Decodes [in, in + inLeft) into scratch space, adding the UTF-8 bytes it makes to `produced`; false when the
// input holds no whole character more.
bool decodeCounting(Iconv& decoder, const char*& in, size_t& inLeft, uint64_t& produced) {
  std::array<char, 16384> scratch;
  while (inLeft > 0) {
    char* out = scratch.data();
    size_t outLeft = scratch.size();
    const bool done = decoder.convert(in, inLeft, out, outLeft);
    produced += scratch.size() - outLeft;
    if (done) return true;
    if (errno != E2BIG) return false;
  }
  return true;
}

}  // namespace

size_t xmlCharsetSourceOffset(std::string_view text, const std::string& charset, size_t utf8Offset) {
  // First a point between blocks of the source before which the decoded text is no longer than the offset, one
  // block before the last such point (a block may end inside a shift, or inside the bits of a UTF-7
  // character); then, decoding anew up to that point, the character within the next blocks that crosses it.
  constexpr size_t kBlock = 4096;
  Iconv decoder("UTF-8", charset.c_str());
  if (!decoder.open()) return 0;
  size_t checkpoint = 0;
  uint64_t producedAtCheckpoint = 0;
  {
    const char* in = text.data();
    uint64_t produced = 0;
    size_t last = 0;
    uint64_t producedAtLast = 0;
    while (static_cast<size_t>(in - text.data()) < text.size()) {
      const size_t at = static_cast<size_t>(in - text.data());
      size_t inLeft = std::min(kBlock, text.size() - at);
      decodeCounting(decoder, in, inLeft, produced);
      if (produced > utf8Offset || in == text.data() + at) break;
      checkpoint = last;
      producedAtCheckpoint = producedAtLast;
      last = static_cast<size_t>(in - text.data());
      producedAtLast = produced;
    }
  }
  decoder.forget();
  const char* in = text.data();
  size_t inLeft = checkpoint;
  uint64_t produced = 0;
  decodeCounting(decoder, in, inLeft, produced);
  if (produced != producedAtCheckpoint) return checkpoint;
  // One more byte of input at a time: each call decodes at most the character that byte completes, or a shift
  // (or the bits of UTF-7) that writes nothing. The answer is where the character before the one that writes
  // past the offset ends.
  size_t afterLastCharacter = checkpoint;
  for (size_t end = checkpoint + 1; end <= text.size(); ++end) {
    const size_t start = static_cast<size_t>(in - text.data());
    inLeft = end - start;
    const uint64_t before = produced;
    if (!decodeCounting(decoder, in, inLeft, produced) && errno != EINVAL) return afterLastCharacter;
    if (produced > utf8Offset) return afterLastCharacter;
    if (produced != before) afterLastCharacter = static_cast<size_t>(in - text.data());
  }
  return afterLastCharacter;
}

struct XmlCharsetEncoder::State {
  State(const std::string& charset, XmlCharsetWriting writing)
      : encoder(charset.c_str(), "UTF-8"), checker("UTF-8", charset.c_str()), writing(writing) {}

  Iconv encoder;
  Iconv checker;  // reads back what the encoder writes
  XmlCharsetWriting writing;
  std::string pending;  // the start of a character cut off at the end of the last piece
  // ASCII the set's encoder writes otherwise, but its decoder reads as itself: written as itself.
  std::array<bool, 128> asItself{};
  bool anyAsItself = false;
  std::array<char, 4096> chunk{};
  std::string alone;  // character by character: what a run or a character is written as from the initial state
  // In one run: the text written and not yet read back, the written bytes that do not yet make a whole
  // character, and whether everything read back so far was the text.
  std::string unchecked;
  std::string unread;
  bool readsBack = true;

  // What a character the set cannot hold becomes.
  enum class Unencodable { Reference, Raw };

  bool writtenAsItself(char c) const { return anyAsItself && static_cast<unsigned char>(c) < 0x80 && asItself[c]; }

  void resetInto(std::string& out) {
    char* next = chunk.data();
    size_t left = chunk.size();
    encoder.reset(next, left);
    out.append(chunk.data(), static_cast<size_t>(next - chunk.data()));
  }

  // The text that what was just written must read back as.
  void expect(std::string_view text) {
    if (writing == XmlCharsetWriting::InOneRun && readsBack) unchecked.append(text);
  }

  // Text written as it stands, which reads back as itself.
  void appendAsItself(std::string_view text, std::string& out) {
    out.append(text);
    expect(text);
  }

  void encode(std::string_view text, std::string& out, bool whole, Unencodable unencodable) {
    size_t at = 0;
    while (at < text.size()) {
      size_t end = at;
      while (end < text.size() && writtenAsItself(text[end])) ++end;
      if (end > at) {
        resetInto(out);
        appendAsItself(text.substr(at, end - at), out);
        at = end;
        continue;
      }
      while (end < text.size() && !writtenAsItself(text[end])) ++end;
      const bool runIsWhole = whole || end < text.size();
      if (writing == XmlCharsetWriting::InOneRun) {
        convert(text.substr(at, end - at), out, runIsWhole, unencodable);
      } else {
        convertEach(text.substr(at, end - at), out, runIsWhole, unencodable);
      }
      at = end;
    }
  }

  void convert(std::string_view run, std::string& out, bool whole, Unencodable unencodable) {
    const char* in = run.data();
    size_t inLeft = run.size();
    while (inLeft > 0) {
      char* next = chunk.data();
      size_t left = chunk.size();
      const char* start = in;
      const bool done = encoder.convert(in, inLeft, next, left);
      out.append(chunk.data(), static_cast<size_t>(next - chunk.data()));
      expect({start, static_cast<size_t>(in - start)});
      if (done) break;
      if (errno == E2BIG) continue;
      const Utf8Character character = utf8Character({in, inLeft});
      if (character.cut && !whole) {
        pending.assign(in, inLeft);
        break;
      }
      const size_t taken = character.length != 0 ? character.length : character.wellFormedBytes;
      unencodableCharacter({in, taken}, character.length != 0, out, unencodable);
      in += taken;
      inLeft -= taken;
    }
  }

  // The run from the set's initial state and back to it, when it reads back so alone; otherwise each character
  // so, so that no shift of one reaches the next.
  void convertEach(std::string_view run, std::string& out, bool whole, Unencodable unencodable) {
    if (appendReadingBack(run, out)) return;
    for (size_t at = 0; at < run.size();) {
      const Utf8Character character = utf8Character(run.substr(at));
      if (character.cut && !whole) {
        pending.assign(run.substr(at));
        return;
      }
      const size_t taken = character.length != 0 ? character.length : character.wellFormedBytes;
      const std::string_view piece = run.substr(at, taken);
      at += taken;
      if (character.length == 0 || !appendReadingBack(piece, out)) {
        unencodableCharacter(piece, character.length != 0, out, unencodable);
      }
    }
  }

  // Appends the bytes of UTF-8 text written from the initial state and back to it, when they read back alone as
  // the text; false, with nothing written, when they do not or the set cannot hold all of it.
  bool appendReadingBack(std::string_view text, std::string& out) {
    alone.clear();
    const char* in = text.data();
    size_t inLeft = text.size();
    for (bool flushed = false; !flushed;) {
      char* next = chunk.data();
      size_t left = chunk.size();
      const bool flushing = inLeft == 0;
      const bool done = flushing ? encoder.reset(next, left) : encoder.convert(in, inLeft, next, left);
      alone.append(chunk.data(), static_cast<size_t>(next - chunk.data()));
      if (done) {
        flushed = flushing;
      } else if (errno != E2BIG) {
        encoder.forget();
        return false;
      }
    }
    checker.forget();
    const char* written = alone.data();
    size_t writtenLeft = alone.size();
    size_t matched = 0;
    for (bool flushed = false; !flushed;) {
      char* next = chunk.data();
      size_t left = chunk.size();
      const bool flushing = writtenLeft == 0;
      const bool done = flushing ? checker.reset(next, left) : checker.convert(written, writtenLeft, next, left);
      const std::string_view read(chunk.data(), static_cast<size_t>(next - chunk.data()));
      if (text.compare(matched, read.size(), read) != 0) return false;
      matched += read.size();
      if (done) {
        flushed = flushing;
      } else if (errno != E2BIG) {
        return false;
      }
    }
    if (matched != text.size()) return false;
    out.append(alone);
    return true;
  }

  // A character the set does not hold as it is (or malformed UTF-8, which is no character).
  void unencodableCharacter(std::string_view bytes, bool character, std::string& out, Unencodable unencodable) {
    if (unencodable == Unencodable::Raw) {
      appendAsItself(bytes, out);
    } else if (character) {
      reference(utf8CodePoint(bytes), out);
    } else {
      replacement(out);
    }
  }

  void reference(uint32_t codePoint, std::string& out) {
    encode("&#" + std::to_string(codePoint) + ";", out, true, Unencodable::Raw);
  }

  void replacement(std::string& out) { encode("?", out, true, Unencodable::Raw); }

  // Reads the bytes just written as a reader of the set will, after those that did not make a whole
  // character yet, against the text they were written for; `last` when nothing more follows.
  void check(std::string_view written, bool last) {
    if (writing != XmlCharsetWriting::InOneRun || !readsBack) return;
    unread.append(written);
    const char* in = unread.data();
    size_t inLeft = unread.size();
    size_t matched = 0;
    for (;;) {
      char* next = chunk.data();
      size_t left = chunk.size();
      const bool flushing = last && inLeft == 0;
      const bool done = flushing ? checker.reset(next, left) : checker.convert(in, inLeft, next, left);
      const std::string_view text(chunk.data(), static_cast<size_t>(next - chunk.data()));
      if (unchecked.compare(matched, text.size(), text) != 0) {
        readsBack = false;
        return;
      }
      matched += text.size();
      if (done && (flushing || !last)) break;
      if (done || errno == E2BIG) continue;
      if (errno != EINVAL || last) {
        readsBack = false;
        return;
      }
      break;  // the rest of a character is still to be written
    }
    unread.erase(0, static_cast<size_t>(in - unread.data()));
    unchecked.erase(0, matched);
    if (last && !unchecked.empty()) readsBack = false;
  }
};

namespace {

// What the encoder writes for `utf8` from its initial state, without returning to it after (which some sets
// mark by writing their header again); nothing when it cannot encode it.
std::optional<std::string> encodedFromStart(Iconv& encoder, std::string_view utf8) {
  encoder.forget();
  std::array<char, 64> out{};
  const char* in = utf8.data();
  size_t inLeft = utf8.size();
  char* next = out.data();
  size_t left = out.size();
  if (!encoder.convert(in, inLeft, next, left)) return std::nullopt;
  return std::string(out.data(), static_cast<size_t>(next - out.data()));
}

// Whether the decoder reads the ASCII byte alone as itself.
bool decodesAsItself(Iconv& decoder, char byte) {
  decoder.forget();
  std::array<char, 16> out{};
  const char* in = &byte;
  size_t inLeft = 1;
  char* next = out.data();
  size_t left = out.size();
  return decoder.convert(in, inLeft, next, left) && decoder.reset(next, left) &&
         std::string_view(out.data(), static_cast<size_t>(next - out.data())) == std::string_view(&byte, 1);
}

}  // namespace

XmlCharsetEncoder::XmlCharsetEncoder(const std::string& charset, XmlCharsetWriting writing)
    : state_(std::make_unique<State>(charset, writing)) {
  // Each ASCII byte after a letter, against the letter alone, so that a header the set writes at its start
  // (ISO-2022-KR) is left out of the comparison.
  Iconv probe(charset.c_str(), "UTF-8");
  Iconv decoder("UTF-8", charset.c_str());
  const std::optional<std::string> letter = encodedFromStart(probe, "x");
  if (!letter) return;
  for (int c = 1; c < 0x80; ++c) {
    const char byte = static_cast<char>(c);
    if (encodedFromStart(probe, std::string("x") + byte) == *letter + byte) continue;
    state_->asItself[c] = decodesAsItself(decoder, byte);
    state_->anyAsItself = state_->anyAsItself || state_->asItself[c];
  }
}

XmlCharsetEncoder::~XmlCharsetEncoder() = default;

void XmlCharsetEncoder::append(std::string_view utf8, std::string& out) {
  // In slices, so that what is read back at a time stays small whatever the size of the piece.
  constexpr size_t kSliceBytes = 64 * 1024;
  for (size_t at = 0; at < utf8.size(); at += kSliceBytes) appendSlice(utf8.substr(at, kSliceBytes), out);
}

void XmlCharsetEncoder::appendSlice(std::string_view utf8, std::string& out) {
  State& state = *state_;
  const size_t start = out.size();
  if (!state.pending.empty()) {
    // Complete the character cut off at the end of the last piece with the bytes that continue it.
    std::string head;
    head.swap(state.pending);
    size_t used = 0;
    while (used < utf8.size() && utf8Character(head).cut) head.push_back(utf8[used++]);
    if (utf8Character(head).cut) {
      state.pending.swap(head);
      return;
    }
    state.encode(head, out, true, State::Unencodable::Reference);
    utf8.remove_prefix(used);
  }
  state.encode(utf8, out, false, State::Unencodable::Reference);
  state.check(std::string_view(out).substr(start), false);
}

void XmlCharsetEncoder::finish(std::string& out) {
  const size_t start = out.size();
  if (!state_->pending.empty()) state_->replacement(out);
  state_->pending.clear();
  state_->resetInto(out);
  state_->check(std::string_view(out).substr(start), true);
}

bool XmlCharsetEncoder::readsBack() const { return state_->readsBack; }
