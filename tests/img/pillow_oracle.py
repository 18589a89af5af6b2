#!/usr/bin/env python3
"""Writes DDS, ICO, CUR, MPO and ICNS files, each with Pillow's own decode of every frame beside it (for
the corpus loop of PillowOracleTest.cpp): NAME.K.rgba holds frame K as top-down RGBA, and
manifest.txt a line "NAME WIDTH HEIGHT FRAMES TOLERANCE" per file. Uncompressed DDS come from
Pillow's writer; block-compressed ones are random blocks behind a header written here (every
BC7 mode and partition occurs, every BC6H mode), which Pillow's decoder reads as the oracle.
Exits with 77 when Pillow is missing."""
import os
import random
import struct
import sys

try:
    from PIL import Image
except ImportError:
    sys.exit(77)

out = sys.argv[1]
rng = random.Random(29)
manifest = []


def picture(w, h, mode="RGBA"):
    im = Image.new(mode, (w, h))
    im.putdata([tuple(rng.randrange(256) for _ in mode) if len(mode) > 1 else rng.randrange(256)
                for _ in range(w * h)])
    return im


def oracle(name, frames, tolerance=0):
    """Pillow's decode of each frame of the written file NAME."""
    with Image.open(os.path.join(out, name)) as im:
        for k in range(frames):
            im.seek(k)
            rgba = im.convert("RGBA")
            with open(os.path.join(out, f"{name}.{k}.rgba"), "wb") as f:
                f.write(rgba.tobytes())
            if k == 0:
                size = rgba.size
    manifest.append(f"{name} {size[0]} {size[1]} {frames} {tolerance}")


def dds_header(w, h, four_cc=b"", dxgi=None, mips=0):
    pf = struct.pack("<II4s5I", 32, 4, four_cc, 0, 0, 0, 0, 0)
    head = struct.pack("<7I", 124, 0x1007 | (0x20000 if mips else 0), h, w, 0, 0, mips)
    head += b"\0" * 44 + pf + struct.pack("<5I", 0x1000, 0, 0, 0, 0)
    data = b"DDS " + head
    if dxgi is not None:
        data += struct.pack("<5I", dxgi, 3, 0, 1, 0)
    return data


def bc7_block(mode, partition):
    bits = rng.getrandbits(128)
    bits = (bits >> (mode + 1) << (mode + 1)) | (1 << mode)
    if mode in (0, 1, 2, 3, 7):
        width = 4 if mode == 0 else 6
        bits &= ~(((1 << width) - 1) << (mode + 1))
        bits |= partition << (mode + 1)
    return bits.to_bytes(16, "little")


def write(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)


# Uncompressed, as Pillow writes them (RGB and RGBA masks).
for mode, w, h in (("RGBA", 13, 7), ("RGB", 9, 11)):
    name = f"dds-{mode.lower()}.dds"
    picture(w, h, mode).save(os.path.join(out, name))
    oracle(name, 1)

# Block-compressed: random blocks, sides that leave partial blocks at the edges.
blocks = {"DXT1": 8, "DXT3": 16, "DXT5": 16, "ATI1": 8, "ATI2": 16}
for four_cc, size in blocks.items():
    w, h = 22, 10
    n = ((w + 3) // 4) * ((h + 3) // 4)
    name = f"dds-{four_cc.lower()}.dds"
    write(name, dds_header(w, h, four_cc.encode()) + rng.randbytes(n * size))
    oracle(name, 1)
# BC5 and BC7 through the DX10 header; BC7 with every mode and partition, a mip level behind.
write("dds-bc5-dx10.dds", dds_header(8, 8, b"DX10", 83) + rng.randbytes(4 * 16))
oracle("dds-bc5-dx10.dds", 1)
bc7 = [bc7_block(mode, p) for mode in range(8) for p in range(64 if mode in (0, 1, 2, 3, 7) else 8)]
rng.shuffle(bc7)
w = 64
h = 4 * ((len(bc7) + 15) // 16)
bc7 += [bc7_block(6, 0) for _ in range((w // 4) * (h // 4) - len(bc7))]
level1 = ((w // 2 + 3) // 4) * ((h // 2 + 3) // 4) * 16
write("dds-bc7.dds", dds_header(w, h, b"DX10", 98, mips=2) + b"".join(bc7) + rng.randbytes(level1))
oracle("dds-bc7.dds", 1)
# BC6H: random blocks of each of the fourteen modes, unsigned; signed only in the two modes
# without deltas (Pillow 9.4 does not sign-extend an endpoint made from a base and a delta, so
# that a delta of 0 gives a different colour). Pillow shows linear light cut to 8 bits, which
# the tolerance -1 tells the test.
for dxgi, codes, w, h in ((95, (0, 1, 2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15), 62, 55),
                          (96, (3, 30), 30, 31)):
    count = ((w + 3) // 4) * ((h + 3) // 4)
    bc6 = []
    for i in range(count):
        code = codes[i % len(codes)]
        low = 2 if code < 2 else 5  # the mode's bits
        bc6.append((rng.getrandbits(128) >> low << low | code).to_bytes(16, "little"))
    rng.shuffle(bc6)
    name = f"dds-bc6h-{dxgi}.dds"
    write(name, dds_header(w, h, b"DX10", dxgi) + b"".join(bc6))
    oracle(name, 1, -1)


def icon_oracle(name, source):
    """Pillow's decode of each entry of the icon file SOURCE, largest first, then deepest."""
    with Image.open(os.path.join(out, source)) as im:
        entries = sorted(range(len(im.ico.entry)), key=lambda i: (
            -im.ico.entry[i]["width"] * im.ico.entry[i]["height"], -im.ico.entry[i]["bpp"], i))
        for k, i in enumerate(entries):
            rgba = im.ico.frame(i).convert("RGBA")
            with open(os.path.join(out, f"{name}.{k}.rgba"), "wb") as f:
                f.write(rgba.tobytes())
            if k == 0:
                size = rgba.size
    manifest.append(f"{name} {size[0]} {size[1]} {len(entries)} 0")


# Icons as Pillow writes them: smallest entry first, PNG or DIB entries; DIB entries of three
# depths at one size. Cursors: the same files with type 2 and hotspots where the planes and bit
# count stood. (Pillow writes AND masks unpadded and reads them padded: the sides with a mask
# are a multiple of 32.)
big = picture(64, 64)
big.save(os.path.join(out, "ico-png.ico"), sizes=[(16, 16), (64, 64), (32, 32)])
icon_oracle("ico-png.ico", "ico-png.ico")
big.save(os.path.join(out, "ico-bmp.ico"), sizes=[(16, 16), (48, 48), (32, 32)],
         bitmap_format="bmp")
icon_oracle("ico-bmp.ico", "ico-bmp.ico")
depths = [picture(32, 32, "RGB"), picture(32, 32, "RGBA"), picture(32, 32, "RGB").convert("P")]
depths[2].save(os.path.join(out, "ico-depths.ico"), sizes=[(32, 32)], bitmap_format="bmp",
               append_images=depths[:2])
icon_oracle("ico-depths.ico", "ico-depths.ico")
for source in ("ico-bmp.ico", "ico-png.ico"):
    with open(os.path.join(out, source), "rb") as f:
        data = bytearray(f.read())
    data[2] = 2
    for i in range(data[4]):
        struct.pack_into("<HH", data, 6 + 16 * i + 4, 3 + i, 9)
    name = source.replace("ico-", "cur-").replace(".ico", ".cur")
    write(name, bytes(data))
    icon_oracle(name, source)

# MPO: JPEGs from Pillow behind an MP index written here (Pillow 9.4's own MPO writer gives
# files that it cannot read back), read by Pillow's MPO reader, which takes every image to have
# the first one's size unless its EXIF says otherwise.
def write_mpo(name, pictures):
    import io
    jpegs = []
    for im in pictures:
        buf = io.BytesIO()
        im.save(buf, "JPEG", quality=90)
        jpegs.append(buf.getvalue())
    n = len(jpegs)
    ifd = struct.pack("<H", 3) + struct.pack("<HHI4s", 0xB000, 7, 4, b"0100")
    ifd += struct.pack("<HHII", 0xB001, 4, 1, n) + struct.pack("<HHII", 0xB002, 7, 16 * n, 50)
    ifd += struct.pack("<I", 0)
    index_bytes = 8 + len(ifd) + 16 * n
    first_size = len(jpegs[0]) + 4 + 4 + index_bytes
    starts = [0]
    for j in jpegs[:-1]:
        starts.append(starts[-1] + (first_size if len(starts) == 1 else len(j)))
    sizes = [first_size] + [len(j) for j in jpegs[1:]]
    entries = b"".join(struct.pack("<IIIHH", 0x20030000 if i == 0 else 0x020002, sizes[i],
                                   0 if i == 0 else starts[i] - 10, 0, 0) for i in range(n))
    payload = b"MPF\0" + b"II*\0" + struct.pack("<I", 8) + ifd + entries
    app2 = b"\xFF\xE2" + struct.pack(">H", 2 + len(payload)) + payload
    write(name, jpegs[0][:2] + app2 + jpegs[0][2:] + b"".join(jpegs[1:]))


write_mpo("mpo-three.mpo", [picture(40, 30, "RGB") for _ in range(3)])
oracle("mpo-three.mpo", 3)

# ICNS: PNG entries as Pillow writes them; RLE entries with masks written here (runs, literals,
# it32's lead, one entry stored unpacked, one without a mask), read by Pillow as the oracle.
def icns_oracle(name):
    with Image.open(os.path.join(out, name)) as im:
        sizes = sorted(im.info["sizes"], key=lambda s: -s[0] * s[1] * s[2] * s[2])
        for k, size in enumerate(sizes):
            rgba = im.icns.getimage(size).convert("RGBA")
            with open(os.path.join(out, f"{name}.{k}.rgba"), "wb") as f:
                f.write(rgba.tobytes())
            if k == 0:
                first = rgba.size
    manifest.append(f"{name} {first[0]} {first[1]} {len(sizes)} 0")


def rle(plane):
    packed, i = b"", 0
    while i < len(plane):
        run = 1
        while i + run < len(plane) and run < 130 and plane[i + run] == plane[i]:
            run += 1
        if run >= 3:
            packed += bytes([0x80 + run - 3, plane[i]])
            i += run
        else:
            n = min(rng.randrange(1, 129), len(plane) - i)
            packed += bytes([n - 1]) + bytes(plane[i:i + n])
            i += n
    return packed


def element(code, data):
    return code + struct.pack(">I", 8 + len(data)) + data


gradients = [Image.linear_gradient("L"), Image.radial_gradient("L")]
Image.merge("RGBA", gradients + [gradients[0].rotate(90), gradients[1].transpose(0)]).save(
    os.path.join(out, "icns-png.icns"))
icns_oracle("icns-png.icns")
elements = b""
for code, mask, side, lead in ((b"is32", b"s8mk", 16, 0), (b"il32", b"l8mk", 32, 0),
                               (b"ih32", None, 48, 0), (b"it32", b"t8mk", 128, 4)):
    # Bands of a few colours, so that runs occur.
    rgb = bytes(rng.choice((0, 90, 255)) if (i // 3) % 7 else rng.randrange(256)
                for i in range(side * side * 3))
    if side == 32:
        body = rgb
    else:
        body = b"\0" * lead + b"".join(rle(rgb[c::3]) for c in range(3))
    elements += element(code, body)
    if mask:
        elements += element(mask, rng.randbytes(side * side))
write("icns-rle.icns", b"icns" + struct.pack(">I", 8 + len(elements)) + elements)
icns_oracle("icns-rle.icns")
small = elements[:elements.index(b"ih32")]  # is32, s8mk, il32, l8mk
write("icns-small.icns", b"icns" + struct.pack(">I", 8 + len(small)) + small)
icns_oracle("icns-small.icns")

with open(os.path.join(out, "manifest.txt"), "w") as f:
    f.write("\n".join(manifest) + "\n")
