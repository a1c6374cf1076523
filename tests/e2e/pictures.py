# SPDX-License-Identifier: MIT
"""Pictures for the end-to-end runs: small ones whose colours are known, and
damaged or hostile files that the decoders have been seen to choke on.

Also the independent reading of a picture that the tool's listing is compared
with: every pixel's red, green and blue, column by column, first-seen order.
"""

import io
import os
import random
import struct
import zlib

from PIL import Image


# --------------------------------------------------------------------------
# Expected census, worked out from the picture with Pillow


def column_major_census(img):
    """[(r, g, b, count)] in the order a column-by-column scan first meets
    each colour; alpha plays no part in a colour."""
    rgb = img.convert("RGB")
    w, h = rgb.size
    px = rgb.load()
    counts = {}
    for x in range(w):
        for y in range(h):
            c = px[x, y]
            counts[c] = counts.get(c, 0) + 1
    return [(r, g, b, n) for (r, g, b), n in counts.items()]  # dicts keep insertion order


def listing(census):
    return b"".join(b"%d %d %d | %d \n" % entry for entry in census)


def progress(width):
    return b"".join(b"LINE FINISHED %d \n" % x for x in range(width))


# --------------------------------------------------------------------------
# Well-formed pictures


def two_by_two():
    """Top row red, green; bottom row blue, red."""
    img = Image.new("RGBA", (2, 2))
    img.putdata([(255, 0, 0, 255), (0, 255, 0, 255), (0, 0, 255, 255), (255, 0, 0, 255)])
    return img


def mixed(width=7, height=5, seed=7):
    """A few colours scattered over the picture, including black (whose swatch
    vanishes into the chart's background) and one colour at two alpha values."""
    rnd = random.Random(seed)
    palette = [(0, 0, 0, 255), (12, 200, 34, 255), (12, 200, 34, 80), (255, 255, 255, 255),
               (1, 2, 3, 255), (250, 128, 7, 0), (90, 90, 200, 255)]
    img = Image.new("RGBA", (width, height))
    img.putdata([rnd.choice(palette) for _ in range(width * height)])
    return img


def palette_picture():
    img = Image.new("P", (3, 2))
    img.putpalette([10, 20, 30, 200, 100, 50, 0, 0, 0, 7, 7, 7])
    img.putdata([0, 1, 0, 2, 0, 1])
    return img


def save(img, path, fmt=None):
    img.save(path, fmt)
    return path


# --------------------------------------------------------------------------
# GIF written byte by byte


def lzw_encode(indices, min_code_size):
    """GIF's variable-length LZW, codes packed least significant bit first."""
    clear = 1 << min_code_size
    end = clear + 1

    def fresh():
        return {(i,): i for i in range(clear)}, clear + 2, min_code_size + 1

    table, next_code, size = fresh()
    data = bytearray()
    bits = nbits = 0

    def emit(code, width):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += width
        while nbits >= 8:
            data.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    emit(clear, size)
    run = ()
    for k in indices:
        longer = run + (k,)
        if longer in table:
            run = longer
            continue
        emit(table[run], size)
        if next_code < 4096:
            table[longer] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            emit(clear, size)
            table, next_code, size = fresh()
        run = (k,)
    if run:
        emit(table[run], size)
    emit(end, size)
    if nbits:
        data.append(bits & 0xFF)
    return bytes(data)


def gif_bytes(width, height, indices, colours=((0, 0, 0), (255, 255, 255))):
    """GIF89a: logical screen of width x height, a two-entry global colour
    table, one image block covering the screen."""
    table = b"".join(bytes(c) for c in colours)
    out = b"GIF89a" + struct.pack("<HHBBB", width, height, 0x80, 0, 0) + table
    out += b"," + struct.pack("<HHHHB", 0, 0, width, height, 0)
    data = lzw_encode(indices, 2)
    out += b"\x02"
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out += bytes([len(chunk)]) + chunk
    return out + b"\x00;"


# --------------------------------------------------------------------------
# Damaged and hostile inputs: each maker writes into the folder and returns
# the argument to give the tool (None: the file is missing on purpose).


def _png_bytes(img):
    buf = io.BytesIO()
    img.save(buf, "PNG")
    return buf.getvalue()


def noisy(width, height, seed=11):
    rnd = random.Random(seed)
    return Image.frombytes("RGB", (width, height), bytes(rnd.randrange(256) for _ in range(width * height * 3)))


def write_missing(folder):
    return "no-such-picture.png"


def write_empty(folder):
    (folder / "empty.png").write_bytes(b"")
    return "empty.png"


def write_text_as_png(folder):
    (folder / "notes.png").write_text("This is a shopping list, not a picture.\nmilk\nbread\n")
    return "notes.png"


def write_half_png(folder):
    data = _png_bytes(noisy(64, 64))
    (folder / "half.png").write_bytes(data[:len(data) // 2])
    return "half.png"


def write_short_bmp(folder):
    buf = io.BytesIO()
    noisy(16, 16).save(buf, "BMP")
    (folder / "short.bmp").write_bytes(buf.getvalue()[:20])
    return "short.bmp"


def write_wide_gif(folder):
    (folder / "wide.gif").write_bytes(gif_bytes(16384, 2, [0] * (16384 * 2)))
    return "wide.gif"


def write_cut_xpm(folder):
    text = ('/* XPM */\n'
            'static char *cut[] = {\n'
            '"4 4 2 1",\n'
            '"a c #FF0000",\n'
            '"b c #0000FF",\n')
    (folder / "cut.xpm").write_text(text)
    return "cut.xpm"


def write_directory(folder):
    (folder / "album.png").mkdir()
    return "album.png"


def write_wide_png(folder):
    data = bytearray(_png_bytes(noisy(4, 2)))
    data[16:20] = struct.pack(">I", 20000)  # IHDR width; the CRC no longer matches, the size is read first
    (folder / "wide.png").write_bytes(bytes(data))
    return "wide.png"


def write_crashing_gif(folder):
    """A 2 x 2 screen holding one image 16384 pixels wide: SDL_image's GIF
    reader writes past its surface."""
    data = bytearray(gif_bytes(16384, 2, [0] * (16384 * 2)))
    data[6:10] = struct.pack("<HH", 2, 2)
    (folder / "crash.gif").write_bytes(bytes(data))
    return "crash.gif"


def write_link_loop(folder):
    (folder / "loop.png").symlink_to("loop.png")
    return "loop.png"


def write_fifo(folder):
    os.mkfifo(folder / "fifo.png")
    return "fifo.png"


def _half(folder, name, fmt, **options):
    buf = io.BytesIO()
    few_colours(64, 48).save(buf, fmt, **options)
    data = buf.getvalue()
    (folder / name).write_bytes(data[:len(data) // 2])
    return name


def few_colours(width, height, seed=5):
    """Runs of a dozen colours: compresses well, so half a file is half the pixels."""
    rnd = random.Random(seed)
    colours = [(rnd.randrange(256), rnd.randrange(256), rnd.randrange(256)) for _ in range(12)]
    img = Image.new("RGB", (width, height))
    img.putdata([colours[(i // 5 + rnd.randrange(2)) % 12] for i in range(width * height)])
    return img


def write_half_gif(folder):
    return _half(folder, "half.gif", "GIF")


def write_half_jpeg(folder):
    return _half(folder, "half.jpg", "JPEG", quality=90)


def write_half_tga(folder):
    return _half(folder, "half.tga", "TGA")


def write_half_rle_tga(folder):
    return _half(folder, "half-rle.tga", "TGA", compression="tga_rle")


def write_cut_packet_tga(folder):
    buf = io.BytesIO()
    few_colours(64, 48).save(buf, "TGA", compression="tga_rle")
    data = buf.getvalue()
    footer = 26  # "TRUEVISION-XFILE.": the TGA 2.0 footer Pillow writes
    (folder / "packet.tga").write_bytes(data[:len(data) - footer - 1])
    return "packet.tga"


def write_short_pnm(folder):
    (folder / "short.pgm").write_bytes(b"P2\n40 30\n255\n7 8 9\n")
    return "short.pgm"


def write_empty_tga(folder):
    (folder / "empty.tga").write_bytes(b"\0\0\2\0\0\0\0\0\0\0\0\0\0\0\0\0\x18\0")
    return "empty.tga"


def write_header_only_xcf(folder):
    """Width and height 0, no properties, no layers, no channels."""
    (folder / "header.xcf").write_bytes(b"gimp xcf file\0" + struct.pack(">IIIIIII", 0, 0, 0, 0, 0, 0, 0))
    return "header.xcf"


def write_empty_lbm(folder):
    """An ILBM whose bitmap header says 0 x 0."""
    bmhd = struct.pack(">HHhhBBBBHBBhh", 0, 0, 0, 0, 8, 0, 0, 0, 0, 1, 1, 0, 0)
    body = b"ILBM" + b"BMHD" + struct.pack(">I", len(bmhd)) + bmhd + b"BODY" + struct.pack(">I", 0)
    (folder / "empty.lbm").write_bytes(b"FORM" + struct.pack(">I", len(body)) + body)
    return "empty.lbm"


def write_endless_xcf(folder):
    (folder / "endless.xcf").write_bytes(b"gimp xcf file\0\0\0\0\4\0\0\0\4\0\0\0\0\0\0\0\x63\xff\xff\xff\xf0")
    return "endless.xcf"


def write_huge_png(folder):
    """A header for 16383 x 65535 RGBA pixels: within SDL's sides, but 4 GB of
    pixels, more than SDL 1.2 can hold in one surface."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", 16383, 65535, 8, 6, 0, 0, 0)
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 100))
           + chunk(b"IEND", b""))
    (folder / "huge.png").write_bytes(png)
    return "huge.png"
