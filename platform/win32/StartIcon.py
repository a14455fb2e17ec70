#!/usr/bin/env python3
"""Draws Start.exe's stock icon, a disc with a play mark, and writes it as a Windows icon file with
the sizes Explorer, AutoPlay and the elevation prompt ask for: 16, 32 and 48 px as 32-bit bitmaps
(with the 1-bit mask that systems before alpha need) and 256 px as PNG.

Usage: StartIcon.py OUT.ico

Reproducible: the picture is plain arithmetic (no trigonometry, whose last bits may differ
between libraries), the PNG is compressed at a fixed level, and nothing of the clock or the machine is
written."""
import struct
import sys
import zlib

SIZES = (16, 32, 48, 256)

RIM = (28, 58, 112)
DISC_INNER = (96, 156, 224)
DISC_OUTER = (52, 104, 184)
HUB = (232, 236, 242)
MARK = (255, 176, 32)
MARK_EDGE = (150, 84, 0)


def clamp(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def over(dst, color, alpha):
    """Paints color with coverage alpha over dst (premultiplied-free RGBA in 0..1 floats)."""
    r, g, b, a = dst
    out_a = alpha + a * (1.0 - alpha)
    if out_a <= 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = [(c / 255.0 * alpha + d * a * (1.0 - alpha)) / out_a for c, d in zip(color, (r, g, b))]
    return (mix[0], mix[1], mix[2], out_a)


def pixel(x, y, size):
    """The colour at the centre of pixel (x, y), with the edges covered by what lies within half a
    pixel of them (distance-based antialiasing)."""
    px = 1.0 / size
    cx, cy = (x + 0.5) * px - 0.5, (y + 0.5) * px - 0.5
    d = (cx * cx + cy * cy) ** 0.5
    out = (0.0, 0.0, 0.0, 0.0)
    r_disc, r_hub, r_hole = 0.47, 0.16, 0.07
    rim = max(0.03, 1.2 * px)
    # The disc: its rim, its face, and a lighter band where the data lies. Flat colours with
    # smooth edges only: the icon's largest image stays small in the launcher's weight.
    cover = clamp((r_disc - d) / px + 0.5)
    if cover > 0.0:
        out = over(out, RIM, cover)
        out = over(out, DISC_OUTER, clamp((r_disc - rim - d) / px + 0.5))
        band = min(clamp((0.38 - d) / px + 0.5), clamp((d - 0.22) / px + 0.5))
        if band > 0.0:
            out = over(out, DISC_INNER, band)
        hub = clamp((r_hub - d) / px + 0.5)
        if hub > 0.0:
            out = over(out, HUB, hub)
        hole = clamp((d - r_hole) / px + 0.5)
        out = (out[0], out[1], out[2], out[3] * hole)
    # The play mark, lower right: a triangle pointing right, with a dark edge.
    ax, ay = 0.06, 0.06
    half = 0.20
    edges = ((ax - 0.12, ay - half, ax - 0.12, ay + half),
             (ax - 0.12, ay + half, ax + 0.24, ay),
             (ax + 0.24, ay, ax - 0.12, ay - half))
    # Distance inside the triangle: the least of the distances to its edges' lines, each taken
    # on the side of the triangle (the edges run clockwise on the screen).
    inside = min(((y2 - y1) * (cx - x1) - (x2 - x1) * (cy - y1)) / ((x2 - x1) ** 2 + (y2 - y1) ** 2) ** 0.5
                 for x1, y1, x2, y2 in edges)
    edge = max(0.02, 1.0 * px)
    mark = clamp(inside / px + 0.5)
    if mark > 0.0:
        out = over(out, MARK_EDGE, mark)
        out = over(out, MARK, clamp((inside - edge) / px + 0.5))
    return out


def rgba(size):
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            row += bytes(int(c * 255.0 + 0.5) for c in (r, g, b, a))
        rows.append(bytes(row))
    return rows


def bitmap(size, rows):
    """A 32-bit icon bitmap: the header with the height of colour and mask together, the pixels
    bottom-up in BGRA, then the mask (set where the pixel is fully transparent)."""
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    stride = (size + 31) // 32 * 4
    for row in reversed(rows):
        bits = bytearray(stride)
        for x in range(size):
            r, g, b, a = row[4 * x:4 * x + 4]
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def png(size, rows):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    raw = b''.join(b'\0' + row for row in rows)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def main():
    images = [(size, png(size, rgba(size)) if size >= 256 else bitmap(size, rgba(size)))
              for size in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(data for _, data in images)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
