#!/usr/bin/python3
"""Pictures upright and in sRGB: one table over pictures written here with Pillow.

Every EXIF orientation in JPEG, TIFF, PNG and WebP, P3, Adobe RGB and grey-profile JPEG and
PNG files, and PNG files whose colours are described by cICP codes (P3 with gamma 2.2, BT.2020
linear), a JPEG 2000 file with a profile in its colr box and a PSD file with one in resource
1039, are decoded by zemhost (which asks imgsrc for the picture upright and in sRGB) and with
--as-stored. Asked, each must equal Pillow's ImageOps.exif_transpose and, for the colours,
ImageCms.profileToProfile to sRGB (perceptual), within 2; as stored, Pillow's plain decode
within 2. zemhost info must give the size of the picture read and name the orientation and the
profile. The profiles are built with lcms2's cmsCreateRGBProfile (Pillow makes only sRGB).

Formats that this Pillow does not read (JPEG XL, AVIF: P3 on a gamma 2.2 curve in JPEG XL's
colour encoding and in an nclx property, nclx codes left unspecified, a JPEG XL picture stored
sideways) come from the program that $ZEM_COLOUR_FIXTURES names, when it is there: asked, they
must equal zemhost's own picture as stored, turned and converted by Pillow.

Usage: orientation_table.py WORKDIR ZEMHOST [EMULATOR...]   (exit 77: skipped)
"""
import ctypes
import ctypes.util
import io
import os
import struct
import subprocess
import sys
import zlib

try:
    from PIL import Image, ImageCms, ImageOps
except ImportError:
    print("SKIPPED: Pillow (python3-pil) is not installed")
    sys.exit(77)

work, zemhost, emulator = sys.argv[1], sys.argv[2], sys.argv[3:]
os.makedirs(work, exist_ok=True)


def host_path(path):
    # Under Wine, drive Z: is the Unix root.
    return "Z:" + path.replace("/", "\\") if emulator else path


def zem(*args):
    cmd = emulator + [zemhost] + [host_path(a) if a.startswith("/") else a for a in args]
    return subprocess.run(cmd, capture_output=True, text=True)


class Xy(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("Y", ctypes.c_double)]


def make_profile(name, white, primaries, gamma):
    lib = ctypes.CDLL(ctypes.util.find_library("lcms2") or "liblcms2.so.2")
    lib.cmsBuildGamma.restype = lib.cmsCreateRGBProfile.restype = ctypes.c_void_p
    lib.cmsCreateGrayProfile.restype = lib.cmsMLUalloc.restype = ctypes.c_void_p
    curve = ctypes.c_void_p(lib.cmsBuildGamma(None, ctypes.c_double(gamma)))
    wp = Xy(*white, 1.0)
    if primaries:
        triple = (Xy * 3)(*[Xy(x, y, 1.0) for x, y in primaries])
        h = lib.cmsCreateRGBProfile(ctypes.byref(wp), triple, (ctypes.c_void_p * 3)(curve, curve, curve))
    else:
        h = lib.cmsCreateGrayProfile(ctypes.byref(wp), curve)
    mlu = ctypes.c_void_p(lib.cmsMLUalloc(None, 1))
    lib.cmsMLUsetASCII(mlu, b"en", b"US", name.encode())
    lib.cmsWriteTag(ctypes.c_void_p(h), 0x64657363, mlu)  # 'desc'
    size = ctypes.c_uint32(0)
    lib.cmsSaveProfileToMem(ctypes.c_void_p(h), None, ctypes.byref(size))
    buf = ctypes.create_string_buffer(size.value)
    lib.cmsSaveProfileToMem(ctypes.c_void_p(h), buf, ctypes.byref(size))
    lib.cmsCloseProfile(ctypes.c_void_p(h))
    return buf.raw


D65 = (0.3127, 0.3290)
PROFILES = {
    "p3": make_profile("Display P3 (test)", D65, [(0.680, 0.320), (0.265, 0.690), (0.150, 0.060)], 2.4),
    "adobe": make_profile("Adobe RGB (test)", D65, [(0.64, 0.33), (0.21, 0.71), (0.15, 0.06)], 2.19921875),
    "grey": make_profile("Grey gamma 1.8 (test)", D65, None, 1.8),
    # What PNG's cICP codes (primaries, transfer, 0, 1) describe, for the rows below.
    "cicp-p3": make_profile("P3 gamma 2.2", D65, [(0.680, 0.320), (0.265, 0.690), (0.150, 0.060)], 2.2),
    "cicp-2020": make_profile("BT.2020 linear", D65, [(0.708, 0.292), (0.170, 0.797), (0.131, 0.046)], 1.0),
}
CICP = {"cicp-p3": bytes([12, 4, 0, 1]), "cicp-2020": bytes([9, 8, 0, 1])}


def base(mode, w=37, h=22):
    # Every pixel different and no symmetry, so any wrong turn shows.
    im = Image.new("RGBA", (w, h))
    im.putdata([(x * 7 % 256, y * 11 % 256, (x * y * 3 + 40) % 256, 255 - x * 3) for y in range(h) for x in range(w)])
    if mode == "1":
        return im.convert("L").point(lambda v: 255 if v > 100 else 0).convert("1")
    if mode == "P":
        return im.convert("RGB").quantize(16)  # a 4-bit DIB
    return im.convert(mode)


def exif(o):
    e = Image.Exif()
    e[0x0112] = o
    return e.tobytes()


rows = []  # (file name, colour profile key or None, expected orientation)
stored = {}  # TIFF: the pixels written (Pillow's TIFF reader turns pictures as it loads them)
# Each format in a mix of layouts: 24-bit (JPEG, WebP), 32-bit with alpha and 4-bit indexed
# (PNG), 1-bit and 8-bit (TIFF), so that every pixel size is turned.
for o in range(1, 9):
    name = "o%d" % o
    base("RGB").save(f"{work}/{name}.jpg", quality=95, subsampling=0, exif=exif(o))
    base("RGBA" if o % 2 else "P").save(f"{work}/{name}.png", exif=exif(o))
    base("RGB").save(f"{work}/{name}.webp", lossless=True, exif=exif(o))
    stored[f"{name}.tif"] = base("1" if o <= 4 else "L")
    stored[f"{name}.tif"].save(f"{work}/{name}.tif", tiffinfo={274: o})
    rows += [(f"{name}.{ext}", None, o) for ext in ("jpg", "png", "webp", "tif")]
for key, icc in PROFILES.items():
    if key in CICP:
        # Colours described by CICP codes instead of a profile (PNG only; Pillow writes no
        # cICP chunk, so it goes in before IDAT here).
        out = io.BytesIO()
        base("RGB").save(out, "PNG")
        png = out.getvalue()
        at = png.index(b"IDAT") - 4
        body = b"cICP" + CICP[key]
        chunk = struct.pack(">I", 4) + body + struct.pack(">I", zlib.crc32(body))
        with open(f"{work}/{key}.png", "wb") as f:
            f.write(png[:at] + chunk + png[at:])
        rows.append((f"{key}.png", key, 0))
        continue
    # 201 pixels wide: rows that the vector conversion takes 128 and 64 pixels at a time,
    # then the portable loop finishes.
    mode = "L" if key == "grey" else "RGB"
    base(mode, 201).save(f"{work}/{key}.jpg", quality=95, subsampling=0, icc_profile=icc)
    base(mode, 201).save(f"{work}/{key}.png", icc_profile=icc)
    rows += [(f"{key}.jpg", key, 0), (f"{key}.png", key, 0)]
# Alpha kept through the conversion, with a turn as well.
base("RGBA", 201).save(f"{work}/p3-alpha.png", icc_profile=PROFILES["p3"], exif=exif(6))
rows.append(("p3-alpha.png", "p3", 6))


# JPEG 2000 (lossless): Pillow's enumerated sRGB colr box becomes one with the profile.
out = io.BytesIO()
base("RGB").save(out, "JPEG2000", no_jp2=False)
jp2, srgb_colr = out.getvalue(), struct.pack(">I", 15) + b"colr\x01\x00\x00" + struct.pack(">I", 16)
colr = struct.pack(">I", 11 + len(PROFILES["p3"])) + b"colr\x02\x00\x00" + PROFILES["p3"]
at = jp2.index(b"jp2h") - 4
jp2h = struct.pack(">I", struct.unpack(">I", jp2[at:at + 4])[0] + len(colr) - 15)
with open(f"{work}/p3.jp2", "wb") as f:
    f.write((jp2[:at] + jp2h + jp2[at + 4:]).replace(srgb_colr, colr))
rows.append(("p3.jp2", "p3", 0))

# PSD: an RGB picture, raw planes, the profile in image resource 1039 after a resource whose
# name and data need padding.


def resource(rid, name, data):
    pascal = bytes([len(name)]) + name + b"\0" * (1 - len(name) % 2)
    return b"8BIM" + struct.pack(">H", rid) + pascal + struct.pack(">I", len(data)) + data + b"\0" * (len(data) & 1)


im = base("RGB")
resources = resource(1005, b"ab", b"odd") + resource(1039, b"", PROFILES["adobe"])
psd = (b"8BPS" + struct.pack(">H6xHIIHH", 1, 3, im.size[1], im.size[0], 8, 3) + struct.pack(">I", 0) +
       struct.pack(">I", len(resources)) + resources + struct.pack(">IH", 0, 0) +
       b"".join(c.tobytes() for c in im.split()))
with open(f"{work}/adobe.psd", "wb") as f:
    f.write(psd)
rows.append(("adobe.psd", "adobe", 0))

# Rows whose expectation is zemhost's own picture as stored, turned and converted by Pillow.
from_stored = {}
writer = os.environ.get("ZEM_COLOUR_FIXTURES", "")
if writer and os.path.exists(writer):
    with open(f"{work}/p3.icc", "wb") as f:
        f.write(PROFILES["p3"])
    made = subprocess.run([writer, work, f"{work}/p3.icc"], capture_output=True, text=True)
    if made.returncode != 0:
        print("FAIL make_colour_fixtures:", made.stderr.strip())
        sys.exit(1)
    for name in made.stdout.split():
        if emulator and name.endswith(".avif"):
            continue  # Windows reads AVIF through its own decoders (none under Wine)
        key = "p3" if name.startswith("icc-") else "cicp-p3" if name.startswith("p3") else None
        o = 6 if "-o6" in name else 0
        rows.append((name, key, o))
        from_stored[name] = o
else:
    print(f"no colour fixture writer ({writer or 'ZEM_COLOUR_FIXTURES unset'}): JPEG XL and AVIF rows left out")

srgb = ImageCms.createProfile("sRGB")


TURN = {2: Image.Transpose.FLIP_LEFT_RIGHT, 3: Image.Transpose.ROTATE_180, 4: Image.Transpose.FLIP_TOP_BOTTOM,
        5: Image.Transpose.TRANSPOSE, 6: Image.Transpose.ROTATE_270, 7: Image.Transpose.TRANSVERSE,
        8: Image.Transpose.ROTATE_90}


def expected(path, key, upright):
    name = os.path.basename(path)
    im = Image.open(f"{path}.stored.png" if name in from_stored else path)
    im.load()
    if name in from_stored:
        if upright and from_stored[name] in TURN:
            im = im.transpose(TURN[from_stored[name]])
    elif name in stored:
        # Pillow's TIFF reader applies the orientation itself when it loads the picture.
        im = im if upright else stored[name]
    elif upright:
        im = ImageOps.exif_transpose(im)
    mode = "RGBA" if im.mode in ("RGBA", "LA") or "transparency" in im.info else "RGB"
    im = im.convert(mode) if im.mode not in ("L", mode) else im
    if key and upright:
        prof = ImageCms.ImageCmsProfile(io.BytesIO(PROFILES[key]))
        im = ImageCms.profileToProfile(im, prof, srgb, renderingIntent=0, outputMode=mode)
    return im.convert(mode)


def worst(a, b):
    if a.size != b.size:
        return 999
    return max(max(abs(p - q) for p, q in zip(pa, pb)) if isinstance(pa, tuple) else abs(pa - pb)
               for pa, pb in zip(a.getdata(), b.getdata()))


failures = []
largest = {}  # the largest difference from Pillow, by kind of row
for name, key, o in rows:
    path = f"{work}/{name}"
    for upright in (False, True):  # as stored first: some rows expect it, turned and converted
        out = f"{work}/{name}.{'upright' if upright else 'stored'}.png"
        args = ["decode", path, "-o", out, "-y"] + ([] if upright else ["--as-stored"])
        r = zem(*args)
        if r.returncode != 0:
            failures.append(f"{name}: decode {'' if upright else '--as-stored '}failed: {r.stderr.strip()}")
            continue
        want = expected(path, key, upright)
        got = Image.open(out).convert(want.mode)
        d = worst(got, want)
        kind = ("colour" if key else "orientation") if upright else "as stored"
        largest[kind] = max(largest.get(kind, 0), d)
        if d > 2:
            failures.append(f"{name} {'upright/sRGB' if upright else 'as stored'}: "
                            f"{got.size} vs {want.size}, differs by {d}")
        if name.endswith(".jpg") and not key:
            # The preview (here the picture itself, reduced to nothing) is turned alike.
            r = zem(*(args[:3] + [out + ".preview.png", "-y", "--preview"] + args[5:]))
            seen = Image.open(out + ".preview.png").convert(want.mode) if r.returncode == 0 else None
            if seen is None or worst(seen, want) > 2:
                failures.append(f"{name}: the preview is not turned as the picture is")
        info = zem(*(["info", path] + ([] if upright else ["--as-stored"])))
        size = f"size:          {got.size[0]} x {got.size[1]}"
        if size not in info.stdout:
            failures.append(f"{name}: info disagrees with the picture read ({size!r} not in {info.stdout!r})")
        # (zemhost reads JPEG XL's description through no library of its own.)
        if upright and o > 1 and name not in from_stored and f"orientation:   {o} " not in info.stdout:
            failures.append(f"{name}: info names no orientation {o}")
        if upright and key and not name.endswith(".jxl") and \
                ("CICP" if key in CICP else "(test)") not in info.stdout.split("profile:", 1)[-1]:
            failures.append(f"{name}: info names no profile")

print(f"{len(rows)} files, {2 * len(rows)} reads; largest difference from Pillow: {largest}")
for f in failures:
    print("FAIL", f)
sys.exit(1 if failures else 0)
