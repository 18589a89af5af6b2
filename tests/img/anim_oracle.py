#!/usr/bin/env python3
"""Makes animated GIF, PNG and WebP files with Pillow and writes Pillow's composited frames.

Usage: anim_oracle.py OUTDIR. Writes OUTDIR/NAME (the file), OUTDIR/NAME.N.rgba (frame N, RGBA
rows top-down) and OUTDIR/manifest.txt ("NAME WIDTH HEIGHT FRAMES RULE" a line; RULE "pillow" or
"browser" where Pillow paints the screen outside a partial first GIF image with the background
colour, which browsers leave transparent). Exits 77 when Pillow
is missing. Covers every GIF disposal, APNG disposal and blend, a partial first frame, a default
PNG image outside the animation, and a last frame whose data is cut short.
"""
import io
import os
import sys

try:
    from PIL import Image, ImageFile, ImageDraw
except ImportError:
    sys.exit(77)

W, H = 40, 30


def frame(i, mode="RGBA", hole=False):
    im = Image.new(mode, (W, H), (20 * i % 256, 60, 200 - 10 * i, 255)[: len(mode)])
    d = ImageDraw.Draw(im)
    d.rectangle((3 + 3 * i, 2 + i, 18 + 3 * i, 12 + 2 * i), fill=(250, 30 * i % 256, 40, 255)[: len(mode)])
    if hole:  # a fully transparent window, so that blending and disposal show through
        d.rectangle((5, 15, 25, 25), fill=(0, 0, 0, 0))
    return im


def gif_files():
    out = {}
    for disposal in range(4):
        frames = [frame(i, "RGB").convert("P", palette=Image.ADAPTIVE, colors=16) for i in range(5)]
        buf = io.BytesIO()
        frames[0].save(buf, "GIF", save_all=True, append_images=frames[1:], disposal=disposal,
                       optimize=False, transparency=0, duration=50)
        out["dispose%d.gif" % disposal] = buf.getvalue()
    # A partial first frame on a larger screen: written by hand from a small Pillow GIF.
    small = frame(1, "RGB").resize((20, 10)).convert("P", palette=Image.ADAPTIVE, colors=8)
    second = frame(2, "RGB").convert("P", palette=Image.ADAPTIVE, colors=8)
    buf = io.BytesIO()
    second.save(buf, "GIF", save_all=True, append_images=[second], disposal=1)
    data = bytearray(buf.getvalue())
    buf1 = io.BytesIO()
    small.save(buf1, "GIF")
    one = buf1.getvalue()
    # Take the small image's descriptor and data, placed at (7, 9), as the first image.
    pos = one.index(b"\x2c")
    img = bytearray(one[pos:-1])
    img[1:5] = bytes([7, 0, 9, 0])
    # Give it a local colour table if the small file's palette is global.
    gflags = one[10]
    if gflags & 0x80:
        gsize = 3 << ((gflags & 7) + 1)
        table = one[13:13 + gsize]
        img[9] = 0x80 | (gflags & 7) | (img[9] & 0x40)
        img = img[:10] + table + img[10:]
    start = data.index(b"\x21\xf9")
    out["partial_first.gif"] = bytes(data[:start] + b"\x21\xf9\x04\x04\x05\x00\x00\x00" + img + data[start:])
    # The last image cut inside its data.
    full = out["dispose1.gif"]
    out["cut_last.gif"] = full[: len(full) - 40]
    return out


def png_files():
    out = {}
    for dispose in range(3):
        for blend in range(2):
            frames = [frame(i, hole=i % 2 == 1) for i in range(4)]
            buf = io.BytesIO()
            frames[0].save(buf, "PNG", save_all=True, append_images=frames[1:], disposal=dispose,
                           blend=blend, duration=40)
            out["apng_d%d_b%d.png" % (dispose, blend)] = buf.getvalue()
    frames = [frame(i, hole=True) for i in range(4)]
    buf = io.BytesIO()
    frames[0].save(buf, "PNG", save_all=True, append_images=frames[1:], default_image=True,
                   disposal=[0, 1, 2], blend=[0, 1, 1])
    out["apng_default.png"] = buf.getvalue()
    buf = io.BytesIO()
    frames[0].save(buf, "PNG", save_all=True, append_images=frames[1:], disposal=0, blend=1)
    data = buf.getvalue()
    cut = data.rindex(b"fdAT")  # the last frame's data, cut short in its middle
    length = int.from_bytes(data[cut - 4:cut], "big")
    out["apng_cut_last.png"] = data[: cut + 8 + length // 2]
    return out


def webp_files():
    out = {}
    frames = [frame(i, hole=i % 2 == 0) for i in range(5)]
    for lossless in (False, True):
        buf = io.BytesIO()
        frames[0].save(buf, "WEBP", save_all=True, append_images=frames[1:], lossless=lossless,
                       quality=90, duration=40)
        out["anim_%s.webp" % ("lossless" if lossless else "lossy")] = buf.getvalue()
    return out


def main():
    outdir = sys.argv[1]
    ImageFile.LOAD_TRUNCATED_IMAGES = True
    files = {}
    files.update(gif_files())
    files.update(png_files())
    files.update(webp_files())
    with open(os.path.join(outdir, "manifest.txt"), "w") as manifest:
        for name, data in sorted(files.items()):
            with open(os.path.join(outdir, name), "wb") as f:
                f.write(data)
            im = Image.open(io.BytesIO(data))
            n = getattr(im, "n_frames", 1)
            for i in range(n):
                im.seek(i)
                with open(os.path.join(outdir, "%s.%d.rgba" % (name, i)), "wb") as f:
                    f.write(im.convert("RGBA").tobytes())
            rule = "browser" if name == "partial_first.gif" else "pillow"
            manifest.write("%s %d %d %d %s\n" % (name, im.size[0], im.size[1], n, rule))


if __name__ == "__main__":
    main()
