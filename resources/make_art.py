#!/usr/bin/env python3
"""Draws the program's artwork: the banner, the adapter picture and the icon.

Usage: make_art.py OUTDIR

Writes OUTDIR/banner.bmp (718 x 86), OUTDIR/adapter.bmp (200 x 119), both
24 bits per pixel and uncompressed, and OUTDIR/app.ico (16 to 256 pixels,
32 bits per pixel). Only the standard library is used and nothing depends on
time, locale or hash seeds, so every run writes the same bytes; the build
regenerates the files instead of keeping binaries in the repository.

Shapes are signed distance functions: a pixel's coverage is taken from its
distance to the edge, which gives clean anti-aliased curves without
supersampling (pure Python is slow enough as it is).
"""

import math
import os
import struct
import sys

BANNER_SIZE = (718, 86)
ADAPTER_SIZE = (200, 119)
ICON_SIZES = (16, 32, 48, 64, 128, 256)

# The dialog's face colour on current Windows; the adapter picture sits
# straight on the dialog, so its background has to match.
DIALOG_FACE = (240, 240, 240)


# --------------------------------------------------------------------------
# Colours and paints


def rgb(hex_text, alpha=1.0):
    v = int(hex_text.lstrip("#"), 16)
    return ((v >> 16) / 255.0, ((v >> 8) & 255) / 255.0, (v & 255) / 255.0, alpha)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(4))


def ramp(stops, t):
    """Colour at t along a list of (position, colour) stops."""
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, (t - p0) / (p1 - p0))
    return stops[-1][1]


def solid(colour):
    return lambda x, y: colour


def linear(x0, y0, x1, y1, stops):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def paint(x, y):
        return ramp(stops, ((x - x0) * dx + (y - y0) * dy) / length2)
    return paint


def radial(cx, cy, radius, stops):
    def paint(x, y):
        return ramp(stops, math.hypot(x - cx, y - cy) / radius)
    return paint


# --------------------------------------------------------------------------
# Shapes: (distance function, bounding box)


def clamp(v, lo, hi):
    return lo if v < lo else hi if v > hi else v


def rounded_rect(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r
    return sdf, (x0, y0, x1, y1)


def circle(cx, cy, r):
    return (lambda x, y: math.hypot(x - cx, y - cy) - r), (cx - r, cy - r, cx + r, cy + r)


def ellipse(cx, cy, rx, ry):
    # Not an exact distance, but close enough for soft shadows.
    def sdf(x, y):
        return (math.hypot((x - cx) / rx, (y - cy) / ry) - 1.0) * min(rx, ry)
    return sdf, (cx - rx, cy - ry, cx + rx, cy + ry)


def polyline(points, width):
    """A stroke of the given width through the points, with round ends."""
    half = width / 2
    segments = list(zip(points, points[1:]))

    def sdf(x, y):
        best = float("inf")
        for (ax, ay), (bx, by) in segments:
            ex, ey = bx - ax, by - ay
            t = clamp(((x - ax) * ex + (y - ay) * ey) / (ex * ex + ey * ey), 0.0, 1.0)
            best = min(best, math.hypot(x - ax - ex * t, y - ay - ey * t))
        return best - half
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return sdf, (min(xs) - half, min(ys) - half, max(xs) + half, max(ys) + half)


def polygon(points):
    n = len(points)

    def sdf(x, y):
        d = (x - points[0][0]) ** 2 + (y - points[0][1]) ** 2
        sign = 1.0
        j = n - 1
        for i in range(n):
            (xi, yi), (xj, yj) = points[i], points[j]
            ex, ey = xj - xi, yj - yi
            wx, wy = x - xi, y - yi
            t = clamp((wx * ex + wy * ey) / (ex * ex + ey * ey), 0.0, 1.0)
            d = min(d, (wx - ex * t) ** 2 + (wy - ey * t) ** 2)
            above, below, left = y >= yi, y < yj, ex * wy > ey * wx
            if (above and below and left) or (not above and not below and not left):
                sign = -sign
            j = i
        return sign * math.sqrt(d)
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return sdf, (min(xs), min(ys), max(xs), max(ys))


def grown(shape, amount):
    """The shape with its edge moved outwards (or inwards when negative)."""
    sdf, (x0, y0, x1, y1) = shape
    a = max(amount, 0.0)
    return (lambda x, y: sdf(x, y) - amount), (x0 - a, y0 - a, x1 + a, y1 + a)


def ring(shape, width):
    sdf, (x0, y0, x1, y1) = shape
    h = width / 2
    return (lambda x, y: abs(sdf(x, y)) - h), (x0 - h, y0 - h, x1 + h, y1 + h)


# --------------------------------------------------------------------------
# Canvas


class Canvas:
    def __init__(self, width, height, background=(0.0, 0.0, 0.0, 0.0)):
        self.width, self.height = width, height
        self.pixels = [list(background) for _ in range(width * height)]

    def blend(self, x, y, colour, coverage):
        r, g, b, a = colour
        sa = a * coverage
        if sa <= 0.0:
            return
        dst = self.pixels[y * self.width + x]
        da = dst[3] * (1.0 - sa)
        out = sa + da
        dst[0] = (r * sa + dst[0] * da) / out
        dst[1] = (g * sa + dst[1] * da) / out
        dst[2] = (b * sa + dst[2] * da) / out
        dst[3] = out

    def fill(self, shape, paint, softness=1.0, opacity=1.0):
        """Paints the shape; softness is the width of the edge ramp in pixels."""
        sdf, (bx0, by0, bx1, by1) = shape
        pad = softness
        x0 = max(0, int(math.floor(bx0 - pad)))
        y0 = max(0, int(math.floor(by0 - pad)))
        x1 = min(self.width, int(math.ceil(bx1 + pad)) + 1)
        y1 = min(self.height, int(math.ceil(by1 + pad)) + 1)
        for y in range(y0, y1):
            fy = y + 0.5
            for x in range(x0, x1):
                fx = x + 0.5
                coverage = 0.5 - sdf(fx, fy) / softness
                if coverage <= 0.0:
                    continue
                if coverage > 1.0:
                    coverage = 1.0
                self.blend(x, y, paint(fx, fy), coverage * opacity)

    def draw(self, other, left, top):
        for y in range(other.height):
            for x in range(other.width):
                tx, ty = left + x, top + y
                if 0 <= tx < self.width and 0 <= ty < self.height:
                    src = other.pixels[y * other.width + x]
                    self.blend(tx, ty, (src[0], src[1], src[2], 1.0), src[3])

    def bytes_bgr(self, dither):
        """Bottom-up rows of BGR bytes, each padded to four bytes."""
        pad = b"\0" * ((-3 * self.width) % 4)
        rows = []
        for y in range(self.height - 1, -1, -1):
            row = bytearray()
            for x in range(self.width):
                p = self.pixels[y * self.width + x]
                offset = (BAYER[y % 4][x % 4] + 0.5) / 16.0 - 0.5 if dither else 0.0
                for c in (p[2], p[1], p[0]):
                    row.append(clamp(int(math.floor(c * 255.0 + 0.5 + offset)), 0, 255))
            rows.append(bytes(row) + pad)
        return b"".join(rows)

    def bytes_bgra(self):
        rows = []
        for y in range(self.height - 1, -1, -1):
            row = bytearray()
            for x in range(self.width):
                p = self.pixels[y * self.width + x]
                for c in (p[2], p[1], p[0], p[3]):
                    row.append(clamp(int(math.floor(c * 255.0 + 0.5)), 0, 255))
            rows.append(bytes(row))
        return b"".join(rows)


# Ordered dither keeps the long gradients from banding at 8 bits a channel.
BAYER = ((0, 8, 2, 10), (12, 4, 14, 6), (3, 11, 1, 9), (15, 7, 13, 5))


# --------------------------------------------------------------------------
# A small pixel font: 5 columns, 7 rows above the baseline, 2 below.

FONT = {
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "C": [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    "D": ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "F": ["#####", "#....", "#....", "####.", "#....", "#....", "#...."],
    "G": [".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"],
    "H": ["#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "I": [".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "J": ["..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."],
    "K": ["#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "N": ["#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "Q": [".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "W": ["#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
    "Y": ["#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."],
    "Z": ["#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"],
    "a": [".....", ".....", ".###.", "....#", ".####", "#...#", ".####"],
    "b": ["#....", "#....", "####.", "#...#", "#...#", "#...#", "####."],
    "c": [".....", ".....", ".###.", "#....", "#....", "#....", ".###."],
    "d": ["....#", "....#", ".####", "#...#", "#...#", "#...#", ".####"],
    "e": [".....", ".....", ".###.", "#...#", "#####", "#....", ".###."],
    "f": ["..##.", ".#...", "####.", ".#...", ".#...", ".#...", ".#..."],
    "g": [".....", ".....", ".####", "#...#", "#...#", "#...#", ".####", "....#", ".###."],
    "h": ["#....", "#....", "####.", "#...#", "#...#", "#...#", "#...#"],
    "i": ["..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."],
    "j": ["...#.", ".....", "..##.", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."],
    "k": ["#....", "#....", "#..#.", "#.#..", "##...", "#.#..", "#..#."],
    "l": [".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "m": [".....", ".....", "##.#.", "#.#.#", "#.#.#", "#.#.#", "#.#.#"],
    "n": [".....", ".....", "####.", "#...#", "#...#", "#...#", "#...#"],
    "o": [".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."],
    "p": [".....", ".....", "####.", "#...#", "#...#", "#...#", "####.", "#....", "#...."],
    "q": [".....", ".....", ".####", "#...#", "#...#", "#...#", ".####", "....#", "....#"],
    "r": [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    "s": [".....", ".....", ".####", "#....", ".###.", "....#", "####."],
    "t": [".#...", ".#...", "####.", ".#...", ".#...", ".#..#", "..##."],
    "u": [".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"],
    "v": [".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "w": [".....", ".....", "#...#", "#...#", "#.#.#", "#.#.#", ".#.#."],
    "x": [".....", ".....", "#...#", ".#.#.", "..#..", ".#.#.", "#...#"],
    "y": [".....", ".....", "#...#", "#...#", "#...#", "#...#", ".####", "....#", ".###."],
    "z": [".....", ".....", "#####", "...#.", "..#..", ".#...", "#####"],
    "0": [".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."],
    "1": ["..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "2": [".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"],
    "3": ["####.", "....#", "....#", ".###.", "....#", "....#", "####."],
    "4": ["...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."],
    "5": ["#####", "#....", "####.", "....#", "....#", "#...#", ".###."],
    "6": ["..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."],
    "7": ["#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."],
    "8": [".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."],
    "9": [".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."],
    " ": ["...", "...", "...", "...", "...", "...", "..."],
    ".": ["..", "..", "..", "..", "..", "##", "##"],
    "-": [".....", ".....", ".....", ".###.", ".....", ".....", "....."],
    "'": ["#", "#", ".", ".", ".", ".", "."],
    "\u00b7": ["...", "...", ".#.", "###", ".#.", "...", "..."],
}


def text_width(text, scale):
    return sum((len(FONT[ch][0]) + 1) * scale for ch in text) - scale


def draw_text(canvas, text, left, top, scale, paint, opacity=1.0):
    """Draws text with each font pixel a square of scale x scale pixels."""
    x = left
    for ch in text:
        glyph = FONT[ch]
        for row, bits in enumerate(glyph):
            for col, bit in enumerate(bits):
                if bit != "#":
                    continue
                for py in range(top + row * scale, top + (row + 1) * scale):
                    for px in range(x + col * scale, x + (col + 1) * scale):
                        if 0 <= px < canvas.width and 0 <= py < canvas.height:
                            canvas.blend(px, py, paint(px + 0.5, py + 0.5), opacity)
        x += (len(glyph[0]) + 1) * scale


# --------------------------------------------------------------------------
# The pictures


def draw_emblem(size):
    """The program's mark: a small adapter with a flash above it."""
    canvas = Canvas(size, size)
    s = float(size)

    def at(*values):
        return [v * s for v in values]

    tile = rounded_rect(*at(0.03, 0.03, 0.97, 0.97, 0.22))
    canvas.fill(tile, linear(*at(0.1, 0.0, 0.9, 1.0),
                             [(0.0, rgb("#2B8CF0")), (0.55, rgb("#1769C9")), (1.0, rgb("#0B9DB8"))]))
    gloss = rounded_rect(*at(0.03, 0.03, 0.97, 0.5, 0.22))
    canvas.fill(gloss, linear(0, 0.03 * s, 0, 0.5 * s,
                              [(0.0, rgb("#FFFFFF", 0.22)), (1.0, rgb("#FFFFFF", 0.0))]))

    body = rounded_rect(*at(0.16, 0.47, 0.84, 0.82, 0.11))
    canvas.fill(grown(body, 0.012 * s), solid(rgb("#0A3D7A", 0.35)), softness=max(1.0, 0.04 * s))
    canvas.fill(body, linear(0, 0.47 * s, 0, 0.82 * s, [(0.0, rgb("#FFFFFF")), (1.0, rgb("#D5E2F1"))]))
    canvas.fill(rounded_rect(*at(0.25, 0.62, 0.52, 0.69, 0.03)), solid(rgb("#2A3A4F")))
    canvas.fill(circle(*at(0.69, 0.645, 0.06)), radial(*at(0.675, 0.63, 0.07),
                                                      [(0.0, rgb("#8FD0FF")), (1.0, rgb("#1976D2"))]))

    bolt = polygon([at(0.60, 0.06), at(0.35, 0.40), at(0.49, 0.40), at(0.41, 0.64),
                    at(0.68, 0.28), at(0.54, 0.28), at(0.67, 0.06)])
    canvas.fill(grown(bolt, 0.03 * s), solid(rgb("#0D3C73")))
    canvas.fill(bolt, linear(0, 0.06 * s, 0, 0.64 * s, [(0.0, rgb("#FFE57F")), (1.0, rgb("#FFB300"))]))
    return canvas


def draw_banner():
    width, height = BANNER_SIZE
    canvas = Canvas(width, height, (0.0, 0.0, 0.0, 1.0))
    across = [(0.0, rgb("#0C2340")), (0.5, rgb("#154F97")), (1.0, rgb("#0A7F95"))]

    def background(x, y):
        c = ramp(across, x / width)
        shade = 1.0 - 0.28 * (y / height)
        return (c[0] * shade, c[1] * shade, c[2] * shade, 1.0)
    canvas.fill(rounded_rect(-2, -2, width + 2, height + 2, 1), background)

    white = rgb("#FFFFFF")
    canvas.fill(ring(circle(650, 14, 62), 12), solid(white), opacity=0.05)
    canvas.fill(ring(circle(712, 86, 44), 7), solid(white), opacity=0.06)
    canvas.fill(ring(circle(585, 92, 96), 2), solid(white), opacity=0.08)

    traces = [
        [(430, 74), (500, 74), (514, 60), (574, 60)],
        [(462, 80), (540, 80), (552, 68), (616, 68), (626, 58), (690, 58)],
        [(520, 22), (560, 22), (572, 34), (640, 34)],
    ]
    for points in traces:
        canvas.fill(polyline(points, 1.6), solid(rgb("#9FE3FF")), opacity=0.22)
        for x, y in (points[0], points[-1]):
            canvas.fill(ring(circle(x, y, 3.2), 1.6), solid(rgb("#9FE3FF")), opacity=0.35)

    canvas.fill(rounded_rect(-2, height - 3, width + 2, height + 2, 0),
                linear(0, 0, width, 0, [(0.0, rgb("#29B6F6")), (0.6, rgb("#26C6DA")), (1.0, rgb("#9CCC65"))]))

    emblem = draw_emblem(64)
    canvas.draw(emblem, 16, 10)

    title = "Vantri4 Flash"
    draw_text(canvas, title, 98, 17, 4, solid(rgb("#04101F")), opacity=0.45)
    draw_text(canvas, title, 96, 15, 4, linear(0, 15, 0, 43, [(0.0, rgb("#FFFFFF")), (1.0, rgb("#CFE6FF"))]))
    subtitle = "FIRMWARE \u00b7 CONFIG BACKUP \u00b7 RESTORE"
    draw_text(canvas, subtitle, 97, 58, 2, solid(rgb("#04101F")), opacity=0.35)
    draw_text(canvas, subtitle, 96, 57, 2, solid(rgb("#A8DBFF")))
    return canvas


def draw_adapter():
    width, height = ADAPTER_SIZE
    face = tuple(c / 255.0 for c in DIALOG_FACE) + (1.0,)
    canvas = Canvas(width, height, face)
    ink = rgb("#5C6675")

    canvas.fill(ellipse(86, 101, 78, 7), solid(rgb("#000000")), softness=10.0, opacity=0.30)

    # USB cable from port 'C' down to its plug, drawn first so the body and
    # the plug cover its ends.
    cable = [(140, 66), (156, 66), (166, 68), (173, 74), (177, 82), (178, 90)]
    canvas.fill(polyline(cable, 6.5), solid(rgb("#1B2027")))
    canvas.fill(polyline(cable, 2.0), solid(rgb("#FFFFFF")), opacity=0.12)
    canvas.fill(rounded_rect(169, 86, 187, 103, 3), linear(169, 0, 187, 0, [(0.0, rgb("#39414C")), (0.5, rgb("#4B5562")), (1.0, rgb("#2A3038"))]))
    canvas.fill(rounded_rect(171.5, 102, 184.5, 116, 1), linear(171.5, 0, 184.5, 0, [(0.0, rgb("#AEB6C0")), (0.5, rgb("#EEF1F4")), (1.0, rgb("#9AA3AE"))]))
    canvas.fill(rounded_rect(174, 106, 177, 109, 0.5), solid(rgb("#4B5562")))
    canvas.fill(rounded_rect(179, 106, 182, 109, 0.5), solid(rgb("#4B5562")))

    # The 'P' button sits on the back edge, behind the body.
    canvas.fill(rounded_rect(38, 28, 60, 42, 4), linear(0, 28, 0, 40, [(0.0, rgb("#FFB36B")), (1.0, rgb("#E2661B"))]))
    draw_text(canvas, "P", 66, 25, 1, solid(ink))

    # Controller port on the left side.
    canvas.fill(rounded_rect(5, 52, 20, 80, 4), linear(0, 52, 0, 80, [(0.0, rgb("#3A424D")), (1.0, rgb("#20252C"))]))

    body = rounded_rect(12, 36, 142, 95, 17)
    canvas.fill(body, linear(0, 36, 0, 95, [(0.0, rgb("#56627A")), (0.25, rgb("#3C4658")), (1.0, rgb("#1E242D"))]))
    canvas.fill(ring(rounded_rect(13, 37, 141, 94, 16), 1.2), linear(0, 36, 0, 95, [(0.0, rgb("#FFFFFF", 0.35)), (0.4, rgb("#FFFFFF", 0.0))]))
    plate = rounded_rect(20, 46, 134, 88, 11)
    canvas.fill(plate, linear(0, 46, 0, 88, [(0.0, rgb("#171C23")), (1.0, rgb("#2A313B"))]))
    canvas.fill(ring(plate, 1.0), linear(0, 46, 0, 88, [(0.0, rgb("#000000", 0.3)), (1.0, rgb("#FFFFFF", 0.18))]))

    draw_text(canvas, "Vantri4", 28, 61, 2, linear(0, 61, 0, 75, [(0.0, rgb("#E8EEF6")), (1.0, rgb("#AEBBCB"))]))

    # The status light, glowing blue as it does in loader mode.
    canvas.fill(circle(124, 67, 12), radial(124, 67, 12, [(0.0, rgb("#4FB3FF", 0.55)), (1.0, rgb("#4FB3FF", 0.0))]))
    canvas.fill(circle(124, 67, 4.5), radial(122.8, 65.8, 5, [(0.0, rgb("#E3F4FF")), (0.45, rgb("#5CB8FF")), (1.0, rgb("#1769C9"))]))

    # Port 'C' on the right side, where the cable leaves.
    canvas.fill(rounded_rect(138, 58, 150, 74, 3), linear(0, 58, 0, 74, [(0.0, rgb("#8D96A3")), (1.0, rgb("#555E6B"))]))
    canvas.fill(rounded_rect(150, 61, 158, 71, 2.5), solid(rgb("#2A3038")))
    draw_text(canvas, "C", 150, 46, 1, solid(ink))
    return canvas


# --------------------------------------------------------------------------
# File formats


def bitmap_file(canvas):
    pixels = canvas.bytes_bgr(dither=True)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 24, 0,
                       len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def icon_image(canvas):
    """One icon image: a 32 bpp DIB of double height followed by its AND mask."""
    size = canvas.width
    colour = canvas.bytes_bgra()
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(mask_stride)
        for x in range(size):
            if canvas.pixels[y * size + x][3] * 255.0 < 0.5:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                       len(colour) + len(mask), 0, 0, 0, 0)
    return info + colour + bytes(mask)


def icon_file(images):
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    return header + entries + blobs


def write(path, data):
    # Write then rename, so an interrupted build never leaves half a file
    # that looks up to date.
    partial = path + ".part"
    with open(partial, "wb") as f:
        f.write(data)
    os.replace(partial, path)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_art.py OUTDIR\n")
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    write(os.path.join(out, "banner.bmp"), bitmap_file(draw_banner()))
    write(os.path.join(out, "adapter.bmp"), bitmap_file(draw_adapter()))
    write(os.path.join(out, "app.ico"), icon_file([(n, icon_image(draw_emblem(n))) for n in ICON_SIZES]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
