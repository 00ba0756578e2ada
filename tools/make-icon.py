#!/usr/bin/env python3
"""Draws the service's icon and writes it as a Windows .ico file.

    tools/make-icon.py OUT.ico

The icon group holds the eight images the executable carries, in this order:
32x32 at 4 bits per pixel, 16x16 at 4, 48x48 at 8, 32x32 at 8, 16x16 at 8,
48x48 at 32, 32x32 at 32, 16x16 at 32. The picture: a receiver's fix mark,
a blue disc with a white ring and cross hairs, transparent around it.

Each image is stored the way an .ico file keeps a bitmap: a 40-byte
BITMAPINFOHEADER whose height counts the colour rows and the mask rows
(twice the image's height), a palette for 4 and 8 bits per pixel, the colour
rows bottom-up, then the 1-bit transparency mask, each row padded to 4 bytes.
"""
import struct
import sys

IMAGES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]

# Palette indices, and the same colours as (blue, green, red).
CLEAR, BLUE, WHITE, EDGE = 0, 1, 2, 3
COLOURS = {CLEAR: (0, 0, 0), BLUE: (0xB0, 0x5A, 0x10), WHITE: (0xFF, 0xFF, 0xFF), EDGE: (0x60, 0x30, 0x08)}


def pixel(size, x, y):
    """The colour index at pixel (x, y), y counted from the top."""
    c = (size - 1) / 2.0
    dx, dy = x - c, y - c
    r = (dx * dx + dy * dy) ** 0.5
    outer = size * 0.47
    if r > outer:
        return CLEAR
    if r > outer - max(1.0, size / 24.0):
        return EDGE
    ring = size * 0.27
    line = max(0.5, size / 32.0)
    if abs(r - ring) <= line or abs(dx) <= line or abs(dy) <= line:
        return WHITE
    return BLUE


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def image(size, bpp):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 0, 0)
    palette = b""
    if bpp <= 8:
        entries = [COLOURS[i] for i in sorted(COLOURS)]
        entries += [(0, 0, 0)] * ((1 << bpp) - len(entries))
        palette = b"".join(struct.pack("BBBB", b, g, r, 0) for b, g, r in entries)
    colour = b""
    mask = b""
    for y in reversed(range(size)):  # bottom-up
        indices = [pixel(size, x, y) for x in range(size)]
        if bpp == 4:
            row = bytes((indices[x] << 4) | indices[x + 1] for x in range(0, size, 2))
        elif bpp == 8:
            row = bytes(indices)
        else:
            row = b"".join(struct.pack("BBBB", *COLOURS[i], 0 if i == CLEAR else 0xFF) for i in indices)
        colour += row.ljust(row_bytes(size * bpp), b"\0")
        bits = 0
        for x, i in enumerate(indices):
            if i == CLEAR:
                bits |= 1 << (size - 1 - x)
        mask += bits.to_bytes(size // 8, "big").ljust(row_bytes(size), b"\0")
    return header + palette + colour + mask


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make-icon.py OUT.ico\n")
        return 2
    bodies = [image(size, bpp) for size, bpp in IMAGES]
    out = struct.pack("<HHH", 0, 1, len(IMAGES))
    offset = 6 + 16 * len(IMAGES)
    for (size, bpp), body in zip(IMAGES, bodies):
        colours = 16 if bpp == 4 else 0
        out += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bpp, len(body), offset)
        offset += len(body)
    out += b"".join(bodies)
    with open(sys.argv[1], "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
