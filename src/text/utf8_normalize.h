// Normal Form C and grapheme clusters over utf8proc. Texts already in NFC are recognised by the quick check of
// the NFC_QC property and canonical ordering, without normalizing them; only the others go through utf8proc,
// which decomposes and composes while the canonical ordering between is done here in time linear in a run of marks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Whether the text is in NFC. The answer comes, as lua-utf8 gives it, as soon as the text read so far shows it
// is not; a sequence that is not valid UTF-8 met before that throws Utf8Error "string is not valid UTF-8".
bool isNfc(std::string_view text);

// The text in NFC into *out; returns true (and leaves *out untouched) when the text already was. Throws
// Utf8Error "string is not valid UTF-8" when it is not valid, std::bad_alloc when memory runs out.
bool normalizeNfc(std::string_view text, std::string* out);

// Walks a text cluster by cluster, keeping the break state across clusters as the rules need.
class GraphemeCursor {
 public:
  // The end of the cluster that starts at `start` (< text.size()); decodes leniently, throws Utf8Error.
  size_t clusterEnd(std::string_view text, size_t start);

 private:
  int32_t state_ = 0;
};
