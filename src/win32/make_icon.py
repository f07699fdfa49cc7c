#!/usr/bin/env python3
"""Draws Veracap's icon: a USB stick under a magnifying glass.

Writes veracap.ico (16, 32 and 48 pixels, 32-bit with alpha) beside this
script. The shapes are drawn in a unit square and sampled 4 x 4 times per
pixel, so each size is anti-aliased from the same drawing. Run it again after
changing the drawing; the .ico it writes is kept in the repository.
"""

import math
import os
import struct

SIZES = (16, 32, 48)
SAMPLES = 4

# Colours as (red, green, blue, alpha 0..1).
STICK = (31, 78, 156, 1.0)
STICK_EDGE = (16, 40, 90, 1.0)
PLUG = (200, 200, 205, 1.0)
PLUG_HOLE = (70, 70, 80, 1.0)
LENS = (192, 255, 255, 0.55)
RIM = (40, 40, 48, 1.0)
HANDLE = (120, 72, 30, 1.0)


def in_rect(x, y, x0, y0, x1, y1):
    return x0 <= x <= x1 and y0 <= y <= y1


def in_rounded_rect(x, y, x0, y0, x1, y1, r):
    if not in_rect(x, y, x0, y0, x1, y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def near_segment(x, y, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= half_width ** 2


# Layers from the back to the front: (colour, test of a point).
LENS_X, LENS_Y, LENS_R = 0.60, 0.55, 0.24
LAYERS = [
    (PLUG, lambda x, y: in_rect(x, y, 0.20, 0.04, 0.48, 0.30)),
    (PLUG_HOLE, lambda x, y: in_rect(x, y, 0.25, 0.10, 0.31, 0.17)
     or in_rect(x, y, 0.37, 0.10, 0.43, 0.17)),
    (STICK_EDGE, lambda x, y: in_rounded_rect(x, y, 0.10, 0.26, 0.58, 0.97, 0.08)),
    (STICK, lambda x, y: in_rounded_rect(x, y, 0.14, 0.30, 0.54, 0.93, 0.05)),
    (LENS, lambda x, y: (x - LENS_X) ** 2 + (y - LENS_Y) ** 2 <= LENS_R ** 2),
    (RIM, lambda x, y: (LENS_R - 0.065) ** 2
     <= (x - LENS_X) ** 2 + (y - LENS_Y) ** 2 <= LENS_R ** 2),
    (HANDLE, lambda x, y: near_segment(x, y, 0.78, 0.73, 0.95, 0.92, 0.065)),
]


def over(dst, colour):
    """Puts colour over dst (both straight-alpha floats)."""
    r, g, b, a = colour
    dr, dg, db, da = dst
    out_a = a + da * (1 - a)
    if out_a == 0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = lambda c, d: (c * a + d * da * (1 - a)) / out_a
    return (mix(r, dr), mix(g, dg), mix(b, db), out_a)


def pixel(size, px, py):
    total = [0.0, 0.0, 0.0, 0.0]
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            colour = (0.0, 0.0, 0.0, 0.0)
            for layer_colour, inside in LAYERS:
                if inside(x, y):
                    colour = over(colour, layer_colour)
            # Premultiply to average, so that edges do not darken.
            total[0] += colour[0] * colour[3]
            total[1] += colour[1] * colour[3]
            total[2] += colour[2] * colour[3]
            total[3] += colour[3]
    n = SAMPLES * SAMPLES
    alpha = total[3] / n
    if alpha == 0:
        return (0, 0, 0, 0)
    r, g, b = (round(total[i] / n / alpha) for i in range(3))
    return (r, g, b, round(alpha * 255))


def image_entry(size):
    """One icon image: BITMAPINFOHEADER, BGRA rows bottom-up, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for py in reversed(range(size)):
        row = bytearray()
        for px in range(size):
            r, g, b, a = pixel(size, px, py)
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    mask_row = bytes(((size + 31) // 32) * 4)  # alpha decides; the mask is clear
    return header + b"".join(rows) + mask_row * size


def main():
    images = [image_entry(s) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "veracap.ico")
    with open(path, "wb") as f:
        f.write(out)
    print(f"{path}: {len(out)} bytes, sizes {', '.join(map(str, SIZES))}")


if __name__ == "__main__":
    main()
