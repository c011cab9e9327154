#!/usr/bin/env python3
"""Writes the window icon and the background picture of Tessel.

    python3 tools/make-resources.py [--preview PNG]

Outputs (paths relative to the repository root):
    resources/Tessel/icon1.ico          four 24-bit images, 64, 32, 48 and 16 px, in that order
    resources/background.png            1 x 1080 opaque vertical gradient behind the central area

The desktop icons are not made here: the build renders them from resources/tessel.svg, the same mark
drawn as a vector.

The mark is a flash chip seen from above on a pale blue square: a dark blue body with pins on all four
sides and four pale tiles on it, one of them a stronger blue (the block being worked on). Each size is
laid out on its own pixel grid so the 16 px image stays sharp instead of being a blurred copy of the
64 px one. Every pixel is opaque: Qt ignores the AND mask of 24-bit icon images, so a transparent
pixel would show as black in the window's title bar.

Only the standard library is used (struct, zlib), so the outputs can be rebuilt anywhere.
"""

import argparse
import math
import struct
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

BODY = (0x15, 0x42, 0x8B)  # the program's text blue
PIN = (0x4F, 0x74, 0xAE)
BACKGROUND_TOP = (0xEE, 0xF5, 0xFF)
BACKGROUND_BOTTOM = (0xBF, 0xDB, 0xFF)
TILE_TOP = (0xFF, 0xFF, 0xFF)
TILE_BOTTOM = (0xBF, 0xDB, 0xFF)  # the status bar's blue
ACCENT_TOP = (0x6C, 0xA6, 0xEE)
ACCENT_BOTTOM = (0x2F, 0x6C, 0xC4)

# Per-size grid, in whole pixels: pin length, body border, gap between tiles, tile edge, corner radii,
# pin width and where each pin starts along a side (the same on all four sides).
LAYOUTS = {
    64: dict(pin=8, border=4, gap=4, tile=18, body_radius=4, tile_radius=2, pin_width=3,
             pins=(13, 19, 25, 36, 42, 48)),
    48: dict(pin=6, border=3, gap=2, tile=14, body_radius=3, tile_radius=1.5, pin_width=2,
             pins=(10, 14, 18, 28, 32, 36)),
    32: dict(pin=4, border=2, gap=2, tile=9, body_radius=2, tile_radius=1, pin_width=2, pins=(7, 11, 19, 23)),
    16: dict(pin=2, border=1, gap=2, tile=4, body_radius=1, tile_radius=0, pin_width=1, pins=(3, 5, 10, 12)),
}
ICON_ORDER = (64, 32, 48, 16)

# Background gradient key rows: top, darkest, bottom.
GRADIENT_KEYS = ((0, (0xDA, 0xE6, 0xF4)), (282, (0xC8, 0xD8, 0xED)), (1079, (0xE2, 0xF4, 0xFE)))
GRADIENT_HEIGHT = 1080


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def to_bytes(colour):
    return tuple(max(0, min(255, int(round(c)))) for c in colour)


def rounded_rect_coverage(x, y, left, top, right, bottom, radius, samples=4):
    """Share of pixel (x, y) inside the rectangle [left, right) x [top, bottom) with rounded corners."""
    inside = 0
    for sy in range(samples):
        for sx in range(samples):
            px = x + (sx + 0.5) / samples
            py = y + (sy + 0.5) / samples
            if not (left <= px < right and top <= py < bottom):
                continue
            cx = min(max(px, left + radius), right - radius)
            cy = min(max(py, top + radius), bottom - radius)
            if radius == 0 or (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius:
                inside += 1
    return inside / (samples * samples)


def draw_icon(size):
    """Returns rows of (r, g, b, opaque) pixels, top row first; all of them opaque."""
    layout = LAYOUTS[size]
    pin, border, gap, tile = layout["pin"], layout["border"], layout["gap"], layout["tile"]
    body_lo, body_hi = pin, size - pin
    assert 2 * border + 2 * tile + gap == body_hi - body_lo, size

    pixels = [[mix(BACKGROUND_TOP, BACKGROUND_BOTTOM, y / (size - 1))] * size for y in range(size)]

    # Pins first; the body covers their inner ends.
    for start in layout["pins"]:
        for offset in range(layout["pin_width"]):
            along = start + offset
            for depth in range(pin):
                for x, y in ((along, depth), (along, size - 1 - depth), (depth, along), (size - 1 - depth, along)):
                    pixels[y][x] = PIN

    for y in range(size):
        for x in range(size):
            cover = rounded_rect_coverage(x, y, body_lo, body_lo, body_hi, body_hi, layout["body_radius"])
            if cover > 0:
                pixels[y][x] = mix(pixels[y][x], BODY, cover)

    first = body_lo + border
    second = first + tile + gap
    for row, top in enumerate((first, second)):
        for column, left in enumerate((first, second)):
            accent = row == 1 and column == 1
            colour_top, colour_bottom = (ACCENT_TOP, ACCENT_BOTTOM) if accent else (TILE_TOP, TILE_BOTTOM)
            for y in range(top, top + tile):
                shade = mix(colour_top, colour_bottom, (y - top) / max(1, tile - 1))
                for x in range(left, left + tile):
                    cover = rounded_rect_coverage(x, y, left, top, left + tile, top + tile, layout["tile_radius"])
                    if cover > 0:
                        pixels[y][x] = mix(BODY, shade, cover)

    return [[(*to_bytes(p), True) for p in row] for row in pixels]


def bmp_image(rows):
    """One icon image: BITMAPINFOHEADER, bottom-up 24-bit colour rows, then the 1-bit AND mask."""
    size = len(rows)
    colour_stride = (size * 3 + 3) // 4 * 4
    mask_stride = (size + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 24, 0, (colour_stride + mask_stride) * size, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b, _ in row:
            line += bytes((b, g, r))
        colour += line.ljust(colour_stride, b"\0")
        bits = bytearray(mask_stride)
        for x, (_, _, _, opaque) in enumerate(row):
            if not opaque:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + mask


def ico_file(images):
    """ICONDIR, one ICONDIRENTRY per image, then the images back to back."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = bytearray()
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 24, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, data in images)


def png_file(rows):
    """8-bit RGBA PNG from rows of (r, g, b, a); each row uses the Up filter, which suits gradients."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    height, width = len(rows), len(rows[0])
    raw = bytearray()
    previous = bytes(width * 4)
    for row in rows:
        line = bytes(channel for pixel in row for channel in pixel)
        raw.append(2)
        raw += bytes((a - b) & 0xFF for a, b in zip(line, previous))
        previous = line
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    body = chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    return b"\x89PNG\r\n\x1a\n" + body


def gradient_colour(row):
    """Cosine easing between key rows, so the darkest row is a smooth valley rather than a kink.

    Every channel falls from the top row to the darkest and rises after it; rounding up keeps each
    channel of every other row at least one step lighter, so the key row is the only darkest one.
    """
    for (row_a, colour_a), (row_b, colour_b) in zip(GRADIENT_KEYS, GRADIENT_KEYS[1:]):
        if row_a <= row <= row_b:
            eased = (1 - math.cos(math.pi * (row - row_a) / (row_b - row_a))) / 2
            return tuple(math.ceil(channel - 1e-9) for channel in mix(colour_a, colour_b, eased))
    raise ValueError(row)


def background_rows():
    return [[(*gradient_colour(y), 255)] for y in range(GRADIENT_HEIGHT)]


def preview_rows(icons, scale=8):
    """All sizes side by side, enlarged, on a light and on a dark band, for looking at the design."""
    gap = 8
    width = sum(size * scale + gap for size in ICON_ORDER) + gap
    band = max(ICON_ORDER) * scale + 2 * gap
    rows = []
    for backdrop in ((0xF0, 0xF0, 0xF0), (0x30, 0x30, 0x30)):
        plain = (*backdrop, 255)
        for y in range(band):
            line = [plain] * gap
            icon_row = (y - gap) // scale
            for size in ICON_ORDER:
                for x in range(size * scale):
                    if 0 <= icon_row < size and icons[size][icon_row][x // scale][3]:
                        line.append((*icons[size][icon_row][x // scale][:3], 255))
                    else:
                        line.append(plain)
                line += [plain] * gap
            rows.append(line)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--preview", type=Path, help="also write an enlarged preview of the icon to this PNG")
    arguments = parser.parse_args()

    icons = {size: draw_icon(size) for size in ICON_ORDER}

    ico = ico_file([(size, bmp_image(icons[size])) for size in ICON_ORDER])
    (ROOT / "resources/Tessel").mkdir(parents=True, exist_ok=True)
    (ROOT / "resources/Tessel/icon1.ico").write_bytes(ico)
    (ROOT / "resources/background.png").write_bytes(png_file(background_rows()))

    if arguments.preview:
        arguments.preview.write_bytes(png_file(preview_rows(icons)))


if __name__ == "__main__":
    main()
