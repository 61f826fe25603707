// What the declaration of a text that pugixml reads as UTF-8 (it sees neither a byte-order mark nor the shape of
// UTF-16 or UTF-32) says of its encoding. pugixml sees "ISO-8859-1" or "latin1" only in a declaration at the
// very first byte, while it drops whatever text stands before the first '<' at the document's level, so a
// document saved again opens with its declaration: the declaration read here is the first markup, wherever it
// stands, so that a text and its saved copy are read alike.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

struct XmlDeclaredEncoding {
  enum Reading {
    AsDetected,    // as pugixml reads it by itself
    Latin1,        // as Latin-1, under a name or at a place pugixml does not see
    Charset,       // decoded from the character set `name` by iconv
    Unsupported,   // in an encoding iconv does not know
    NotInCharset,  // in a character set in which its own declaration could not have been written
  } reading = AsDetected;
  std::string name;  // the encoding the declaration names, for the last three
};

// The encoding pugixml detects for the text by itself (from a byte-order mark, the shape of the first
// characters and a Latin-1 declaration at the first byte).
pugi::xml_encoding xmlDetectedEncoding(std::string_view text);

// A text that opens with "<?xml" in EBCDIC is in the set its declaration names (read in the characters every
// EBCDIC set shares, the quotation mark of the Turkish sets too). As detected for a text pugixml decodes from another encoding, or that opens with a UTF-8
// byte-order mark (which decides over the declaration, as pugixml reads it). Otherwise: Latin-1 for any of its names;
// as detected for UTF-8 or ASCII, or UTF-16 or UTF-32 (a text read as UTF-8 holds no zero bytes, so it is UTF-8
// whatever its label says); the character set for a name iconv knows, when the declaration reads as itself in
// it; and for any other name, or a set the declaration is not written in, as detected when the text is ASCII
// alone (it reads the same in any encoding whose name the declaration spells in ASCII), unless an escape in it
// may switch to another character set (ISO-2022) or the encoding spells other characters in ASCII (HZ).
XmlDeclaredEncoding xmlDeclaredEncoding(std::string_view text, pugi::xml_encoding detected);
