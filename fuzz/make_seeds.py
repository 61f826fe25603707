#!/usr/bin/python3
# Writes the seed corpora of the fuzzers that need real files, from the fonts and image tools that
# scripts/install-deps.sh installs (Debian's fonts, python3-fonttools and netpbm) and the SVG glyph fixture font:
#   make_seeds.py fonts DIR          small subsets of DejaVu Sans, Noto Color Emoji (CBDT) and a TeX Gyre math
#                                    font, two DejaVu subsets as one collection (TTC), the SVG fixture font
#                                    (also with a document record that lies, and with gzip documents, one of
#                                    them declaring more than may be inflated), and COLR/CPAL and sbix fonts
#                                    from the font tests' fixture scripts (one sbix image past its strike's
#                                    limit)
#   make_seeds.py svg-documents DIR  the fixture font's SVG documents, each behind the glyph id to cut out
#   make_seeds.py images DIR         one small picture as PNG (Apple's CgBI too), JPEG (progressive too), BMP
#                                    (RLE4 too), GIF, TGA, LBM (HAM too), PCX, XPM, XV, QOI, ICO and SVG
#   make_seeds.py requests DIR       forwarded command lines on the wire
#   make_seeds.py where DIR          where-clause token lists
import io
import logging
import os
import struct
import subprocess
import sys
import zlib

from fontTools import subset
from fontTools.ttLib import TTCollection, TTFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONT_FIXTURES = os.path.join(HERE, "..", "tests", "fonts", "fixtures")
SVG_FIXTURE = os.path.join(FONT_FIXTURES, "svg_glyphs.ttf")
sys.path.insert(0, FONT_FIXTURES)
sys.dont_write_bytecode = True  # nothing is written into the source tree
import make_colour_fonts  # noqa: E402 (found through the fixtures' directory)
import make_gzip_svg_font  # noqa: E402
FONT_SUBSETS = {
    "dejavu-sans.ttf": ("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "Ag é€\u0301fi"),
    "noto-color-emoji.ttf": ("/usr/share/fonts/truetype/noto/NotoColorEmoji.ttf", "\U0001F600"),
    "dejavu-math.otf": ("/usr/share/texmf/fonts/opentype/public/tex-gyre-math/texgyredejavu-math.otf", "(∫x)"),
}
COLLECTION_MEMBERS = ["/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf"]


def write(directory, name, data):
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


def subset_font(source, text):
    options = subset.Options()
    options.layout_features = ["*"]
    font = TTFont(source)
    subsetter = subset.Subsetter(options)
    subsetter.populate(text=text)
    subsetter.subset(font)
    return font


def fonts(directory):
    logging.getLogger("fontTools").setLevel(logging.ERROR)  # dropped tables and fixed dates are no news
    for name, (source, text) in FONT_SUBSETS.items():
        buffer = io.BytesIO()
        subset_font(source, text).save(buffer)
        write(directory, name, buffer.getvalue())
    collection = TTCollection()
    collection.fonts = [subset_font(source, "Ag") for source in COLLECTION_MEMBERS]
    buffer = io.BytesIO()
    collection.save(buffer)
    write(directory, "dejavu-pair.ttc", buffer.getvalue())
    make_gzip_svg_font.write(os.path.join(directory, "svg-glyphs-gzip.ttf"), 0)
    make_gzip_svg_font.write(os.path.join(directory, "svg-glyphs-gzip-over-limit.ttf"), 5)
    make_colour_fonts.colr(os.path.join(directory, "colr.ttf"))
    # The fuzzer draws at 15 pixels, the strike's size; B's image in the second is past the strike's limit.
    make_colour_fonts.sbix(os.path.join(directory, "sbix.ttf"), 15)
    make_colour_fonts.sbix(os.path.join(directory, "sbix-over-limit.ttf"), 15, 200)
    with open(SVG_FIXTURE, "rb") as fixture:
        svg_font = bytearray(fixture.read())
    write(directory, "svg-glyphs.ttf", svg_font)
    # The same font whose first SVG document record claims 2 GiB, far past the end of the file.
    tables = struct.unpack(">H", svg_font[4:6])[0]
    for record in range(12, 12 + 16 * tables, 16):
        if svg_font[record:record + 4] == b"SVG ":
            table = struct.unpack(">L", svg_font[record + 8:record + 12])[0]
            document_list = table + struct.unpack(">L", svg_font[table + 2:table + 6])[0]
            struct.pack_into(">L", svg_font, document_list + 2 + 8, 0x7FFFFFFF)
    write(directory, "svg-glyphs-lying.ttf", svg_font)


# Glyph documents whose glyphs go through filters, each small and quick to draw.
FILTERED_GLYPHS = [
    '<filter id="f"><feGaussianBlur stdDeviation="20"/></filter>',
    '<filter id="f"><feTurbulence baseFrequency="0.05" numOctaves="2"/><feComposite in2="SourceGraphic" operator="in"/></filter>',
    '<filter id="f"><feConvolveMatrix order="3" kernelMatrix="0 1 0 1 -4 1 0 1 0"/></filter>',
    '<filter id="f" x="0" y="0" width="1" height="1"><feFlood flood-color="red" width="50" height="50" result="a"/>'
    '<feTile in="a"/></filter>',
    '<filter id="f"><feMorphology radius="3"/><feOffset dx="10" dy="10"/><feMerge><feMergeNode/>'
    '<feMergeNode in="SourceGraphic"/></feMerge></filter>',
]


def svg_documents(directory):
    for index, document in enumerate(TTFont(SVG_FIXTURE)["SVG "].docList):
        text = document.data if hasattr(document, "data") else document[0]
        first = document.startGlyphID if hasattr(document, "startGlyphID") else document[1]
        write(directory, f"document{index}", struct.pack("<H", first) + text.encode())
    for index, definition in enumerate(FILTERED_GLYPHS):
        text = ('<svg xmlns="http://www.w3.org/2000/svg">' + definition +
                '<g id="glyph3" filter="url(#f)"><rect x="100" y="-700" width="500" height="700" fill="#08f"/></g></svg>')
        write(directory, f"filtered{index}", struct.pack("<H", 3) + text.encode())


def png_chunk(kind, data):
    return struct.pack(">L", len(data)) + kind + data + struct.pack(">L", zlib.crc32(kind + data))


def cgbi_png(ppm, width, height):
    """Apple's PNG variant: a CgBI chunk first, then BGRA rows deflated without a zlib header."""
    pixels = ppm[ppm.index(b"255\n") + 4:]
    rows = b"".join(b"\x00" + b"".join(pixels[i + 2:i + 3] + pixels[i + 1:i + 2] + pixels[i:i + 1] + b"\xff"
                                       for i in range(y * width * 3, (y + 1) * width * 3, 3))
                    for y in range(height))
    deflater = zlib.compressobj(9, zlib.DEFLATED, -15)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"CgBI", struct.pack(">L", 0x50002002)) +
            png_chunk(b"IHDR", struct.pack(">LLBBBBB", width, height, 8, 6, 0, 0, 0)) +
            png_chunk(b"IDAT", deflater.compress(rows) + deflater.flush()) + png_chunk(b"IEND", b""))


def rle4_bmp():
    """A 5 x 3 bitmap of 16 colours, run-length coded four bits a pixel: runs and an absolute run of odd
    length, a move, ends of rows and the end of the bitmap."""
    palette = b"".join(bytes((index * 16, 255 - index * 9, index * 5, 0)) for index in range(16))
    data = bytes((0x03, 0x12, 0x00, 0x02, 0x01, 0x00, 0x01, 0x60, 0x00, 0x00,
                  0x00, 0x05, 0x9a, 0xbc, 0xd0, 0x00, 0x00, 0x00,
                  0x05, 0x78, 0x00, 0x01))
    offset = 14 + 40 + len(palette)
    return (b"BM" + struct.pack("<IIIIiiHHIIiiII", offset + len(data), 0, offset, 40, 5, 3, 1, 4, 2, len(data),
                                2835, 2835, 16, 0) + palette + data)


def images(directory):
    width, height = 5, 3
    ppm = b"P6 %d %d 255\n" % (width, height) + bytes(
        value for y in range(height) for x in range(width) for value in (x * 50, y * 100, (x + y) * 30))
    tools = {"png": ["pnmtopng"], "jpeg": ["pnmtojpeg"], "bmp": ["ppmtobmp"], "gif": ["pamtogif"],
             "tga": ["pamtotga"], "lbm": ["ppmtoilbm"], "lbm-ham": ["ppmtoilbm", "-ham6"], "pcx": ["ppmtopcx"],
             "xpm": ["ppmtoxpm"], "xv": ["pamtoxvmini"], "qoi": ["pamtoqoi"], "ico": ["pamtowinicon"],
             "jpeg-progressive": ["pnmtojpeg", "-progressive"]}
    for name, command in tools.items():
        encoded = subprocess.run(command, input=ppm, capture_output=True, check=True).stdout
        # The first byte picks how the fuzzer decodes: 1 reads the data as a .tga file.
        write(directory, name, (b"\x01" if name == "tga" else b"\x00") + encoded)
    write(directory, "png-cgbi", b"\x00" + cgbi_png(ppm, width, height))
    write(directory, "bmp-rle4", b"\x00" + rle4_bmp())
    write(directory, "svg", b"\x00" + b'<svg xmlns="http://www.w3.org/2000/svg" width="5" height="3">'
          b'<rect width="4" height="2" fill="#f80"/><circle cx="3" cy="2" r="1" fill="blue"/></svg>')


def requests(directory):
    def request(request_id, directory_text, args, stdin=None):
        data = struct.pack("<QI", request_id, len(directory_text)) + directory_text
        data += struct.pack("<I", len(args) | (0x80000000 if stdin is not None else 0))
        for arg in args:
            data += struct.pack("<I", len(arg)) + arg
        if stdin is not None:
            data += struct.pack("<I", len(stdin)) + stdin
        return data

    write(directory, "plain", request(0, b"/home/user", [b"/usr/bin/qz", b"notes.txt"]))
    write(directory, "waiting", request(77, b"/tmp", [b"qz", b"--wait", b"--file", b"a b.txt"]))
    write(directory, "stdin", request(0, b"", [b"qz", b"-"], b"piped text\n"))


def where(directory):
    write(directory, "conditions", b"k(\ncname\t=\t1\nkAND\ncage\tin\t3\nk)\nkor\ncnote\tIS NOT\t1\n")
    write(directory, "likes", b"l0100%_\\x\nl2abc\nl4a_b\nimy_table\ni9lives\n")


KINDS = {"fonts": fonts, "svg-documents": svg_documents, "images": images, "requests": requests, "where": where}

if __name__ == "__main__":
    kind, target = sys.argv[1], sys.argv[2]
    os.makedirs(target, exist_ok=True)
    KINDS[kind](target)
