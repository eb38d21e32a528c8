#!/usr/bin/env python3
"""Writes the PNG fixtures of the skin tests with Python's zlib.

Sample values follow formulas the tests repeat:
  red = (x*40 + y*7) & 255, green = (y*50 + x*3) & 255, blue = (x*y*11) & 255,
  alpha = (x*30 + y*60) & 255, grey16 = (x*4099 + y*771) & 65535,
  grey2 = (x + y) & 3, index4 = (x + 2*y) % 6.
Row y is filtered with filter type y % 5.
"""
import struct
import zlib

ADAM7 = [(0, 0, 8, 8), (0, 4, 8, 8), (4, 0, 8, 4), (0, 2, 4, 4), (2, 0, 4, 2), (0, 1, 2, 2), (1, 0, 2, 1)]


def chunk(name, data):
    return struct.pack(">I", len(data)) + name + data + struct.pack(">I", zlib.crc32(name + data) & 0xFFFFFFFF)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filt(ftype, raw, prior, bpp):
    out = bytearray()
    for i, v in enumerate(raw):
        left = raw[i - bpp] if i >= bpp else 0
        up = prior[i]
        ul = prior[i - bpp] if i >= bpp else 0
        pred = [0, left, up, (left + up) // 2, paeth(left, up, ul)][ftype]
        out.append((v - pred) & 255)
    return bytes([ftype]) + bytes(out)


def pack_bits(samples, depth):
    out, acc, n = bytearray(), 0, 0
    for s in samples:
        acc = (acc << depth) | s
        n += depth
        if n == 8:
            out.append(acc)
            acc, n = 0, 0
    if n:
        out.append(acc << (8 - n))
    return bytes(out)


def pixel_bytes(kind, x, y):
    r, g, b = (x * 40 + y * 7) & 255, (y * 50 + x * 3) & 255, (x * y * 11) & 255
    a = (x * 30 + y * 60) & 255
    if kind == "rgb8":
        return [r, g, b]
    if kind == "rgba8":
        return [r, g, b, a]
    if kind == "gray16":
        v = (x * 4099 + y * 771) & 65535
        return [v >> 8, v & 255]
    if kind == "graya8":
        return [r, a]
    raise ValueError(kind)


def image(kind, w, h, interlace=False, idat_split=None, extra=b"", level=9):
    ct, depth, bpp = {"rgb8": (2, 8, 3), "rgba8": (6, 8, 4), "gray16": (0, 16, 2), "graya8": (4, 8, 2),
                      "gray2": (0, 2, 1), "pal4": (3, 4, 1)}[kind]
    passes = ADAM7 if interlace else [(0, 0, 1, 1)]
    data = bytearray()
    for (ry, cx, sy, sx) in passes:
        cols = list(range(cx, w, sx))
        if not cols:
            continue
        rows = list(range(ry, h, sy))
        prior = None
        for y in rows:
            if kind == "gray2":
                raw = pack_bits([(x + y) & 3 for x in cols], 2)
            elif kind == "pal4":
                raw = pack_bits([(x + 2 * y) % 6 for x in cols], 4)
            else:
                raw = bytes(v for x in cols for v in pixel_bytes(kind, x, y))
            if prior is None:
                prior = bytes(len(raw))
            data += filt(y % 5, raw, prior, bpp)
            prior = raw
    z = zlib.compress(bytes(data), level)
    ihdr = struct.pack(">IIBBBBB", w, h, depth, ct, 0, 0, 1 if interlace else 0)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra
    if idat_split:
        pos = 0
        for n in idat_split:
            out += chunk(b"IDAT", z[pos:pos + n])
            pos += n
        out += chunk(b"IDAT", z[pos:])
    else:
        out += chunk(b"IDAT", z)
    return out + chunk(b"IEND", b"")


def write(name, data):
    with open(name, "wb") as f:
        f.write(data)


palette = bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0, 0, 255, 255, 17, 34, 51])
write("rgb8.png", image("rgb8", 7, 6))
write("rgb8_split.png", image("rgb8", 7, 6, idat_split=[5, 20]))
write("rgba8_adam7.png", image("rgba8", 9, 10, interlace=True))
write("rgba8_1x1_adam7.png", image("rgba8", 1, 1, interlace=True))
write("gray16.png", image("gray16", 5, 4))
write("graya8.png", image("graya8", 6, 3))
write("gray2.png", image("gray2", 7, 3))
write("gray2_adam7.png", image("gray2", 7, 3, interlace=True))
write("pal4_trns.png", image("pal4", 5, 4, extra=chunk(b"PLTE", palette) + chunk(b"tRNS", bytes([255, 0, 255]))))
meta = (chunk(b"gAMA", struct.pack(">I", 100000)) + chunk(b"pHYs", struct.pack(">IIB", 2835, 2836, 1)) +
        chunk(b"tIME", struct.pack(">HBBBBB", 2024, 3, 7, 21, 5, 3)) + chunk(b"tEXt", b"Title\x00Skin sample") +
        chunk(b"zTXt", b"Comment\x00\x00" + zlib.compress(b"packed text " * 20)) + chunk(b"vpAg", b"\x01\x02\x03"))
write("meta.png", image("rgb8", 2, 2, extra=meta))
