// What the declaration of a text that pugixml read as UTF-8 (it saw neither a byte-order mark nor the shape of
// UTF-16 or UTF-32) says of its encoding. pugixml sees "ISO-8859-1" or "latin1" only in a declaration at the
// very first byte, while it drops whatever text stands before the first '<' at the document's level, so a
// document saved again opens with its declaration: the declaration read here is the first markup, wherever it
// stands, so that a text and its saved copy are read alike.
#pragma once

#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>

struct XmlDeclaredEncoding {
  bool latin1 = false;                     // Latin-1 under a name or at a place pugixml does not see: read as Latin-1
  std::optional<std::string> unsupported;  // the name of an encoding the text cannot be read in
};

// Nothing for a text pugixml decoded from another encoding, or that opens with a UTF-8 byte-order mark (which
// decides over the declaration, as pugixml reads it). Otherwise: Latin-1 for any of its names; nothing for
// UTF-8 or ASCII, or UTF-16 or UTF-32 (a text read as UTF-8 holds no zero bytes, so it is UTF-8 whatever its
// label says); nothing for a text of ASCII alone, which reads the same in any encoding whose name the
// declaration spells in ASCII, unless an escape in it may switch to another character set (ISO-2022) or the
// encoding spells other characters in ASCII (UTF-7, HZ); and the name otherwise.
XmlDeclaredEncoding xmlDeclaredEncoding(std::string_view text, pugi::xml_encoding detected);
