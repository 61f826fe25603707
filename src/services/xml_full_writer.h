// Writing back a document read in the full mode. Its text was kept as written (entity references undecoded,
// white space between elements kept), so nothing is escaped; the layout is the one pugixml gives a saved
// document (indented by a string per level, or raw) but for mixed content, which is written as it stands; each
// attribute is quoted with the mark its value does not hold, since a value read from between one kind of quotes
// may hold the other.
#pragma once

#include <pugixml.hpp>
#include <string_view>

// Writes the document as UTF-8 into `writer`, without a declaration of its own (one read stays a node) and
// without a line feed after its last line.
void writeFullXmlDocument(const pugi::xml_document& document, std::string_view indent, bool compact,
                          pugi::xml_writer& writer);

// Whether the writer writes the element as mixed content: it holds text or CDATA (white space alone included).
bool xmlElementHoldsText(pugi::xml_node element);
