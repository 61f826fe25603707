// The view a glyph document is drawn through. librsvg maps a document onto the viewport it is given (the em
// square, {0, 0, upem, upem}) and clips to that viewport whatever it draws through a layer of its own (group
// opacity, a mask, a filter); glyphs sit above the baseline, at negative y, outside it. So the document's root
// is given a view box that maps onto a larger viewport around the em square exactly as before, and the
// document is drawn through that viewport instead. The root's content sits in an svg element over the
// viewport it had, so that its lengths in percent are of the em square (or of the root's view box) as before.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct GlyphView {
  std::string document;  // the document with its root's view box replaced and its content wrapped
  // The viewport, in units of the em square as the original document is mapped onto it.
  double x = 0.0;
  double y = 0.0;
  double side = 0.0;
};

// The view of `document` whose viewport is the square of `side` units centred on the em square above the
// baseline; none when the document's root cannot be read here (a root sized without a view box, an
// attribute this reading does not know, a document that does not end with the root's end tag and what may
// follow it), which is then drawn through the em square as it stands.
std::optional<GlyphView> widenedGlyphView(std::string_view document, double unitsPerEm, double side);
