// The view a glyph document is drawn through. librsvg maps a document onto the viewport it is given (the em
// square, {0, 0, upem, upem}) and clips to that viewport whatever it draws through a layer of its own (group
// opacity, a mask, a filter); glyphs sit above the baseline, at negative y, outside it. So the document's root
// is given a view box that maps onto a larger viewport around the em square exactly as before, and the
// document is drawn through that viewport instead.
//
// Lengths in percent are of the root's view box, so they must keep its size. A document without style rules
// has the root's content wrapped in an svg element over the viewport it had, mapped onto itself, and is drawn
// through a square around the em square. Style rules would see that element (a rule for "svg svg g" would
// match where it did not), so a document with a style sheet keeps its elements as they are: its root's view
// box keeps its size and only moves, and the viewport grows along y alone: a band as wide as the view box was
// drawn, over the em square and two ems above it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct GlyphView {
  std::string document;  // the document with its root's view box replaced (and its content wrapped)
  // The viewport, in units of the em square as the original document is mapped onto it.
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
};

// The size of a root that sets its own without a view box, as librsvg reads it: units resolved, lengths in
// percent of the em square.
struct GlyphRootSize {
  double width = 0.0;
  double height = 0.0;
};
using GlyphRootSizeReader = std::function<std::optional<GlyphRootSize>()>;

// The view of `document` whose viewport spans `side` units around the em square above the baseline (or the
// band, for a document with style rules), starting on a whole pixel of a drawing at `pixelsPerUnit`; none
// when the document's root cannot be read here (an attribute this reading does not know, a size `rootSize`
// cannot tell, a view box stretched unevenly onto the em square in a document with style rules), which is
// then drawn through the em square as it stands. `rootSize` is asked only for a root sized without a view box.
std::optional<GlyphView> widenedGlyphView(std::string_view document, double unitsPerEm, double side,
                                          double pixelsPerUnit, const GlyphRootSizeReader& rootSize);
