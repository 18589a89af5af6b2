#!/usr/bin/env python3
"""Writes the sample BMP pictures of the main job into this folder.

Each picture is drawn here from gradients and simple shapes, so the files can be regenerated at
any time and give the same bytes: python3 samples/make_samples.py [OUTPUT_DIR]
Only the standard library is used.
"""

import math
import os
import struct
import sys

BI_RGB, BI_RLE8, BI_RLE4, BI_BITFIELDS = 0, 1, 2, 3


def file_header(dib_size, off_bits):
    """The 14-byte BITMAPFILEHEADER."""
    return struct.pack("<2sIHHI", b"BM", 14 + dib_size, 0, 0, 14 + off_bits)


def info_header(width, height, bit_count, compression=BI_RGB, size_image=0, clr_used=0):
    """A 40-byte BITMAPINFOHEADER; 2835 pixels per metre is 72 dpi."""
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bit_count, compression, size_image,
                       2835, 2835, clr_used, 0)


def stride(width, bit_count):
    return (width * bit_count + 31) // 32 * 4


def palette_bytes(colours):
    """RGBQUAD entries from (r, g, b) tuples."""
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)


def bmp(header, table, pixels):
    dib = header + table + pixels
    return file_header(len(dib), len(header) + len(table)) + dib


def pack_row(indices, bit_count, width):
    """Packs palette indices into one padded row, leftmost pixel in the high bits."""
    out = bytearray(stride(width, bit_count))
    per_byte = 8 // bit_count
    for x, value in enumerate(indices):
        shift = 8 - bit_count * (x % per_byte + 1)
        out[x // per_byte] |= value << shift
    return bytes(out)


def rows_bottom_up(height, make_row):
    """Rows of a bottom-up bitmap: the picture's bottom row is stored first."""
    return b"".join(make_row(y) for y in reversed(range(height)))


def hue(h):
    """A fully saturated colour for a hue in [0, 1)."""
    h6 = (h % 1.0) * 6.0
    i = int(h6)
    f = h6 - i
    q, t = int(round(255 * (1 - f))), int(round(255 * f))
    return [(255, t, 0), (q, 255, 0), (0, 255, t), (0, q, 255), (t, 0, 255), (255, 0, q)][i % 6]


def inside_circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


# The pictures. Each drawing function gives the colour or index of pixel (x, y), y = 0 at the top.

def draw_gradient(x, y, w, h):
    """Red rises to the right, green downwards; a blue disc in the middle."""
    if inside_circle(x, y, w / 2, h / 2, h / 4):
        return (32, 64, 224)
    return (x * 255 // (w - 1), y * 255 // (h - 1), 96)


def draw_arrow(x, y, w, h):
    """An upward arrow on a sky gradient: shows at once whether rows came out upside down."""
    cx = w // 2
    head = y < h // 2 and abs(x - cx) <= y
    shaft = y >= h // 2 and abs(x - cx) <= w // 10
    if head or shaft:
        return (250, 250, 250)
    return (40, 80 + y * 140 // (h - 1), 200)


def sample_24(name, w, h, draw, top_down=False):
    pad = b"\0" * (stride(w, 24) - 3 * w)

    def row(y):
        return b"".join(struct.pack("<BBB", *reversed(draw(x, y, w, h))) for x in range(w)) + pad

    pixels = b"".join(row(y) for y in range(h)) if top_down else rows_bottom_up(h, row)
    return name, bmp(info_header(w, -h if top_down else h, 24), b"", pixels)


def sample_palette_8():
    """Concentric rings through a 256-colour rainbow."""
    w, h = 64, 48
    colours = [hue(i / 256) for i in range(256)]

    def row(y):
        return bytes(int(math.hypot(x - w / 2, y - h / 2) * 8) % 256 for x in range(w))

    return "palette-8.bmp", bmp(info_header(w, h, 8), palette_bytes(colours), rows_bottom_up(h, row))


def sample_mono_1():
    """A 1-bit checkerboard with a ring: two colours, ink on paper."""
    w, h = 64, 48

    def index(x, y):
        ring = 12 <= math.hypot(x - w / 2, y - h / 2) <= 18
        return int(ring) ^ ((x // 8 + y // 8) % 2 if not ring else 0)

    def row(y):
        return pack_row([index(x, y) for x in range(w)], 1, w)

    colours = [(250, 240, 210), (30, 30, 90)]
    return "mono-1.bmp", bmp(info_header(w, h, 1), palette_bytes(colours), rows_bottom_up(h, row))


# Sixteen colours shared by the 4-bit and RLE pictures.
COLOURS_16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def draw_flag(x, y, w, h):
    """Three horizontal stripes with a diamond and a square: long runs and short literals."""
    if abs(x - w // 3) + abs(y - h // 2) <= h // 4:
        return 11
    if 44 <= x < 56 and 8 <= y < 20:
        return 15 if (x + y) % 3 else 13
    return [9, 15, 12][y * 3 // h]


def draw_target(x, y, w, h):
    """Rings of changing colour and a striped band: runs and literal stretches for RLE4."""
    if 36 <= y < 42:
        return (x // 2) % 16
    return 1 + int(math.hypot(x - w / 2, y - h / 2) / 4) % 15


def encode_rle8(rows):
    """BI_RLE8: runs of three or more as (count, index), other stretches in absolute mode."""
    out = bytearray()
    for row in rows:
        x = 0
        while x < len(row):
            run = 1
            while x + run < len(row) and row[x + run] == row[x] and run < 255:
                run += 1
            if run >= 3:
                out += bytes((run, row[x]))
                x += run
                continue
            end = x
            while end < len(row) and end - x < 255:
                if end + 2 < len(row) and row[end] == row[end + 1] == row[end + 2]:
                    break
                end += 1
            literal = row[x:end]
            if len(literal) < 3:
                for v in literal:
                    out += bytes((1, v))
            else:
                out += bytes((0, len(literal))) + bytes(literal)
                if len(literal) % 2:
                    out += b"\0"
            x = end
        out += b"\0\0"  # end of line
    out += b"\0\1"  # end of bitmap
    return bytes(out)


def encode_rle4(rows):
    """BI_RLE4: runs of one colour as (count, colour in both nibbles), others in absolute mode."""
    out = bytearray()
    for row in rows:
        x = 0
        while x < len(row):
            run = 1
            while x + run < len(row) and row[x + run] == row[x] and run < 255:
                run += 1
            if run >= 4 or x + run == len(row):
                out += bytes((run, row[x] << 4 | row[x]))
                x += run
                continue
            end = x
            while end < len(row) and end - x < 254:
                if end + 3 < len(row) and row[end] == row[end + 1] == row[end + 2] == row[end + 3]:
                    break
                end += 1
            literal = row[x:end]
            if len(literal) < 3:
                for v in literal:
                    out += bytes((1, v << 4))
            else:
                packed = bytearray((len(literal) + 1) // 2)
                for i, v in enumerate(literal):
                    packed[i // 2] |= v << (0 if i % 2 else 4)
                if len(packed) % 2:
                    packed += b"\0"
                out += bytes((0, len(literal))) + packed
            x = end
        out += b"\0\0"
    out += b"\0\1"
    return bytes(out)


def sample_rle(name, bit_count, draw, encode):
    w, h = 64, 48
    rows = [[draw(x, y, w, h) for x in range(w)] for y in reversed(range(h))]
    data = encode(rows)
    compression = BI_RLE8 if bit_count == 8 else BI_RLE4
    header = info_header(w, h, bit_count, compression, len(data), 16)
    return name, bmp(header, palette_bytes(COLOURS_16), data)


def sample_palette_4():
    """Uncompressed 4-bit: the same stripes as the RLE8 picture."""
    w, h = 64, 48

    def row(y):
        return pack_row([draw_flag(x, y, w, h) for x in range(w)], 4, w)

    return "palette-4.bmp", bmp(info_header(w, h, 4), palette_bytes(COLOURS_16),
                                rows_bottom_up(h, row))


def sample_bitfields_565():
    """16-bit BI_BITFIELDS, 5-6-5: a hue sweep that darkens towards the bottom."""
    w, h = 64, 48
    masks = struct.pack("<III", 0xF800, 0x07E0, 0x001F)

    def row(y):
        out = bytearray()
        for x in range(w):
            r, g, b = hue(x / w)
            shade = 1 - y / (h * 1.25)
            r, g, b = (int(c * shade) for c in (r, g, b))
            out += struct.pack("<H", (r >> 3) << 11 | (g >> 2) << 5 | (b >> 3))
        return bytes(out)

    header = info_header(w, h, 16, BI_BITFIELDS)
    return "bitfields-565.bmp", bmp(header, masks, rows_bottom_up(h, row))


def sample_rgb_32():
    """32-bit BI_RGB (the fourth byte unused): a diagonal blend with a dark square."""
    w, h = 48, 32

    def row(y):
        out = bytearray()
        for x in range(w):
            if 30 <= x < 42 and 4 <= y < 16:
                r, g, b = 20, 20, 20
            else:
                t = (x + y) / (w + h - 2)
                r, g, b = int(255 * t), 160, int(255 * (1 - t))
            out += struct.pack("<BBBB", b, g, r, 0)
        return bytes(out)

    return "rgb-32.bmp", bmp(info_header(w, h, 32), b"", rows_bottom_up(h, row))


def all_samples():
    return [
        sample_24("gradient-24.bmp", 48, 32, draw_gradient),
        sample_24("topdown-24.bmp", 48, 32, draw_arrow, top_down=True),
        sample_palette_8(),
        sample_palette_4(),
        sample_mono_1(),
        sample_rle("rle8.bmp", 8, draw_flag, encode_rle8),
        sample_rle("rle4.bmp", 4, draw_target, encode_rle4),
        sample_bitfields_565(),
        sample_rgb_32(),
    ]


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out_dir, exist_ok=True)
    for name, data in all_samples():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
