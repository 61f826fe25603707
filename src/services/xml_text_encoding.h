// The encoding of an XML document's text: what it was decoded from and whether it began with a byte-order
// mark, or the character set iconv decoded it from. A document read in the full mode is written back in the
// encoding it was read in, through XmlEncodedText.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "services/xml_charset.h"

struct XmlTextEncoding {
  pugi::xml_encoding encoding = pugi::encoding_utf8;  // one of the explicit encodings, never auto or wchar
  bool byteOrderMark = false;
  std::string charset;  // the character set the text was decoded from into UTF-8, when not one pugixml decodes
};

// The encoding the text was decoded from (as pugixml's parse result names it) with the byte-order mark read off
// the text.
XmlTextEncoding xmlTextEncoding(std::string_view text, pugi::xml_encoding detected);

// The most bytes one byte of UTF-8 text becomes in the encoding (four for UTF-32).
uint64_t xmlEncodedBytesPerByte(const XmlTextEncoding& encoding);

// Appends UTF-8 text to a string in another encoding, beginning with its byte-order mark when the source had
// one. Text may arrive cut anywhere, even inside a character. The values pugixml reads from UTF-32 that are no
// character (surrogates, past U+10FFFF) are written back to UTF-32 so that they read back alike; malformed
// UTF-8, and such a value in UTF-16, is written as U+FFFD, and a character that Latin-1 cannot hold as "?";
// XmlCharsetEncoder writes a character set, as `writing` says.
class XmlEncodedText {
 public:
  XmlEncodedText(const XmlTextEncoding& encoding, std::string& out,
                 XmlCharsetWriting writing = XmlCharsetWriting::InOneRun);
  ~XmlEncodedText();
  void append(std::string_view utf8);
  // Writes a character still cut off at the end as U+FFFD.
  void finish();
  // Whether the text written so far reads back as the text given (see XmlCharsetEncoder).
  bool readsBack() const;

 private:
  // The characters of `text`; one cut off at its end is kept for the next piece unless the text is whole.
  void decode(std::string_view text, bool whole);
  // Units gather in a chunk that is appended to the string at the end of each piece, or once it is full.
  void appendUnit(uint32_t unit, int bytes);
  void appendCodePoint(uint32_t codePoint);
  void flushChunk();

  pugi::xml_encoding encoding_;
  std::unique_ptr<XmlCharsetEncoder> charset_;  // when the text goes into a character set through iconv
  bool bigEndian_;
  std::string& out_;
  std::string pending_;  // the start of a character cut off at the end of the last piece
  std::array<char, 4096> chunk_{};
  size_t chunkUsed_ = 0;
};
