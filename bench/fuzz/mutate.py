#!/usr/bin/env python3
"""Writes mutated copies of image files for the robustness run of bench/fuzz/run_tools.sh.

Three kinds per input: cut at a random point, random bytes changed in the first 4 KiB, and the
image size in the header set to a huge value (JPEG SOF, TIFF ImageWidth/ImageLength, PSD/PSB
header, PNG IHDR; KRO width, height, depth or channels). The seed makes a run repeatable.
"""
import os
import random
import struct
import sys


def truncated(data, rng):
    return data[: rng.randrange(1, max(2, len(data)))]


def flipped(data, rng):
    out = bytearray(data)
    span = min(len(out), 4096)
    for _ in range(rng.randint(1, 16)):
        out[rng.randrange(span)] = rng.randrange(256)
    return bytes(out)


def jpeg_huge(data, rng):
    out = bytearray(data)
    i = 2
    while i + 9 < len(out):
        if out[i] != 0xFF:
            return None
        marker = out[i + 1]
        length = struct.unpack(">H", out[i + 2 : i + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB):
            which = rng.choice(("h", "w", "both"))
            if which in ("h", "both"):
                out[i + 5 : i + 7] = b"\xff\xff"
            if which in ("w", "both"):
                out[i + 7 : i + 9] = b"\xff\xff"
            return bytes(out)
        i += 2 + length
    return None


def tiff_huge(data, rng):
    if len(data) < 16 or data[:2] not in (b"II", b"MM"):
        return None
    e = "<" if data[:2] == b"II" else ">"
    magic = struct.unpack(e + "H", data[2:4])[0]
    out = bytearray(data)
    if magic == 42:
        ifd = struct.unpack(e + "I", data[4:8])[0]
        if ifd + 2 > len(data):
            return None
        count = struct.unpack(e + "H", data[ifd : ifd + 2])[0]
        entry, size = ifd + 2, 12
        value_at = 8
    elif magic == 43:
        ifd = struct.unpack(e + "Q", data[8:16])[0]
        if ifd + 8 > len(data):
            return None
        count = struct.unpack(e + "Q", data[ifd : ifd + 8])[0]
        entry, size = ifd + 8, 20
        value_at = 12
    else:
        return None
    wanted = rng.choice(((256,), (257,), (256, 257), (278,)))
    hit = False
    for k in range(min(count, 512)):
        at = entry + k * size
        if at + size > len(out):
            break
        tag, typ = struct.unpack(e + "HH", out[at : at + 4])
        if tag in wanted:
            if typ == 3:
                out[at + value_at : at + value_at + 2] = struct.pack(e + "H", 0xFFFF)
            elif typ == 4:
                out[at + value_at : at + value_at + 4] = struct.pack(e + "I", 0xFFFFFFF0)
            elif typ == 16:
                out[at + value_at : at + value_at + 8] = struct.pack(e + "Q", 0xFFFFFFF0)
            hit = True
    return bytes(out) if hit else None


def psd_huge(data, rng):
    if len(data) < 26 or data[:4] != b"8BPS":
        return None
    out = bytearray(data)
    value = rng.choice((0x7FFFFFFF, 0xFFFFFFFF, 300000, 30001))
    which = rng.choice(("h", "w", "both", "channels"))
    if which in ("h", "both"):
        out[14:18] = struct.pack(">I", value)
    if which in ("w", "both"):
        out[18:22] = struct.pack(">I", value)
    if which == "channels":
        out[12:14] = struct.pack(">H", rng.choice((0, 57, 0xFFFF)))
    return bytes(out)


def png_huge(data, rng):
    if len(data) < 33 or data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    out = bytearray(data)
    value = rng.choice((0x7FFFFFFF, 0xFFFFFFFF, 1000000, 65536))
    which = rng.choice(("h", "w", "both"))
    if which in ("w", "both"):
        out[16:20] = struct.pack(">I", value)
    if which in ("h", "both"):
        out[20:24] = struct.pack(">I", value)
    return bytes(out)  # the IHDR CRC is left stale on purpose: readers must cope either way


def kro_huge(data, rng):
    if len(data) < 20 or data[:3] != b"KRO":
        return None
    out = bytearray(data)
    field = rng.choice((4, 8, 12, 16))  # width, height, depth, channels
    out[field : field + 4] = struct.pack(">I", rng.choice((0x7FFFFFFF, 0xFFFFFFFF, 65536, 16, 5)))
    return bytes(out)


def huge(data, rng):
    for f in (jpeg_huge if data[:2] == b"\xff\xd8" else None, tiff_huge, psd_huge, png_huge,
              kro_huge):
        if f:
            out = f(data, rng)
            if out is not None:
                return out
    return None


def main():
    if len(sys.argv) < 4:
        sys.exit("usage: mutate.py OUTDIR SEED COPIES_PER_KIND FILE...")
    outdir, seed, copies = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    os.makedirs(outdir, exist_ok=True)
    for path in sys.argv[4:]:
        with open(path, "rb") as f:
            data = f.read()
        base, ext = os.path.splitext(os.path.basename(path))
        for n in range(copies):
            for kind, fn in (("cut", truncated), ("flip", flipped), ("huge", huge)):
                out = fn(data, rng)
                if out is None:
                    continue
                name = os.path.join(outdir, "%s.%s%d.%d%s" % (base, kind, seed, n, ext))
                with open(name, "wb") as f:
                    f.write(out)
                print(name)


if __name__ == "__main__":
    main()
