// The process-wide FreeType library and the releasers of the FreeType and HarfBuzz handles that fonts own.
#pragma once

#include <memory>

struct FT_LibraryRec_;
struct FT_FaceRec_;
struct hb_face_t;
struct hb_font_t;
struct hb_buffer_t;

// Makes the library once, under a one-time guard (start-up calls it; the first load or fallback probe would
// otherwise). A failed FT_Init_FreeType leaves it null for the life of the process. Making it registers an
// at-exit release, so the library goes after every face made later that lives in a static.
void initFreeTypeLibrary();
FT_LibraryRec_* sharedFreeTypeLibrary();

struct FreeTypeFaceRelease {
  void operator()(FT_FaceRec_* face) const;
};
struct HarfBuzzFaceRelease {
  void operator()(hb_face_t* face) const;
};
struct HarfBuzzFontRelease {
  void operator()(hb_font_t* font) const;
};
struct HarfBuzzBufferRelease {
  void operator()(hb_buffer_t* buffer) const;
};

using FreeTypeFaceHandle = std::unique_ptr<FT_FaceRec_, FreeTypeFaceRelease>;
using HarfBuzzFaceHandle = std::unique_ptr<hb_face_t, HarfBuzzFaceRelease>;
using HarfBuzzFontHandle = std::unique_ptr<hb_font_t, HarfBuzzFontRelease>;
using HarfBuzzBufferHandle = std::unique_ptr<hb_buffer_t, HarfBuzzBufferRelease>;
