#!/usr/bin/env python3
"""Draws the panel's icon: a fibre coil feeding an amplifier stage whose laser beam leaves on the
right, on a dark rounded tile. Writes an .ico with three images: 32x32 and 16x16 in 16 colours,
48x48 in 256 colours.

    make_icon.py OUTPUT.ico
"""
import struct
import sys

NAVY = (16, 36, 84)
CYAN = (0, 210, 235)
YELLOW = (255, 204, 0)
RED = (235, 20, 20)
WHITE = (255, 255, 255)

# The standard 16-colour palette; every 4-bit image uses it.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def palette256():
    """A 6x6x6 colour cube, a grey ramp and the drawing's own colours."""
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    greys = [(v, v, v) for v in range(8, 256, 8)][:32]
    own = [NAVY, CYAN, YELLOW, RED, WHITE]
    colours = cube + greys + own
    colours += [(0, 0, 0)] * (256 - len(colours))
    return colours[:256]


def inside_tile(u, v):
    """The rounded square the drawing sits on."""
    inset, radius = 0.03, 0.18
    lo, hi = inset + radius, 1.0 - inset - radius
    dx = max(lo - u, 0.0, u - hi)
    dy = max(lo - v, 0.0, v - hi)
    return dx * dx + dy * dy <= radius * radius and inset <= u <= 1 - inset and inset <= v <= 1 - inset


def colour_at(u, v, size):
    """The drawing's colour at (u, v) in [0, 1]^2, or None outside the tile."""
    if not inside_tile(u, v):
        return None
    stroke = max(0.045, 1.1 / size)
    # Laser beam leaving the amplifier's tip.
    if 0.78 <= u <= 0.97 and abs(v - 0.5) <= stroke:
        return RED
    # Amplifier stage: a triangle pointing right.
    if 0.46 <= u <= 0.80 and abs(v - 0.5) <= 0.27 * (0.80 - u) / 0.34:
        return YELLOW
    # Fibre from the coil into the amplifier.
    if 0.42 <= u <= 0.47 and abs(v - 0.5) <= stroke * 0.6:
        return CYAN
    # Fibre coil: concentric turns about one pixel wide (fewer where pixels are few).
    turns = (0.19, 0.08) if size <= 16 else (0.19, 0.12, 0.05)
    dist = ((u - 0.25) ** 2 + (v - 0.5) ** 2) ** 0.5
    if any(abs(dist - r) <= max(0.6 / size, 0.02) for r in turns):
        return CYAN
    return NAVY


def nearest(colour, palette):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i])))


def render(size, palette, samples):
    """Rows top-down of (palette index, transparent) per pixel; samples^2 per pixel when
    smoothing into a large palette."""
    rows = []
    cache = {}
    for y in range(size):
        row = []
        for x in range(size):
            hits = []
            for sy in range(samples):
                for sx in range(samples):
                    u = (x + (sx + 0.5) / samples) / size
                    v = (y + (sy + 0.5) / samples) / size
                    hits.append(colour_at(u, v, size))
            drawn = [c for c in hits if c is not None]
            if len(drawn) * 2 < len(hits):
                row.append((0, True))
                continue
            mean = tuple(sum(c[i] for c in drawn) // len(drawn) for i in range(3))
            if mean not in cache:
                cache[mean] = nearest(mean, palette)
            row.append((cache[mean], False))
        rows.append(row)
    return rows


def padded(data):
    return data + b"\0" * (-len(data) % 4)


def image_bytes(size, bits, palette, rows):
    """One icon image: header, palette, colour bits and transparency mask, bottom row first."""
    xor = b""
    mask = b""
    for row in reversed(rows):
        if bits == 4:
            line = bytes((row[x][0] << 4) | row[x + 1][0] for x in range(0, size, 2))
        else:
            line = bytes(index for index, _ in row)
        xor += padded(line)
        mask_bits = bytearray((size + 7) // 8)
        for x, (_, clear) in enumerate(row):
            if clear:
                mask_bits[x // 8] |= 0x80 >> (x % 8)
        mask += padded(bytes(mask_bits))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(mask), 0, 0, 0, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + colours + xor + mask


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    big = palette256()
    images = [
        (32, 4, VGA16, render(32, VGA16, 1)),
        (16, 4, VGA16, render(16, VGA16, 1)),
        (48, 8, big, render(48, big, 4)),
    ]
    blobs = [image_bytes(size, bits, pal, rows) for size, bits, pal, rows in images]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for (size, bits, _, _), blob in zip(images, blobs):
        colour_count = 16 if bits == 4 else 0
        directory += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    with open(sys.argv[1], "wb") as out:
        out.write(directory + b"".join(blobs))


if __name__ == "__main__":
    main()
