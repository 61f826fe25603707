// XML text in the character sets that pugixml does not decode itself, through the C library's iconv: a
// document is decoded whole into UTF-8 before it is parsed, and a document read that way is encoded back as it
// is written. Character set names are those a declaration may give (letters, digits, '.', '_' and '-', led by a
// letter), so that no name reaches iconv with a suffix that would change how it converts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Whether `name` has the shape of an encoding name in a declaration.
bool xmlEncodingNameIsWellFormed(std::string_view name);

// Whether iconv converts between the character set and UTF-8 both ways.
bool xmlCharsetIsKnown(const std::string& charset);

// The bytes of a declaration decoded from the character set from its initial state, when they decode whole into
// no more than `most` bytes of UTF-8. A declaration found in ASCII that does not decode to itself could not
// have been written in the set (UTF-16, UCS-4, EBCDIC).
std::optional<std::string> xmlCharsetDecodedDeclaration(const std::string& charset, std::string_view declaration,
                                                        size_t most);

// A buffer from pugixml's allocator, so that a document can parse in it and own it.
struct XmlPugixmlBufferDeleter {
  void operator()(char* buffer) const;
};
using XmlPugixmlBuffer = std::unique_ptr<char, XmlPugixmlBufferDeleter>;

// How far the UTF-8 text of a decoded document may grow: to `uncheckedBytes` without asking, and past that no
// further than room() (asked once), the memory the process may still use.
struct XmlDecodingRoom {
  uint64_t uncheckedBytes = 0;
  uint64_t (*room)() = nullptr;
};

struct XmlDecodingFailure {
  enum Kind { None, UnknownCharset, InvalidSequence, CutSequence, OutOfRoom } kind = None;
  size_t offset = 0;  // the byte of the source where an invalid or cut sequence begins
};

struct XmlDecodedText {
  XmlPugixmlBuffer text;  // UTF-8, null when decoding failed
  size_t size = 0;
  XmlDecodingFailure failure;
};

// The whole text decoded from the character set into UTF-8, or the failure: a set iconv does not know, a byte
// sequence that is not a character of the set or is cut off by the end of the text, or UTF-8 that would grow
// past its room. Memory exhaustion of the buffer is OutOfRoom too.
XmlDecodedText decodeXmlCharset(std::string_view text, const std::string& charset, const XmlDecodingRoom& room);

// The byte of the source text at which the first `utf8Offset` bytes of its decoded text end (where a parser
// that stopped at that offset of the decoded text stopped in the source); the text decodes without failure.
size_t xmlCharsetSourceOffset(std::string_view text, const std::string& charset, size_t utf8Offset);

// How an encoder writes: in one run through one conversion state, or character by character: each piece of text
// from the set's initial state and back to it, read back alone, and one that reads otherwise one character at a
// time so.
enum class XmlCharsetWriting { InOneRun, CharacterByCharacter };

// Appends UTF-8 text, arriving in pieces cut anywhere, to a string in the character set. A character the set
// cannot hold is written as a character reference ("&#NNN;"), and malformed UTF-8 as "?"; ASCII that the set would
// encode otherwise but reads as itself (the markup of UTF-7) is written as itself, so that the document's markup stays
// readable. A set's encoder and decoder do not always agree (ISO-2022-CN's encoder switches the set it has shifted
// out to without shifting again, which its decoder only takes at the next shift; a few sets write a character as
// bytes that read as another): in one run, what is written is read back as it goes and readsBack() says whether
// it read as the text; character by character, a character whose bytes do not read back alone as it is a
// reference.
class XmlCharsetEncoder {
 public:
  // The character set must be known (xmlCharsetIsKnown).
  explicit XmlCharsetEncoder(const std::string& charset, XmlCharsetWriting writing = XmlCharsetWriting::InOneRun);
  ~XmlCharsetEncoder();
  XmlCharsetEncoder(const XmlCharsetEncoder&) = delete;
  XmlCharsetEncoder& operator=(const XmlCharsetEncoder&) = delete;

  void append(std::string_view utf8, std::string& out);
  // Writes a character still cut off at the end as "?" and returns the set to its initial state (the
  // escape that ends a stateful encoding's last shift).
  void finish(std::string& out);

  // Whether what was written so far reads back as the text it was given (always, character by character).
  bool readsBack() const;

  // The most bytes the encoder writes for one byte of UTF-8 text: a character reference ("&#92;" for one
  // byte, "&#2047;" for two) after the shift back to ASCII of a stateful set (three bytes).
  static constexpr uint64_t kMostBytesPerByte = 8;

 private:
  void appendSlice(std::string_view utf8, std::string& out);

  struct State;
  std::unique_ptr<State> state_;
};
