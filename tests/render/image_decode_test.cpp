// Encoded images declaring sizes no real image reaches are refused before SDL_image decodes them (a 70-byte
// file would otherwise make it allocate gigabytes), in every format it reads; images within the limits decode
// as before.
#include "render/image_decode.h"

#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/sdl_handles.h"
#include "image_decode_support.h"
#include "memory_limited_child.h"

namespace {

std::string bmp(int32_t width, int32_t height) {
  return "BM" + le32(70) + le32(0) + le32(54) + le32(40) + le32(width) + le32(height) + le16(1) + le16(32) + le32(0) +
         le32(16) + le32(0) + le32(0) + le32(0) + le32(0) + std::string(16, '\x7f');
}

std::string iconFile(uint16_t kind, uint32_t width, uint32_t height) {
  return le16(0) + le16(kind) + le16(1) + std::string("\0\0\0\0", 4) + le16(1) + le16(32) + le32(40) + le32(22) +
         le32(40) + le32(width) + le32(height * 2) + le16(1) + le16(32) + le32(0) + le32(0) + le32(0) + le32(0) +
         le32(0) + le32(0) + std::string(64, '\0');
}

std::string gif(uint16_t width, uint16_t height) {
  return "GIF89a" + le16(width) + le16(height) + std::string("\x80\0\0\0\0\0\xff\xff\xff,", 10) + le16(0) + le16(0) +
         le16(width) + le16(height) + std::string("\0\x02\x02\x44\x01\0;", 7);
}

std::string jpeg(uint16_t width, uint16_t height) {
  return std::string("\xff\xd8\xff\xe0", 4) + be16(4) + "JF" + std::string("\xff\xc0", 2) + be16(17) + "\x08" +
         be16(height) + be16(width) + std::string("\x03\x01\x11\0\x02\x11\0\x03\x11\0\xff\xd9", 12);
}

std::string png(uint32_t width, uint32_t height) {
  return std::string("\x89PNG\r\n\x1a\n", 8) + be32(13) + "IHDR" + be32(width) + be32(height) +
         std::string("\x08\x06\0\0\0", 5) + be32(0) + be32(0) + "IEND" + be32(0);
}

// The chunk layout: length, type, data, then a checksum that stb_image does not check.
std::string chunk(const std::string& type, const std::string& data) {
  return be32(data.size()) + type + data + be32(0);
}

// An Apple-style PNG: a CgBI chunk ahead of the header, then raw-deflated rows of `width` one-bit grey
// pixels, all zero.
std::string cgbiPng(uint32_t width, uint32_t height, bool withRows = true) {
  std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + chunk("CgBI", be32(0x50002002)) +
                    chunk("IHDR", be32(width) + be32(height) + std::string("\x01\0\0\0\0", 5));
  if (withRows) {
    const std::string rows(static_cast<size_t>(height) * (1 + (width + 7) / 8), '\0');
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    std::string deflated(deflateBound(&stream, rows.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(rows.data()));
    stream.avail_in = static_cast<uInt>(rows.size());
    stream.next_out = reinterpret_cast<Bytef*>(deflated.data());
    stream.avail_out = static_cast<uInt>(deflated.size());
    deflate(&stream, Z_FINISH);
    deflated.resize(stream.total_out);
    deflateEnd(&stream);
    png += chunk("IDAT", deflated);
  }
  return png + chunk("IEND", "");
}

std::string lbm(uint16_t width, uint16_t height) {
  return "FORM" + be32(40) + "ILBMBMHD" + be32(20) + be16(width) + be16(height) + std::string(16, '\0') + "BODY" +
         be32(0);
}

// Run-length coded, `planes` planes of `bits` bits a pixel, each `bytesPerLine` bytes a line.
std::string pcx(uint16_t lastX, uint16_t lastY, uint16_t bytesPerLine, char bits = 8, char planes = 1,
                const std::string& data = std::string(200, '\0')) {
  std::string header = std::string("\x0a\x05\x01", 3) + bits + le16(0) + le16(0) + le16(lastX) + le16(lastY);
  header.resize(65, '\0');
  return header + planes + le16(bytesPerLine) + std::string(60, '\0') + data;
}

std::string qoi(uint32_t width, uint32_t height) {
  return "qoif" + be32(width) + be32(height) + "\x04" + std::string(1, '\0') + std::string("\0\0\0\0\0\0\0\x01", 8);
}

std::string tga(uint16_t width, uint16_t height) {
  return std::string("\0\0\x02\0\0\0\0\0", 8) + le16(0) + le16(0) + le16(width) + le16(height) + "\x20\x20" +
         std::string(16, '\x7f');
}

std::string xcf(uint32_t width, uint32_t height) {
  return std::string("gimp xcf file\0", 14) + be32(width) + be32(height) + be32(0) + std::string(16, '\0');
}

std::string xpm(uint32_t width, uint32_t height) {
  return "/* XPM */\nstatic char *image[] = {\n\"" + std::to_string(width) + " " + std::to_string(height) +
         " 1 1\",\n\". c #ff0000\",\n\"" + std::string(width < 8 ? width : 8, '.') + "\"\n};\n";
}

std::string text(const std::string& header) { return header + std::string(64, '\x7f'); }

TEST(ImageDecode, SizesBeyondTheLimitsAreRefusedBeforeDecoding) {
  expectRefused(
      {
          {"BMP, 2 x -2,000,000,000", bmp(2, -2000000000), nullptr},
          {"BMP, 65,537 wide", bmp(65537, 1), nullptr},
          {"ICO, 16,777,215 square", iconFile(1, 0xFFFFFF, 0x7FFFFF), nullptr},
          {"CUR, 30,000 square", iconFile(2, 30000, 30000), nullptr},
          {"GIF, 65,535 square", gif(65535, 65535), nullptr},
          {"JPEG, 65,535 square", jpeg(65535, 65535), nullptr},
          {"LBM, 65,535 square", lbm(65535, 65535), nullptr},
          {"PCX, 32,768 square", pcx(32767, 32767, 32768), nullptr},
          {"PNG, 70,000 x 1", png(70000, 1), nullptr},
          {"PNG, 16,385 x 16,385", png(16385, 16385), nullptr},
          {"PNG, 4,294,967,295 square", png(0xFFFFFFFF, 0xFFFFFFFF), nullptr},
          {"PNG with a CgBI chunk, 65,535 x 16,384, header only", cgbiPng(65535, 16384, false), nullptr},
          {"PNG with a CgBI chunk, 20,000 square, with its rows", cgbiPng(20000, 20000), nullptr},
          {"PNM, 70,000 square", text("P6\n# a comment\n70000 70000\n255\n"), nullptr},
          {"QOI, 19,000 square", qoi(19000, 19000), nullptr},
          {"SVG, 100,000 wide", text(R"(<svg xmlns="http://www.w3.org/2000/svg" width="100000" height="10">)"),
           nullptr},
          {"SVG, a 20,000 square view box", text(R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 2e4 2e4">)"),
           nullptr},
          {"SVG sized by a drawing 70,000 wide",
           R"(<svg xmlns="http://www.w3.org/2000/svg"><rect width="70000" height="10"/></svg>)", nullptr},
          {"TGA, 65,535 square", tga(65535, 65535), "TGA"},
          {"XCF, 65,535 square", xcf(65535, 65535), nullptr},
          {"XPM, 70,000 square", xpm(70000, 70000), nullptr},
          {"XV, 70,000 square", text("P7 332\n#END_OF_COMMENTS\n70000 70000 255\n"), nullptr},
      },
      "image dimensions are too large");
}

TEST(ImageDecode, EmptyImagesFailWithoutBeingDecoded) {
  // SDL_image's GIF decoder writes the pixels of a 0 x 0 frame through a null pointer.
  expectRefused(
      {
          {"GIF, 0 x 0", gif(0, 0), nullptr},
          {"GIF, 5 x 0", gif(5, 0), nullptr},
          {"LBM, 0 x 3", lbm(0, 3), nullptr},
          {"PCX, 0 wide",
           std::string("\x0a\x05\x01\x08", 4) + le16(5) + le16(0) + le16(4) + le16(9) + std::string(188 + 65, '\0'),
           nullptr},
          {"XV, 0 x 0", text("P7 332\n#END_OF_COMMENTS\n0 0 255\n"), nullptr},
      },
      "decoded image has invalid dimensions or pixels");
}

TEST(ImageDecode, DataItsDecoderMishandlesFailsWithoutBeingDecoded) {
  // SDL_image's GIF decoder frees a pointer that it never allocated after decoding these codes.
  const std::string codes =
      "\x04\x61\x65\x22\x2f\x3e\x3c\x63\x7e\x72\x75\x65\x22\x2f\x3e\x69\x01\x00\x00\x00\x23\x66\x38\x2c\x2f\x69"
      "\x3c\x63\x3e\x72\x3c\x2f\x75\x65\x22\x2f\x3e\x3c\x2f\x73\x76\x67\x3e\x33\x1a\x27\x20\x68\x65\x69\x67\x68"
      "\x74\x38\x30\x22\x2c\x00\x00\x72\x3d\x22\x36\x22\x20\x68\x65\x69\x67\x68\x74\x3d\x68\x65\x69\x67\x68\x74"
      "\x38\x30;";
  const std::string gifWithCodeSizeZero = "GIF87a" + le16(5) + le16(3) + std::string(3, '\0') + "," + le16(0) +
                                          le16(0) + le16(22) + le16(5) + std::string(2, '\0') + codes;
  // Its XPM decoder copies as many bytes of each colour's line as a pixel has characters, from a line buffer
  // that may be shorter.
  const std::string xpmWithLongPixels =
      "/* XPM */\nstatic char *x[] = {\n\"2 1 1 100\",\n\"a c #ff0000\",\n\"" + std::string(200, 'a') + "\"\n};\n";
  // It allocates for as many colours as the header declares, and never finishes sizing its colour table for
  // nearly 2^31 of them.
  const std::string xpmWithTooManyColours =
      "/* XPM */\nstatic char *x[] = {\n\"1 1 2000000000 1\",\n\"a c #ff0000\",\n\"a\"\n};\n";
  // Its LBM decoder looks a HAM pixel's colour up in a 256-colour table by its planes' bits less two: past
  // the table when there are more than 10.
  std::string hamPlanes;
  for (int plane = 0; plane < 16; ++plane) hamPlanes += plane < 13 ? "\xff\xff" : std::string(2, '\0');
  const std::string hamChunks = "ILBMBMHD" + be32(20) + be16(16) + be16(1) + std::string(4, '\0') + "\x10" +
                                std::string(11, '\0') + "CMAP" + be32(48) + std::string(48, '\x40') + "CAMG" + be32(4) +
                                be32(0x800) + "BODY" + be32(hamPlanes.size()) + hamPlanes;
  const std::string hamWith16Planes = "FORM" + be32(hamChunks.size()) + hamChunks;
  expectRefused({{"GIF with an LZW code size of 0", gifWithCodeSizeZero, nullptr}}, "corrupt GIF image data");
  // Its line buffer holds 32 bytes, from which it reads a colour's key after the pixel's characters.
  const auto xpmWithPixelsOf = [](size_t characters) {
    const std::string pixel(characters, 'a');
    return "/* XPM */\nstatic char *x[] = {\n\"1 1 1 " + std::to_string(characters) + "\",\n\"" + pixel +
           " c #ff0000\",\n\"" + pixel + "\"\n};\n";
  };
  expectRefused(
      {
          {"XPM with 31 characters a pixel", xpmWithPixelsOf(31), nullptr},
          {"XPM with 32 characters a pixel", xpmWithPixelsOf(32), nullptr},
          {"XPM with 100 characters a pixel", xpmWithLongPixels, nullptr},
          {"XPM declaring 2,000,000,000 colours", xpmWithTooManyColours, nullptr},
      },
      "corrupt XPM image data");
  expectRefused({{"LBM in HAM with 16 planes", hamWith16Planes, nullptr}}, "corrupt LBM image data");
  // Its PCX decoder allocates a line of planes times bytes per line, a signed field: nearly 2^64 bytes for a
  // negative one. It decodes the lines' bytes from runs of at most 63 but takes a run of 0 as endless, so
  // lines longer than the data's runs could give would have it run on without reading, for seconds.
  expectRefused(
      {
          {"PCX with a negative line length", pcx(2, 2, 0xFFFF), nullptr},
          {"PCX of 1,000 lines of 131,068 bytes from one run", pcx(0, 999, 32767, 1, 4, std::string("\xc0\0", 2)),
           nullptr},
      },
      "corrupt PCX image data");
}

TEST(ImageDecode, ImagesWhoseHeaderGivesNoSizeAreRefusedUndecoded) {
  const std::string signature("\x89PNG\r\n\x1a\n", 8);
  expectRefused(
      {
          {"PNG whose CgBI chunk runs past the data", signature + be32(4000) + "CgBI" + std::string(20, '\0'), nullptr},
          {"PNG with another chunk ahead of its header", signature + chunk("tEXt", "a") + png(1, 1).substr(8), nullptr},
          {"PNG with no header chunk", signature + chunk("CgBI", be32(0)) + chunk("IEND", ""), nullptr},
      },
      "corrupt PNG image data");
  expectRefused({{"JPEG without a frame", std::string("\xff\xd8\xff\xd9", 4), nullptr}}, "corrupt JPEG image data");
  expectRefused({{"BMP with a header cut short", std::string("BM") + le32(70), nullptr}}, "corrupt BMP image data");
  expectRefused({{"QOI with a header cut short", std::string("qoif\0\0\0\x01"), nullptr}}, "corrupt QOI image data");
}

// A PNG of `width` x `height` grey pixels whose image data inflate to `inflated` bytes, all zero.
std::string pngInflatingTo(uint32_t width, uint32_t height, size_t inflated, bool interlaced = false) {
  const std::string rows(inflated, '\0');
  std::string deflated(compressBound(rows.size()), '\0');
  uLongf length = deflated.size();
  compress2(reinterpret_cast<Bytef*>(deflated.data()), &length, reinterpret_cast<const Bytef*>(rows.data()),
            rows.size(), Z_BEST_SPEED);
  deflated.resize(length);
  const std::string header =
      be32(width) + be32(height) + std::string("\x08\0\0\0", 4) + std::string(1, interlaced ? 1 : 0);
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) +
         chunk("IDAT", deflated.substr(0, deflated.size() / 2)) + chunk("IDAT", deflated.substr(deflated.size() / 2)) +
         chunk("IEND", "");
}

TEST(ImageDecode, PngsWhoseDataInflatePastTheirPixelsAreRefused) {
  // stb_image inflates all the image data before it looks at how much the pixels need, up to 4 GiB.
  expectRefused({{"1 x 1 PNG inflating to 64 MiB", pngInflatingTo(1, 1, size_t{64} << 20), nullptr},
                 {"1,000 square PNG inflating to 64 MiB", pngInflatingTo(1000, 1000, size_t{64} << 20), nullptr}},
                "corrupt PNG image data");
  const struct {
    const char* what;
    std::string bytes;
  } fitting[] = {
      {"1,000 square PNG of its own rows", pngInflatingTo(1000, 1000, 1001000)},
      {"interlaced 1,000 square PNG of its own rows", pngInflatingTo(1000, 1000, 1001000 + 7 * 1000, true)},
  };
  for (const auto& c : fitting) {
    const Loaded loaded = load(c.bytes);
    EXPECT_TRUE(loaded.decoded) << c.what << ": " << loaded.error;
  }
}

// The PNG with the first bytes of its zlib stream set: the window field (the high four bits of the first byte,
// 7 as zlib writes it) and the preset-dictionary flag, the check bits put right for them.
std::string withZlibHeader(std::string png, int windowField, bool presetDictionary = false) {
  const size_t at = 8 + 25 + 8;  // the signature, the header chunk, then the first IDAT's length and type
  const int method = windowField << 4 | 8;
  int flags = (static_cast<uint8_t>(png[at + 1]) & 0xC0) | (presetDictionary ? 0x20 : 0);
  flags += (31 - (method * 256 + flags) % 31) % 31;
  png[at] = static_cast<char>(method);
  png[at + 1] = static_cast<char>(flags);
  return png;
}

TEST(ImageDecode, PngsWhoseImageDataZlibCannotInflateAreRefusedAtOnce) {
  // zlib stops at a window field over 7 before it inflates anything, where stb_image reads on and inflates
  // it all: the size check must refuse what it could not inflate instead of passing it.
  const std::string ownRows = pngInflatingTo(1000, 1000, 1001000);
  std::string badBlockType = ownRows;
  badBlockType[8 + 25 + 8 + 2] = '\x07';  // a last block of the reserved type 3
  expectRefused(
      {
          {"1 x 1 PNG inflating to 64 MiB, window field 8", withZlibHeader(pngInflatingTo(1, 1, size_t{64} << 20), 8),
           nullptr},
          {"1,000 square PNG of its own rows, window field 15", withZlibHeader(ownRows, 15), nullptr},
          {"PNG whose zlib header asks for a preset dictionary", withZlibHeader(ownRows, 7, true), nullptr},
          {"PNG whose deflate data begin with a block of the reserved type", badBlockType, nullptr},
      },
      "corrupt PNG image data");
  // The checksum after the deflate data is not checked, by stb_image or here.
  std::string wrongChecksum = ownRows;
  wrongChecksum[wrongChecksum.size() - 12 - 4 - 1] ^= 0x5A;
  const struct {
    const char* what;
    std::string bytes;
  } drawn[] = {
      {"PNG of its own rows, window field 7", withZlibHeader(ownRows, 7)},
      {"PNG of its own rows, window field 1", withZlibHeader(pngInflatingTo(3, 2, 8), 1)},
      {"PNG of its own rows with a wrong Adler-32", wrongChecksum},
  };
  for (const auto& c : drawn) {
    const Loaded loaded = load(c.bytes);
    EXPECT_TRUE(loaded.decoded) << c.what << ": " << loaded.error;
  }
}

TEST(ImageDecode, SvgsWithoutASizeAreHeldToTheLimitsOnceDrawn) {
  // Its decoder sizes them by their shapes, as lenient as it is (a document never closed, shapes with no svg
  // element, a pattern's shapes drawn as shapes), which can be as large as the document says: the drawing is
  // refused past the longest side, or past the pixels of an SVG image once drawn.
  expectRefused(
      {
          {"SVG never closed, drawing 70,000 wide",
           R"(<svg xmlns="http://www.w3.org/2000/svg"><rect width="70000" height="1"/>)", nullptr},
          {"no svg element, drawing 70,000 wide", R"(<svgz/><rect width="70000" height="1"/>)", nullptr},
          {"SVG whose only shape is a pattern's, 70,000 wide",
           R"(<svg xmlns="http://www.w3.org/2000/svg"><pattern id="p"><rect width="70000" height="1"/>)"
           R"(</pattern></svg>)",
           nullptr},
      },
      "image dimensions are too large");
  // Past the pixels of an SVG image (time is not what is tested here).
  ImageLimits unhurried;
  unhurried.renderTimeLimit = std::chrono::seconds(120);
  const std::string square = R"(<svg xmlns="http://www.w3.org/2000/svg"><rect width="4100" height="4100"/></svg>)";
  const IoStreamHandle stream(SDL_IOFromConstMem(square.data(), square.size()));
  EXPECT_EQ(decodeImage(stream.get(), nullptr, ImageDecoder::Detect, unhurried).error, "image dimensions are too large");
  // One whose surface alone passes the render process's memory ceiling ends there, or at the time limit on a
  // machine too busy to fill that much in time.
  const Loaded huge = load(R"(<svg xmlns="http://www.w3.org/2000/svg"><rect width="40000" height="40000"/></svg>)");
  EXPECT_FALSE(huge.decoded);
  const bool atALimit =
      huge.error.rfind("SVG document could not be drawn: the renderer needed more than ", 0) == 0 ||
      huge.error == "SVG document could not be drawn: the renderer took longer than 5 s";
  EXPECT_TRUE(atALimit) << huge.error;
  // The decoder reads every svg element's view box, the inner one's last, as the size is read here.
  expectRefused(
      {{"SVG never closed, with an inner view box 70,000 wide",
        R"(<svg xmlns="http://www.w3.org/2000/svg"><svg viewBox="0 0 70000 1"><rect width="1" height="1"/>)", nullptr}},
      "image dimensions are too large");
}

std::string encodedBy(bool (*save)(SDL_Surface*, SDL_IOStream*, bool)) {
  const SurfaceHandle surface(SDL_CreateSurface(3, 2, SDL_PIXELFORMAT_ARGB8888));
  SDL_FillSurfaceRect(surface.get(), nullptr, 0xFF336699);
  const IoStreamHandle stream(SDL_IOFromDynamicMem());
  EXPECT_TRUE(save(surface.get(), stream.get(), false));
  const auto size = static_cast<size_t>(SDL_GetIOSize(stream.get()));
  auto* data = static_cast<const char*>(
      SDL_GetPointerProperty(SDL_GetIOProperties(stream.get()), SDL_PROP_IOSTREAM_DYNAMIC_MEMORY_POINTER, nullptr));
  return std::string(data, size);
}

TEST(ImageDecode, ImagesWithinTheLimitsDecodeAsBefore) {
  const struct {
    const char* what;
    std::string bytes;
    const char* type;
    int32_t width, height;
  } cases[] = {
      {"PNG", encodedBy(IMG_SavePNG_IO), nullptr, 3, 2},
      {"PNG with a CgBI chunk", cgbiPng(9, 2), nullptr, 9, 2},
      {"BMP", encodedBy(SDL_SaveBMP_IO), nullptr, 3, 2},
      {"GIF", gif(1, 1), nullptr, 1, 1},
      {"XPM with 30 characters a pixel",
       "/* XPM */\nstatic char *x[] = {\n\"1 1 1 30\",\n\"" + std::string(30, 'a') + " c #ff0000\",\n\"" +
           std::string(30, 'a') + "\"\n};\n",
       nullptr, 1, 1},
      {"PCX", pcx(1, 1, 2, 8, 1, std::string("\x01\x02\x03\x04\x0c", 5) + std::string(768, '\x7f')), nullptr, 2, 2},
      {"PCX of two-colour lines as runs of 63 bytes", pcx(1007, 1, 126, 1, 1, "\xff\x55\xff\x55\xff\xaa\xff\xaa"),
       nullptr, 1008, 2},
      {"PNM at the side limit", "P5 65536 1 255\n" + std::string(65536, '\x80'), nullptr, 65536, 1},
      {"TGA", tga(2, 2), "TGA", 2, 2},
      {"SVG", R"(<svg xmlns="http://www.w3.org/2000/svg" width="3" height="2"><rect width="3" height="2"/></svg>)",
       nullptr, 3, 2},
      {"SVG sized by its drawing",
       R"(<svg xmlns="http://www.w3.org/2000/svg"><rect x="1" y="2" width="4" height="3"/></svg>)", nullptr, 4, 3},
      {"SVG sized by its view box",
       R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 4 5"><rect width="4" height="5"/></svg>)", nullptr, 4,
       5},
  };
  for (const auto& c : cases) {
    const Loaded loaded = load(c.bytes, c.type);
    EXPECT_TRUE(loaded.decoded) << c.what << ": " << loaded.error;
    EXPECT_EQ(loaded.width, c.width) << c.what;
    EXPECT_EQ(loaded.height, c.height) << c.what;
  }
}

TEST(ImageDecode, IndexedImagesConvertStraightIntoTheCanvas) {
  // 8,192 square: 64 MiB of indexes and a 256 MiB canvas, with no third copy between them.
  const std::string picture = gif(8192, 8192);
  const int status = runInMemoryLimitedChild(size_t{400} << 20, [&] {
    const IoStreamHandle stream(SDL_IOFromConstMem(picture.data(), picture.size()));
    const DecodedCanvas canvas = decodeImage(stream.get(), nullptr, ImageDecoder::Detect);
    return canvas.bitmap && canvas.bitmap->width == 8192 && canvas.bitmap->height == 8192 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
