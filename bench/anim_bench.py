#!/usr/bin/env python3
"""Makes the stepping benchmark's animations with Pillow and times Pillow iterating them.

Usage: anim_bench.py OUTDIR. Writes step.gif (100 frames of 640x360, the later ones partial),
step.webp and step.png (40 frames each, APNG) and pillow.txt ("NAME SECONDS FRAMES" a line: the
time Pillow takes to open the file and composite every frame in order). Exits 77 without Pillow.
"""
import io
import os
import random
import sys
import time

try:
    from PIL import Image, ImageDraw
except ImportError:
    sys.exit(77)


def frames(count, w, h):
    rng = random.Random(7)
    base = Image.new("RGB", (w, h))
    d = ImageDraw.Draw(base)
    for _ in range(300):  # a busy background, so that the first frame costs what photos cost
        x, y = rng.randrange(w), rng.randrange(h)
        d.ellipse((x, y, x + rng.randrange(8, 80), y + rng.randrange(8, 60)),
                  fill=(rng.randrange(256), rng.randrange(256), rng.randrange(256)))
    out = []
    for i in range(count):
        im = base.copy()
        d = ImageDraw.Draw(im)
        x = (i * 11) % (w - 120)
        d.rectangle((x, 100, x + 120, 220), fill=(250, 40, 40))
        d.ellipse((w - 200, (i * 7) % (h - 80), w - 120, (i * 7) % (h - 80) + 80), fill=(20, 200, 90))
        out.append(im)
    return out


def main():
    outdir = sys.argv[1]
    files = {}
    gif = [f.convert("P", palette=Image.ADAPTIVE, colors=256) for f in frames(100, 640, 360)]
    buf = io.BytesIO()
    gif[0].save(buf, "GIF", save_all=True, append_images=gif[1:], duration=40)
    files["step.gif"] = buf.getvalue()
    small = frames(40, 640, 360)
    buf = io.BytesIO()
    small[0].save(buf, "WEBP", save_all=True, append_images=small[1:], quality=80, duration=40)
    files["step.webp"] = buf.getvalue()
    buf = io.BytesIO()
    small[0].save(buf, "PNG", save_all=True, append_images=small[1:], duration=40)
    files["step.png"] = buf.getvalue()
    with open(os.path.join(outdir, "pillow.txt"), "w") as report:
        for name, data in files.items():
            with open(os.path.join(outdir, name), "wb") as f:
                f.write(data)
            best = None
            for _ in range(3):
                start = time.perf_counter()
                im = Image.open(io.BytesIO(data))
                for i in range(im.n_frames):
                    im.seek(i)
                    im.load()
                spent = time.perf_counter() - start
                best = spent if best is None else min(best, spent)
            report.write("%s %.4f %d\n" % (name, best, im.n_frames))


if __name__ == "__main__":
    main()
