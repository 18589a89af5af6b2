#!/usr/bin/python3
"""PCX/DCX, SGI, XPM, XBM, WBMP, Sun raster, Radiance HDR and PFM: one table over files written here.

Pillow writes what it can (PCX, SGI, XBM); the other variants are written by hand below from a
known picture. Every file is decoded by zemhost through imgsrc and must equal the expected
picture: Pillow's own decode of the files it wrote, the picture written for the others (where
Pillow reads a hand-written file too, its decode must agree, which checks the writer). HDR and
PFM expect the display rule: linear values clamped to [0, 1], then the sRGB curve. zemhost info
must give the size, depth, type and frame count of the picture read. Every DCX page is a frame.

Usage: own_formats_table.py WORKDIR ZEMHOST [EMULATOR...]   (exit 77: skipped)
"""
import os
import struct
import subprocess
import sys

try:
    from PIL import Image
except ImportError:
    print("SKIPPED: Pillow (python3-pil) is not installed")
    sys.exit(77)

work, zemhost, emulator = sys.argv[1], sys.argv[2], sys.argv[3:]
os.makedirs(work, exist_ok=True)
W, H = 37, 22  # odd sizes: row padding and partial bytes are exercised everywhere


def zem(*args):
    # Under Wine, drive Z: is the Unix root.
    cmd = emulator + [zemhost] + [("Z:" + a.replace("/", "\\") if emulator else a)
                                  if a.startswith("/") else a for a in args]
    return subprocess.run(cmd, capture_output=True, text=True)


def picture(w=W, h=H):
    im = Image.new("RGB", (w, h))
    im.putdata([(x * 7 % 256, y * 11 % 256, (x * y * 3 + 40) % 256) for y in range(h) for x in range(w)])
    return im


def indexed(colours, w=W, h=H):
    """Indices (x + 3y) mod colours and a palette of distinct colours."""
    idx = [[(x + 3 * y) % colours for x in range(w)] for y in range(h)]
    pal = [((i * 67) % 256, (i * 151 + 30) % 256, (255 - i * 29) % 256) for i in range(colours)]
    im = Image.new("RGB", (w, h))
    im.putdata([pal[idx[y][x]] for y in range(h) for x in range(w)])
    return idx, pal, im


def pack_bits(bits, msb_first=True, pad_to=8):
    """A row of 0/1 values packed into bytes, padded to `pad_to` bits."""
    n = -(-len(bits) // pad_to) * pad_to // 8
    out = bytearray(n)
    for x, b in enumerate(bits):
        if b:
            out[x // 8] |= (0x80 >> (x % 8)) if msb_first else (1 << (x % 8))
    return bytes(out)


def display(v):
    """The high dynamic range rule, as the reader applies it (in single precision)."""
    v = struct.unpack("f", struct.pack("f", v))[0]
    if not v > 0:
        return 0
    if v >= 1:
        return 255
    e = 12.92 * v if v <= 0.0031308 else 1.055 * v ** (1 / 2.4) - 0.055
    return int(e * 255 + 0.5)


rows = []  # (file name, expected RGBA image or list of frames, tolerance, Pillow reads it)


def add(name, data, want, tol=0, pillow=False):
    with open(f"{work}/{name}", "wb") as f:
        f.write(data)
    rows.append((name, want if isinstance(want, list) else [want], tol, pillow))


def saved(name, im, **kw):
    im.save(f"{work}/{name}", **kw)
    with open(f"{work}/{name}", "rb") as f:
        return f.read()


# PCX: Pillow's 1-bit, grey, 256-colour and RGB files; by hand 1 bit in 2, 3 and 4 planes,
# 2 and 4 bits in one plane, RGBA in four planes, and a run that goes on into the next line.
rgb = picture()
for mode in ("1", "L", "P", "RGB"):
    im = rgb.quantize(200) if mode == "P" else rgb.convert(mode)
    data = saved(f"pcx-{mode}.pcx", im)
    add(f"pcx-{mode}.pcx", data, Image.open(f"{work}/pcx-{mode}.pcx").convert("RGBA"))


def pcx_rle(line):
    out, i = bytearray(), 0
    while i < len(line):
        n = 1
        while i + n < len(line) and line[i + n] == line[i] and n < 63:
            n += 1
        if n > 1 or line[i] >= 0xC0:
            out += bytes([0xC0 | n, line[i]])
        else:
            out.append(line[i])
        i += n
    return bytes(out)


def pcx(bits, planes, lines, ega=(), w=W, h=H, across=False):
    stride = -(-w * bits // 16) * 2
    hdr = struct.pack("<BBBBHHHHHH", 10, 5, 1, bits, 0, 0, w - 1, h - 1, 72, 72)
    hdr += bytes(c for rgb_ in ega for c in rgb_).ljust(48, b"\0") + bytes([0, planes])
    hdr += struct.pack("<HH", stride, 1).ljust(62, b"\0")
    body = b"".join(line.ljust(stride, b"\0") for line in lines)
    if across:  # one stream over all lines: runs cross line ends
        return hdr + pcx_rle(body)
    return hdr + b"".join(pcx_rle(body[i:i + stride]) for i in range(0, len(body), stride))


for planes, colours in ((2, 4), (3, 8), (4, 16)):
    idx, pal, im = indexed(colours)
    lines = [pack_bits([(idx[y][x] >> p) & 1 for x in range(W)]) for y in range(H) for p in range(planes)]
    # Pillow takes planes to be (width + 7) / 8 bytes apart, not the header's even line length.
    add(f"pcx-1x{planes}.pcx", pcx(1, planes, lines, pal), im.convert("RGBA"))
for bits in (2, 4):
    idx, pal, im = indexed(1 << bits)
    lines = []
    for y in range(H):
        v = 0
        for x in range(W):
            v = v << bits | idx[y][x]
        v <<= (-W * bits) % 8
        lines.append(v.to_bytes(-(-W * bits // 8), "big"))
    add(f"pcx-{bits}x1.pcx", pcx(bits, 1, lines, pal, across=bits == 4), im.convert("RGBA"))
rgba = rgb.convert("RGBA")
rgba.putalpha(Image.linear_gradient("L").resize((W, H)))
add("pcx-rgba.pcx", pcx(8, 4, [rgba.tobytes()[c::4][y * W:(y + 1) * W] for y in range(H) for c in range(4)]), rgba)

# DCX: three PCX pages of different sizes and kinds; each is a frame (Pillow's DCX reader keeps
# the first page's mode, so each page is checked against its own PCX file).
sources = (rgb, picture(20, 9).convert("L"), picture(8, 30).quantize(7))
pages = [saved(f"dcx-page{i}.pcx", p) for i, p in enumerate(sources)]
frames = [Image.open(f"{work}/dcx-page{i}.pcx").convert("RGBA") for i in range(len(pages))]
offsets, at = [], 4 + 4 * (len(pages) + 1)
for p in pages:
    offsets.append(at)
    at += len(p)
data = struct.pack("<I", 987654321) + struct.pack(f"<{len(pages) + 1}I", *offsets, 0) + b"".join(pages)
add("pages.dcx", data, frames)

# SGI: Pillow's verbatim grey, RGB and RGBA; by hand run-length 8-bit of 1-4 channels and
# 16-bit verbatim and run-length (16-bit samples rounded to 8 bits).
for mode in ("L", "RGB", "RGBA"):
    data = saved(f"sgi-{mode}.sgi", rgba.convert(mode))
    add(f"sgi-{mode}.sgi", data, Image.open(f"{work}/sgi-{mode}.sgi").convert("RGBA"))


def sgi_rle_row(samples, bpc):
    fmt = ">B" if bpc == 1 else ">H"
    out, i = bytearray(), 0
    while i < len(samples):
        n = 1
        while i + n < len(samples) and samples[i + n] == samples[i] and n < 127:
            n += 1
        if n > 2:
            out += struct.pack(fmt, n) + struct.pack(fmt, samples[i])
            i += n
            continue
        j = i + 1
        while j < len(samples) and j - i < 127 and not (j + 2 < len(samples) and samples[j] == samples[j + 1] == samples[j + 2]):
            j += 1
        out += struct.pack(fmt, 0x80 | (j - i)) + b"".join(struct.pack(fmt, s) for s in samples[i:j])
        i = j
    return bytes(out + struct.pack(fmt, 0))


def sgi(planes, bpc, rle, w=W, h=H):
    """`planes`: per channel, rows from the top, of samples."""
    z = len(planes)
    hdr = struct.pack(">HBBHHHHii", 474, 1 if rle else 0, bpc, 3 if z > 1 else 2, w, h, z, 0,
                      65535 if bpc == 2 else 255)
    hdr = hdr.ljust(512, b"\0")
    rows_ = [planes[c][h - 1 - y] for c in range(z) for y in range(h)]  # bottom-up
    fmt = ">" + ("B" if bpc == 1 else "H") * w
    if not rle:
        return hdr + b"".join(struct.pack(fmt, *r) for r in rows_)
    enc = [sgi_rle_row(r, bpc) for r in rows_]
    starts, at = [], 512 + 8 * len(enc)
    for e in enc:
        starts.append(at)
        at += len(e)
    return hdr + struct.pack(f">{len(enc)}I", *starts) + struct.pack(f">{len(enc)}I", *map(len, enc)) + b"".join(enc)


bands = {m: rgba.convert(m) for m in ("L", "LA", "RGB", "RGBA")}
for mode, im in bands.items():
    chans = [[list(b.getdata())[y * W:(y + 1) * W] for y in range(H)] for b in im.split()]
    # Runs: the left third of every row repeats its first sample.
    for c in chans:
        for r in c:
            r[1:W // 3] = [r[0]] * (W // 3 - 1)
    want = Image.merge(mode, [Image.frombytes("L", (W, H), bytes(sum(c, []))) for c in chans]).convert("RGBA")
    add(f"sgi-rle-{mode}.sgi", sgi(chans, 1, True), want, pillow=mode != "LA")  # Pillow: no LA
    if mode in ("L", "RGB"):
        wide = [[[min(65535, v * 257 + (x * 37) % 257) for x, v in enumerate(r)] for r in c] for c in chans]
        for rle in (False, True):
            add(f"sgi-16-{'rle' if rle else 'raw'}-{mode}.sgi", sgi(wide, 2, rle), want, tol=1, pillow=True)

# XPM: one character a pixel with #RRGGBB, None and names; two characters over 300 colours
# (24-bit); #RGB and #RRRRGGGGBBBB; X11 names with spaces and the grey ramp.
idx, pal, im = indexed(6)
names = ["#%02X%02X%02X" % c for c in pal[:5]] + ["None"]
want = Image.new("RGBA", (W, H))
want.putdata([pal[i] + (255,) if i < 5 else (0, 0, 0, 0) for r in idx for i in r])
lines = ['%d %d 6 1' % (W, H)] + ['%s c %s' % (".#abc "[i], names[i]) for i in range(6)]
lines += ["".join(".#abc "[i] for i in r) for r in idx]
xpm = "/* XPM */\nstatic char *x[] = {\n/* values */\n" + ",\n".join('"%s"' % s for s in lines) + "};\n"
add("xpm-1cpp.xpm", xpm.encode(), want, pillow=True)
idx, pal, im = indexed(300)
safe = "".join(chr(c) for c in range(35, 127) if chr(c) not in "\\\"")[:64]
chars = [safe[i // 64] + safe[i % 64] for i in range(300)]
lines = ['%d %d 300 2' % (W, H)] + ['%s\tc #%02x%02x%02x' % ((chars[i],) + pal[i]) for i in range(300)]
lines += ["".join(chars[i] for i in r) for r in idx]
add("xpm-2cpp.xpm", ("/* XPM */\nstatic char *x[] = {\n" + ",\n".join('"%s"' % s for s in lines) + "};\n").encode(),
    im.convert("RGBA"))
table = [("#F00", (255, 0, 0)), ("#0000FFFF8000", (0, 255, 128)), ("light blue", (173, 216, 230)),
         ("Gray50", (127, 127, 127)), ("grey10", (26, 26, 26)), ("black", (0, 0, 0)),
         ("s sym c navy", (0, 0, 128)), ("m white c #123456", (0x12, 0x34, 0x56))]
idx, _, _ = indexed(len(table))
want = Image.new("RGBA", (W, H))
want.putdata([table[i][1] + (255,) for r in idx for i in r])
lines = ['%d %d %d 3' % (W, H, len(table))]
lines += ['x%02d %s' % (i, v if v.startswith(("s ", "m ")) else "c " + v) for i, (v, _) in enumerate(table)]
lines += ["".join('x%02d' % i for i in r) for r in idx]
add("xpm-names.xpm", ("/* XPM */\nstatic char * n_xpm[] = {\n" + ",\n".join('"%s"' % s for s in lines) + "};\n").encode(), want)

# XBM: Pillow's X11 file and an X10 one by hand. Set bits are the foreground, shown black
# (Pillow shows them white: its decode is inverted here).
bilevel = rgb.convert("L").point(lambda v: 255 if v > 100 else 0).convert("1")
saved("xbm-x11.xbm", bilevel)
add("xbm-x11.xbm", open(f"{work}/xbm-x11.xbm", "rb").read(),
    Image.eval(Image.open(f"{work}/xbm-x11.xbm").convert("L"), lambda v: 255 - v).convert("RGBA"))
bits = [[1 if bilevel.getpixel((x, y)) == 0 else 0 for x in range(W)] for y in range(H)]
words = []
for r in bits:
    packed = pack_bits(r, msb_first=False, pad_to=16)
    words += [packed[i] | packed[i + 1] << 8 for i in range(0, len(packed), 2)]
x10 = "#define x_width %d\n#define x_height %d\nstatic short x_bits[] = {\n   %s};\n" % (
    W, H, ", ".join("0x%04x" % v for v in words))
add("xbm-x10.xbm", x10.encode(), bilevel.convert("RGBA"))

# WBMP: type 0, a width past one byte of its multi-byte integers; 1 is white.
wide = picture(130, 5).convert("L").point(lambda v: 255 if v > 100 else 0).convert("1")
data = bytes([0, 0, 0x81, 0x02, 5]) + b"".join(
    pack_bits([wide.getpixel((x, y)) != 0 for x in range(130)]) for y in range(5))
add("bilevel.wbmp", data, wide.convert("RGBA"))


# Sun raster: 1 bit (1 black), 8 bits with a map and without (grey), 24 bits BGR and RGB
# (type 3), 32 bits with a pad byte first, and run-length encoded 8 and 24 bits.
def sun_rle(data):
    out, i = bytearray(), 0
    while i < len(data):
        n = 1
        while i + n < len(data) and data[i + n] == data[i] and n < 256:
            n += 1
        if n > 2 or data[i] == 0x80:
            out += bytes([0x80, n - 1, data[i]]) if n > 1 or data[i] != 0x80 else b"\x80\x00"
        else:
            out += bytes(data[i:i + n])
        i += n
    return bytes(out)


def sun(depth, rows_, kind=1, cmap=b""):
    body = b"".join(r.ljust(-(-len(r) // 2) * 2, b"\0") for r in rows_)
    if kind == 2:
        body = sun_rle(body)
    return struct.pack(">8I", 0x59A66A95, W, H, depth, len(body), kind, 1 if cmap else 0, len(cmap)) + cmap + body


add("sun-1.ras", sun(1, [pack_bits(bits[y]) for y in range(H)]),
    bilevel.convert("RGBA"), pillow=True)
idx, pal, im = indexed(40)
cmap = bytes(c[k] for k in range(3) for c in pal)
for kind in (1, 2):
    # Pillow's run-length reader takes no row padding: it is left out of the peer check.
    add(f"sun-8-map-{kind}.ras", sun(8, [bytes(r) for r in idx], kind, cmap), im.convert("RGBA"), pillow=kind == 1)
grey = rgb.convert("L")
add("sun-8-grey.ras", sun(8, [grey.tobytes()[y * W:(y + 1) * W] for y in range(H)]), grey.convert("RGBA"), pillow=True)
flat = rgb.tobytes()
line = lambda y, order, pad=b"": b"".join(pad + bytes(flat[3 * (y * W + x) + c] for c in order) for x in range(W))
for kind in (1, 2, 3):
    order = (0, 1, 2) if kind == 3 else (2, 1, 0)
    add(f"sun-24-{kind}.ras", sun(24, [line(y, order) for y in range(H)], kind), rgba.convert("RGB").convert("RGBA"), pillow=kind != 2)
add("sun-32.ras", sun(32, [line(y, (2, 1, 0), b"\x7f") for y in range(H)]), rgb.convert("RGBA"))


# Radiance HDR: flat and adaptive run-length lines, values past 1 and 0, the row and column
# orders +Y and -X.
def rgbe(v):
    import math
    m = max(v)
    if m < 1e-32:
        return (0, 0, 0, 0)
    f, e = math.frexp(m)
    s = f * 256 / m
    return tuple(int(c * s) for c in v) + (e + 128,)


hdr_values = [[((x / W) * 1.5, (y / H) ** 2, 0.02 * (x % 5)) for x in range(W)] for y in range(H)]
hdr_values[0][:8] = [(0, 0, 0)] * 8
px = [[rgbe(v) for v in r] for r in hdr_values]
shown = lambda p: tuple(display(p[c] * 2.0 ** (p[3] - 136) if p[3] else 0) for c in range(3)) + (255,)


def hdr_rle_line(r):
    out = bytearray([2, 2, W >> 8, W & 255])
    for c in range(4):
        ch = [p[c] for p in r]
        i = 0
        while i < W:
            n = 1
            while i + n < W and ch[i + n] == ch[i] and n < 127:
                n += 1
            if n > 2:
                out += bytes([128 + n, ch[i]])
                i += n
            else:
                j = min(i + 2, W)
                out += bytes([j - i]) + bytes(ch[i:j])
                i = j
    return bytes(out)


for name, res, flip_y, flip_x, rle in (("hdr-flat", "-Y %d +X %d", False, False, False),
                                       ("hdr-rle", "-Y %d +X %d", False, False, True),
                                       ("hdr-bottom-up", "+Y %d +X %d", True, False, True),
                                       ("hdr-mirror", "-Y %d -X %d", False, True, False)):
    stored = [list(reversed(r)) if flip_x else r for r in (reversed(px) if flip_y else px)]
    body = b"".join(hdr_rle_line(r) if rle else b"".join(bytes(p) for p in r) for r in stored)
    head = "#?RADIANCE\n# made for the table\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=2.0\n\n" + res % (H, W) + "\n"
    want = Image.new("RGBA", (W, H))
    want.putdata([shown(p) for r in px for p in r])
    add(name + ".hdr", head.encode() + body, want)

# PFM: colour little-endian, grey big-endian; rows from the bottom up.
for name, magic, chans, scale, order in (("pfm-rgb", "PF", 3, -1.0, "<"), ("pfm-grey", "Pf", 1, 2.5, ">")):
    vals = [[tuple(hdr_values[y][x][:chans]) for x in range(W)] for y in range(H)]
    body = b"".join(struct.pack(f"{order}{W * chans}f", *sum(vals[y], ())) for y in reversed(range(H)))
    want = Image.new("RGBA", (W, H))
    want.putdata([tuple(display(v[c % chans]) for c in range(3)) + (255,) for r in vals for v in r])
    add(name + ".pfm", f"{magic}\n{W} {H}\n{scale}\n".encode() + body, want)


def worst(a, b):
    if a.size != b.size:
        return 999
    return max(max(abs(p - q) for p, q in zip(pa, pb)) for pa, pb in zip(a.getdata(), b.getdata()))


failures = []
largest = 0
for name, frames_, tol, pillow in rows:
    path = f"{work}/{name}"
    if pillow:  # the hand writer checked against a peer reader
        try:
            peer = Image.open(path).convert("RGBA")
            if worst(peer, frames_[0]) > tol:
                failures.append(f"{name}: Pillow's decode differs from the picture written by {worst(peer, frames_[0])}")
        except Exception as e:
            failures.append(f"{name}: Pillow cannot read the file written: {e}")
    info = zem("info", path).stdout
    for i, want in enumerate(frames_):
        out = f"{path}.{i}.png"
        r = zem("decode", path, "-o", out, "-y", "--image", str(i))
        if r.returncode != 0:
            failures.append(f"{name} frame {i}: decode failed: {r.stderr.strip()}")
            continue
        got = Image.open(out).convert("RGBA")
        d = worst(got, want)
        largest = max(largest, d)
        if d > tol:
            failures.append(f"{name} frame {i}: {got.size} vs {want.size}, differs by {d}")
        if i == 0:
            depth = r.stdout.split("-bit DIB")[0].rsplit(" ", 1)[-1]
            for text in (f"size:          {got.size[0]} x {got.size[1]}", f"depth:         {depth} bit",
                         f"frame count:   {len(frames_)}"):
                if text not in info:
                    failures.append(f"{name}: info disagrees with the picture read ({text!r} not in {info!r})")
    r = zem("decode", path, "-o", f"{path}.past.png", "-y", "--image", str(len(frames_)))
    if r.returncode == 0:
        failures.append(f"{name}: frame {len(frames_)} past the last one decoded")

print(f"{len(rows)} files, {sum(len(r[1]) for r in rows)} pictures; largest difference: {largest}")
for f in failures:
    print("FAIL", f)
sys.exit(1 if failures else 0)
