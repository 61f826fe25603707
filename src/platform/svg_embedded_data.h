// Whether an SVG document could have librsvg load data it holds inside itself: a "data:" URL, which it would
// decode (images at any size) wherever a URL may stand, or text it would inflate or read in another way than
// the bytes show. Documents are read without a base file, so that nothing outside them is reached; this
// closes the one way in that is left.
#pragma once

#include <string_view>

// True when the document holds "data:" in any spelling its parsers undo (XML character and entity
// references, CSS escapes, letter case, the tabs and line breaks a URL parser drops), or is gzip-compressed,
// in an encoding other than UTF-8, ASCII or Latin-1, or declares entities in a way not followed here. Text
// that only reads "data:" counts too: the check errs on the side of refusing.
bool svgDocumentEmbedsData(std::string_view document);
