#!/usr/bin/env python3
"""Generate the application icon: TobriskRTUTCP.ico and the PNGs of the menu icon.

The mark: a blue Ethernet port and an orange serial port side by side,
with a double-headed arrow beneath them, on a transparent background.
Each size is rendered from the same vector shapes with 4x4 supersampling.
The .ico holds 256 px as PNG and 48/32/16 px as 32-bit BMP entries; the same
renderings are also written as icons/tcprtu-configurator-SIZE.png for the
freedesktop icon theme, which wants plain PNG files.

Run from the repository root:  python3 images/make-icon.py
Standard library only; the output is byte-for-byte reproducible.
"""

import os
import struct
import zlib

SIZES = (256, 48, 32, 16)
SUPERSAMPLE = 4
HERE = os.path.dirname(os.path.abspath(__file__))
OUTPUT = os.path.join(HERE, "TobriskRTUTCP.ico")
PNG_OUTPUT = os.path.join(HERE, "icons", "tcprtu-configurator-{}.png")

BLUE = (0x1E, 0x6F, 0xD9)
ORANGE = (0xF2, 0x8C, 0x1C)
SLATE = (0x45, 0x5A, 0x64)
WHITE = (0xFF, 0xFF, 0xFF)


def rounded_rect(x0, y0, x1, y1, r):
    cx, cy, hw, hh = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2, (y1 - y0) / 2

    def inside(x, y):
        dx = max(abs(x - cx) - (hw - r), 0.0)
        dy = max(abs(y - cy) - (hh - r), 0.0)
        return abs(x - cx) <= hw and abs(y - cy) <= hh and dx * dx + dy * dy <= r * r
    return inside


def rect(x0, y0, x1, y1):
    return rounded_rect(x0, y0, x1, y1, 0.0)


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def convex_polygon(*pts):
    """Points must run clockwise in screen coordinates (y grows downwards)."""
    edges = list(zip(pts, pts[1:] + pts[:1]))

    def inside(x, y):
        return all((bx - ax) * (y - ay) - (by - ay) * (x - ax) >= 0
                   for (ax, ay), (bx, by) in edges)
    return inside


def port_ethernet(x0, y0, s):
    """RJ45 socket silhouette, relative to a port square at (x0, y0) of side s."""
    return [rect(x0 + 0.24 * s, y0 + 0.26 * s, x0 + 0.76 * s, y0 + 0.62 * s),
            rect(x0 + 0.38 * s, y0 + 0.62 * s, x0 + 0.62 * s, y0 + 0.74 * s)]


def port_serial(x0, y0, s):
    """D-sub shell (a trapezoid) relative to a port square at (x0, y0) of side s."""
    return [convex_polygon((x0 + 0.18 * s, y0 + 0.30 * s), (x0 + 0.82 * s, y0 + 0.30 * s),
                           (x0 + 0.70 * s, y0 + 0.70 * s), (x0 + 0.30 * s, y0 + 0.70 * s))]


def serial_pins(x0, y0, s):
    top = [circle(x0 + (0.30 + 0.10 * i) * s, y0 + 0.42 * s, 0.035 * s) for i in range(5)]
    bottom = [circle(x0 + (0.35 + 0.10 * i) * s, y0 + 0.58 * s, 0.035 * s) for i in range(4)]
    return top + bottom


def build_mark():
    """(shape, colour, smallest size drawn at) in painting order, unit coordinates."""
    # Edges sit on the 1/16 grid so the 16 and 32 px renderings stay crisp.
    g = 1 / 16
    side, top = 7 * g, 1 * g
    left, right = 0.0, 9 * g
    radius = 1.5 * g
    shaft_y0, shaft_y1 = 11 * g, 13 * g
    head_y0, head_y1, head_len = 9 * g, 15 * g, 3 * g
    xa, xb = 0.25 * g, 15.75 * g
    mid = (head_y0 + head_y1) / 2
    # Inner glyphs are dropped below 32 px: at 16 px they only turn each port muddy.
    shapes = [(rounded_rect(left, top, left + side, top + side, radius), BLUE, 0),
              (rounded_rect(right, top, right + side, top + side, radius), ORANGE, 0)]
    shapes += [(s, WHITE, 32) for s in port_ethernet(left, top, side)]
    shapes += [(s, WHITE, 32) for s in port_serial(right, top, side)]
    shapes += [(s, ORANGE, 48) for s in serial_pins(right, top, side)]
    shapes += [(rect(xa + head_len - 0.01, shaft_y0, xb - head_len + 0.01, shaft_y1), SLATE, 0),
               (convex_polygon((xa, mid), (xa + head_len, head_y0), (xa + head_len, head_y1)), SLATE, 0),
               (convex_polygon((xb, mid), (xb - head_len, head_y1), (xb - head_len, head_y0)), SLATE, 0)]
    return shapes


def render(size, mark):
    """Rows of straight (non-premultiplied) RGBA tuples, top row first."""
    shapes = [(inside, colour) for inside, colour, min_size in reversed(mark) if size >= min_size]
    n = SUPERSAMPLE
    offsets = [(i + 0.5) / n for i in range(n)]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hits, r, g, b = 0, 0, 0, 0
            for oy in offsets:
                y = (py + oy) / size
                for ox in offsets:
                    x = (px + ox) / size
                    for inside, colour in shapes:
                        if inside(x, y):
                            hits += 1
                            r, g, b = r + colour[0], g + colour[1], b + colour[2]
                            break
            if hits:
                row.append((round(r / hits), round(g / hits), round(b / hits),
                            round(255 * hits / (n * n))))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png_bytes(rows):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    h, w = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def bmp_bytes(rows):
    h, w = len(rows), len(rows[0])
    bottom_up = rows[::-1]
    xor = b"".join(bytes((b, g, r, a)) for row in bottom_up for r, g, b, a in row)
    # The AND mask is ignored for 32-bit images by modern readers but old ones
    # still use it, so mark fully transparent pixels; rows pad to 32 bits.
    stride = (w + 31) // 32 * 4
    mask = bytearray()
    for row in bottom_up:
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    # biHeight covers the colour image plus the mask, hence 2 * h.
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + bytes(mask)


def ico_bytes(images):
    """images: list of (size, encoded entry data)."""
    out_dir = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for size, blob in images:
        dim = size if size < 256 else 0  # one byte, so 256 is written as 0
        out_dir += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset + len(data))
        data += blob
    return out_dir + data


def main():
    mark = build_mark()
    images = []
    for size in SIZES:
        rows = render(size, mark)
        png = png_bytes(rows)
        # Vista-era and later readers expect PNG for 256 px; BMP keeps small sizes readable everywhere.
        images.append((size, png if size >= 256 else bmp_bytes(rows)))
        write(PNG_OUTPUT.format(size), png)
    write(OUTPUT, ico_bytes(images))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
