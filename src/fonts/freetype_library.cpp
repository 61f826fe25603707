// The shared FreeType library, made once and released at process exit, and the handle releasers.
#include "fonts/freetype_library.h"

#include <freetype/freetype.h>
#include <hb.h>

#include <cstdlib>
#include <mutex>

namespace {

FT_Library& libraryStorage() {
  static FT_Library library = nullptr;
  return library;
}

void releaseFreeTypeLibraryAtExit() {
  FT_Library& library = libraryStorage();
  if (library != nullptr) FT_Done_FreeType(library);
  library = nullptr;
}

}  // namespace

void initFreeTypeLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) library = nullptr;
    libraryStorage() = library;
    std::atexit(releaseFreeTypeLibraryAtExit);
  });
}

FT_LibraryRec_* sharedFreeTypeLibrary() {
  initFreeTypeLibrary();
  return libraryStorage();
}

void FreeTypeFaceRelease::operator()(FT_FaceRec_* face) const { FT_Done_Face(face); }
void HarfBuzzFaceRelease::operator()(hb_face_t* face) const { hb_face_destroy(face); }
void HarfBuzzFontRelease::operator()(hb_font_t* font) const { hb_font_destroy(font); }
void HarfBuzzBufferRelease::operator()(hb_buffer_t* buffer) const { hb_buffer_destroy(buffer); }
