#!/usr/bin/env python3
"""Makes a 4096x4096 BC7 DDS of random blocks (every mode and partition) and times Pillow's
decode of it. Usage: dds_bench.py OUTDIR; writes bc7.dds and pillow.txt (the best of three
decodes, in seconds). Exits with 77 without Pillow."""
import os
import random
import struct
import sys
import time

try:
    from PIL import Image
except ImportError:
    sys.exit(77)

side = 4096
rng = random.Random(7)
blocks = bytearray(rng.randbytes(side * side))  # 16 bytes a 4x4 block
for i in range(0, len(blocks), 16):
    mode = i // 16 % 8
    blocks[i] = (blocks[i] >> (mode + 1) << (mode + 1)) | (1 << mode)
head = b"DDS " + struct.pack("<7I", 124, 0x1007, side, side, 0, 0, 0) + b"\0" * 44
head += struct.pack("<II4s5I", 32, 4, b"DX10", 0, 0, 0, 0, 0) + struct.pack("<5I", 0x1000, 0, 0, 0, 0)
head += struct.pack("<5I", 98, 3, 0, 1, 0)
path = os.path.join(sys.argv[1], "bc7.dds")
with open(path, "wb") as f:
    f.write(head + bytes(blocks))
best = None
for _ in range(3):
    start = time.perf_counter()
    with Image.open(path) as im:
        im.load()
    t = time.perf_counter() - start
    best = t if best is None else min(best, t)
with open(os.path.join(sys.argv[1], "pillow.txt"), "w") as f:
    f.write(f"{best}\n")
