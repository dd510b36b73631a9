#!/usr/bin/env python3
"""Draws the Upgrade button's two faces and the program icon.

Writes shell/resources/idle_face.bmp (88x76, 4 bpp), busy_face.bmp (89x79,
24 bpp) and app_icon.ico (16x16, 4 bpp with AND mask), and the same icon for
Linux desktops under shell/resources/hicolor/: the 16x16 picture as it is, a
scalable SVG of its shapes and PNGs of those shapes in the larger sizes.
Standard library only, so that the pictures can be remade anywhere. With
--check, compares instead of writing and exits 1 when a committed file differs
from what the script draws (a PNG by its pixels, so that another zlib's
compression does not count).
"""
import math
import os
import struct
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "shell", "resources")

BACKGROUND = (240, 240, 240)  # the button face colour of current desktops

# ---------------------------------------------------------------- file formats


def info_header(width, height, bpp, image_size, colours):
    # BITMAPINFOHEADER (v3); a positive height means bottom-up rows.
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, 0, image_size,
                       2835, 2835, colours, 0)


def palette_bytes(palette):
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)


def pad4(row):
    return row + b"\0" * (-len(row) % 4)


def pack_4bpp(row):
    data = bytearray()
    for i in range(0, len(row), 2):
        low = row[i + 1] if i + 1 < len(row) else 0
        data.append((row[i] << 4) | low)
    return pad4(bytes(data))


def pack_24bpp(row):
    return pad4(b"".join(struct.pack("<BBB", b, g, r) for (r, g, b) in row))


def bmp_file(width, height, bpp, rows, palette=()):
    """rows: top-down lists of palette indices (4 bpp) or RGB tuples (24 bpp)."""
    pack = pack_4bpp if bpp == 4 else pack_24bpp
    pixels = b"".join(pack(row) for row in reversed(rows))
    colours = palette_bytes(palette)
    offset = 14 + 40 + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info_header(width, height, bpp, len(pixels), len(palette)) + colours + pixels


def ico_file(rows, palette, transparent):
    """One 16x16 4-bpp image; pixels of index `transparent` are masked out."""
    size = len(rows)
    xor = b"".join(pack_4bpp(row) for row in reversed(rows))
    mask = bytearray()
    for row in reversed(rows):
        bits = 0
        for x, index in enumerate(row):
            if index == transparent:
                bits |= 1 << (size - 1 - x)
        mask += pad4(bits.to_bytes(size // 8, "big"))
    image = info_header(size, size * 2, 4, len(xor) + len(mask), 0)
    image += palette_bytes(palette) + xor + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


# ---------------------------------------------------------------- geometry


def coverage(inside, x, y, grid=4):
    """Share of pixel (x, y) that lies inside the shape, by supersampling."""
    hits = 0
    for j in range(grid):
        for i in range(grid):
            if inside(x + (i + 0.5) / grid, y + (j + 0.5) / grid):
                hits += 1
    return hits / (grid * grid)


def in_polygon(px, py, points):
    inside = False
    n = len(points)
    for i in range(n):
        x1, y1 = points[i]
        x2, y2 = points[(i + 1) % n]
        if (y1 > py) != (y2 > py) and px < x1 + (py - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
    return inside


def in_capsule(px, py, a, b, radius):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy) <= radius


def blend(a, b, t):
    return tuple(round(a[k] + (b[k] - a[k]) * t) for k in range(3))


# ---------------------------------------------------------------- idle face

IDLE_W, IDLE_H = 88, 76

IDLE_PALETTE = [
    BACKGROUND,
    (40, 48, 60),  # 1 arrows and letters
    (150, 156, 166),  # 2 arrow edge, letter shadow
    (205, 208, 213),  # 3 faint arrow edge
    (250, 130, 118), (214, 46, 40), (138, 22, 20),  # 4-6 red tile
    (138, 220, 124), (48, 160, 60), (24, 98, 32),  # 7-9 green tile
    (128, 178, 248), (38, 104, 212), (20, 54, 136),  # 10-12 blue tile
    (255, 232, 128), (240, 178, 20), (168, 112, 0),  # 13-15 yellow tile
]
TILE_COLOURS = [4, 7, 10, 13]  # first of light, main, dark

# Letters: 7 wide; rows 0-9 down to the baseline, 10-12 below it.
FONT = {
    "U": ["##...##"] * 8 + [".#####.", "..###.."],
    "p": ["", "", "", "##.###.", "###..##", "##...##", "##...##", "##...##", "###..##",
          "##.###.", "##.....", "##.....", "##....."],
    "g": ["", "", "", ".###.##", "##..###", "##...##", "##...##", "##...##", "##..###",
          ".###.##", ".....##", "##..##.", ".####.."],
    "r": ["", "", "", "##.####", "####...", "###....", "##.....", "##.....", "##.....",
          "##....."],
    "a": ["", "", "", ".#####.", ".....##", ".....##", ".######", "##...##", "##..###",
          ".###.##"],
    "d": [".....##", ".....##", ".....##", ".###.##", "##..###", "##...##", "##...##",
          "##...##", "##..###", ".###.##"],
    "e": ["", "", "", ".#####.", "##...##", "##...##", "#######", "##.....", "##...##",
          ".#####."],
}
GLYPH_W = 7


def draw_text(canvas, text, x0, top, ink, shadow):
    for layer, (dx, dy, colour) in enumerate([(1, 1, shadow), (0, 0, ink)]):
        for n, ch in enumerate(text):
            for row, bits in enumerate(FONT[ch]):
                for col, bit in enumerate(bits):
                    x, y = x0 + n * (GLYPH_W + 1) + col + dx, top + row + dy
                    if bit == "#" and (layer == 1 or canvas[y][x] == 0):
                        canvas[y][x] = colour


def draw_tile(canvas, cx, cy, half, first):
    light, main, dark = first, first + 1, first + 2
    x0, y0 = round(cx - half), round(cy - half)
    size = 2 * half
    for y in range(y0, y0 + size):
        for x in range(x0, x0 + size):
            i, j = x - x0, y - y0
            if i >= size - 2 or j >= size - 2:
                colour = dark
            elif i < 2 or j < 2:
                colour = light
            else:
                colour = main
            canvas[y][x] = colour
    for k in (0, size - 1):  # cut the corners for a softer outline
        for m in (0, size - 1):
            canvas[y0 + k][x0 + m] = 0


def circling_arrow(cx, cy, radius, start, end, width=3.6, head=5.0, head_len=7.0):
    """A clockwise arc from angle start to end (degrees, y down) with a head at the end."""
    a0, a1 = math.radians(start), math.radians(end)
    tip_angle = a1 + head_len / radius
    base = (cx + radius * math.cos(a1), cy + radius * math.sin(a1))
    tip = (cx + radius * math.cos(tip_angle), cy + radius * math.sin(tip_angle))
    normal = (math.cos(a1), math.sin(a1))
    head_points = [(base[0] + normal[0] * head, base[1] + normal[1] * head), tip,
                   (base[0] - normal[0] * head, base[1] - normal[1] * head)]

    def inside(px, py):
        angle = math.atan2(py - cy, px - cx)
        while angle < a0 - 0.3:
            angle += 2 * math.pi
        on_arc = a0 <= angle <= a1 + 0.02 and abs(math.hypot(px - cx, py - cy) - radius) <= width / 2
        return on_arc or in_polygon(px, py, head_points)

    return inside


def idle_face():
    """Four tiles in a square, two arrows circling them clockwise, the word below."""
    canvas = [[0] * IDLE_W for _ in range(IDLE_H)]
    cx, cy, ring = 44, 28, 24.5
    arrows = [circling_arrow(cx, cy, ring, start, start + 128) for start in (192, 12)]
    for y in range(IDLE_H):
        for x in range(IDLE_W):
            c = max(coverage(f, x, y) for f in arrows)
            if c > 0.55:
                canvas[y][x] = 1
            elif c > 0.3:
                canvas[y][x] = 2
            elif c > 0.1:
                canvas[y][x] = 3
    half, step = 7, 8  # 14-pixel tiles, 2 pixels apart
    for k, (dx, dy) in enumerate(((-1, -1), (1, -1), (1, 1), (-1, 1))):
        draw_tile(canvas, cx + dx * step, cy + dy * step, half, TILE_COLOURS[k])
    text = "Upgrade"
    width = len(text) * (GLYPH_W + 1) - 1
    draw_text(canvas, text, (IDLE_W - width) // 2, 59, 1, 2)
    return canvas


# ---------------------------------------------------------------- busy face

BUSY_W, BUSY_H = 89, 79


class Scanner:
    """A pistol-grip handheld scanner seen from its left side, nose to the right."""

    HEAD = [(6, 8), (52, 2), (55, 2), (57, 4), (57, 26), (55, 28), (50, 28), (30, 23), (6, 23)]
    BACK = ((6, 15.5), 7.5)  # the rounded back end
    GRIP = ((21, 21), (12, 44), 7.5)
    TRIGGER = ((31, 24), (32, 31), 2.2)

    def __init__(self, ox, oy, body, grip, outline, top_light, window):
        self.ox, self.oy = ox, oy
        self.body, self.grip, self.outline = body, grip, outline
        self.top_light, self.window = top_light, window

    def part(self, x, y):
        x, y = x - self.ox, y - self.oy
        centre, radius = self.BACK
        if in_polygon(x, y, self.HEAD) or math.hypot(x - centre[0], y - centre[1]) <= radius:
            return "window" if x >= 55.5 else "head"
        if in_capsule(x, y, *self.TRIGGER):
            return "trigger"
        if in_capsule(x, y, *self.GRIP):
            return "grip"
        return None

    def inside(self, x, y):
        return self.part(x, y) is not None

    def colour(self, x, y):
        part = self.part(x + 0.5, y + 0.5) or "head"
        lx, ly = x + 0.5 - self.ox, y + 0.5 - self.oy
        if part == "window":
            return blend(self.window, (255, 255, 255), 0.4 if ly < 10 else 0.0)
        if part in ("grip", "trigger"):
            return self.grip
        below_top = ly - (8 - 6 * (lx - 6) / 46)
        if below_top < 3.5:  # light falls on the top of the head
            return blend(self.body, self.top_light, 1 - below_top / 3.5)
        if ly > 20:
            return blend(self.body, self.outline, 0.2)
        return self.body


RING = [(math.cos(k * math.pi / 4), math.sin(k * math.pi / 4)) for k in range(8)]


def draw_scanner(pixels, scanner):
    """The silhouette grown by a pixel in the outline colour, the parts on top."""

    def grown(x, y):
        return scanner.inside(x, y) or any(scanner.inside(x + dx, y + dy) for dx, dy in RING)

    for y in range(BUSY_H):
        for x in range(BUSY_W):
            outer = coverage(grown, x, y)
            if outer == 0:
                continue
            pixels[y][x] = blend(pixels[y][x], scanner.outline, outer)
            inner = coverage(scanner.inside, x, y)
            if inner > 0:
                pixels[y][x] = blend(pixels[y][x], scanner.colour(x, y), inner)


def draw_beam(pixels, origin, right, top, bottom, colour):
    """The scan line fanning out of a scanner's window, fading with distance."""
    fan = [origin, (right, top), (right, bottom)]
    for y in range(BUSY_H):
        for x in range(origin[0], right):
            c = coverage(lambda px, py: in_polygon(px, py, fan), x, y)
            if c > 0:
                fade = 0.45 * (1 - 0.6 * (x - origin[0]) / (right - origin[0]))
                pixels[y][x] = blend(pixels[y][x], colour, c * fade)


def busy_face():
    """Two scanners, a light one behind with its scan line out, a dark one in front."""
    pixels = [[BACKGROUND] * BUSY_W for _ in range(BUSY_H)]
    light = Scanner(1, 1, body=(226, 222, 208), grip=(188, 184, 170), outline=(96, 96, 104),
                    top_light=(252, 250, 244), window=(200, 40, 48))
    dark = Scanner(30, 25, body=(64, 68, 76), grip=(38, 40, 46), outline=(20, 20, 24),
                   top_light=(132, 140, 154), window=(150, 20, 30))
    draw_scanner(pixels, light)
    draw_beam(pixels, (59, 15), BUSY_W, 3, 25, (232, 24, 32))
    draw_scanner(pixels, dark)
    return pixels


# ---------------------------------------------------------------- icon

ICON_PALETTE = [
    (0, 0, 0),  # 0 transparent (masked)
    (40, 48, 60),  # 1 arrows
    (255, 255, 255), (128, 128, 128),
] + IDLE_PALETTE[4:]
# Lower case: a tile's light edge; upper case: its main colour (the last row
# and column of each tile take the dark shade); "#": the arrows that take the
# tiles round clockwise.
ICON_ART = [
    "................",
    ".rrrrr#...ggggg.",
    ".rRRRR##..gGGGG.",
    ".rRRRR###.gGGGG.",
    ".rRRRR##..gGGGG.",
    ".rRRRR#...gGGGG.",
    "..........#####.",
    "...#.......###..",
    "..###.......#...",
    ".#####..........",
    ".bbbbb...#yyyyy.",
    ".bBBBB..##yYYYY.",
    ".bBBBB.###yYYYY.",
    ".bBBBB..##yYYYY.",
    ".bBBBB...#yYYYY.",
    "................",
]
ICON_TILES = {"r": 4, "g": 7, "b": 10, "y": 13}


def icon_pixels():
    rows = []
    for y, line in enumerate(ICON_ART):
        row = []
        for x, ch in enumerate(line):
            first = ICON_TILES.get(ch.lower())
            if ch == "#":
                row.append(1)
            elif first is None:
                row.append(0)
            elif y in (5, 14) or x in (5, 14):
                row.append(first + 2)
            else:
                row.append(first + 1 if ch.isupper() else first)
        rows.append(row)
    return rows


# ---------------------------------------------------------------- desktop icon
#
# The same picture as shapes on the icon's 16-unit grid, so that larger sizes
# are drawn rather than blown up: each tile its dark shade, its light edge and
# its main colour over one another, and the four arrow heads as triangles.
# Sampled at one point per pixel the shapes give exactly ICON_ART.

ICON_NAME = "orvane-upgrade"
ICON_SIZES = (24, 32, 48, 64, 128, 256)  # 16 is ICON_ART itself
TILE_CORNERS = {"r": (1, 1), "g": (10, 1), "b": (1, 10), "y": (10, 10)}
ARROW_HEADS = [
    [(6, 1), (9, 3.5), (6, 6)],  # red to green
    [(15, 6), (12.5, 9), (10, 6)],  # green to yellow
    [(10, 15), (7, 12.5), (10, 10)],  # yellow to blue
    [(1, 10), (3.5, 7), (6, 10)],  # blue to red
]


def icon_shapes():
    """(kind, geometry, RGB) in painting order; rects are (x0, y0, x1, y1)."""
    shapes = []
    for key, (x, y) in TILE_CORNERS.items():
        first = ICON_TILES[key]
        shapes.append(("rect", (x, y, x + 5, y + 5), ICON_PALETTE[first + 2]))
        shapes.append(("rect", (x, y, x + 4, y + 4), ICON_PALETTE[first]))
        shapes.append(("rect", (x + 1, y + 1, x + 4, y + 4), ICON_PALETTE[first + 1]))
    for points in ARROW_HEADS:
        shapes.append(("polygon", points, ICON_PALETTE[1]))
    return shapes


def shape_colour(shapes, x, y):
    """The colour on top at (x, y) in grid units, or None where nothing is."""
    for kind, geometry, colour in reversed(shapes):
        if kind == "rect":
            x0, y0, x1, y1 = geometry
            if x0 <= x < x1 and y0 <= y < y1:
                return colour
        elif in_polygon(x, y, geometry):
            return colour
    return None


def icon_rgba(size, grid=4):
    """The shapes at size x size pixels with alpha. A pixel whose corners and
    centre agree takes that colour; any other is sampled grid x grid times."""
    shapes = icon_shapes()
    unit = 16 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            probes = [shape_colour(shapes, (px + dx) * unit, (py + dy) * unit)
                      for dx, dy in ((0.5, 0.5), (0.02, 0.02), (0.98, 0.02), (0.02, 0.98), (0.98, 0.98))]
            if all(p == probes[0] for p in probes):
                samples = [probes[0]]
            else:
                samples = [shape_colour(shapes, (px + (i + 0.5) / grid) * unit, (py + (j + 0.5) / grid) * unit)
                           for j in range(grid) for i in range(grid)]
            covered = [c for c in samples if c is not None]
            if not covered:
                row.append((0, 0, 0, 0))
                continue
            rgb = tuple(round(sum(c[k] for c in covered) / len(covered)) for k in range(3))
            row.append(rgb + (round(255 * len(covered) / len(samples)),))
        rows.append(row)
    return rows


def shapes_match_art():
    """The shapes sampled at each pixel's centre are ICON_ART, colour for colour."""
    shapes = icon_shapes()
    for y, row in enumerate(icon16_rgba()):
        for x, pixel in enumerate(row):
            colour = shape_colour(shapes, x + 0.5, y + 0.5)
            if (colour + (255,) if colour else (0, 0, 0, 0)) != pixel:
                return False
    return True


def icon16_rgba():
    """ICON_ART as it is, the masked index transparent."""
    return [[(0, 0, 0, 0) if i == 0 else ICON_PALETTE[i] + (255,) for i in row] for row in icon_pixels()]


def png_file(rows):
    """8-bit RGBA, no filter."""
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def png_content(data):
    """The chunks with the image data decompressed: what --check compares."""
    chunks, pos, image = [], 8, b""
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IDAT":
            image += body
        else:
            chunks.append((kind, body))
        pos += 12 + length
    try:
        image = zlib.decompress(image)
    except zlib.error:
        return None
    return data[:8], chunks, image


def hex_colour(rgb):
    return "#%02x%02x%02x" % rgb


def svg_file():
    """The shapes on their own grid; 48 is only the size shown by default."""
    lines = ['<svg xmlns="http://www.w3.org/2000/svg" width="48" height="48" viewBox="0 0 16 16">']
    for kind, geometry, colour in icon_shapes():
        if kind == "rect":
            x0, y0, x1, y1 = geometry
            lines.append('  <rect x="%g" y="%g" width="%g" height="%g" fill="%s"/>'
                         % (x0, y0, x1 - x0, y1 - y0, hex_colour(colour)))
        else:
            points = " ".join("%g,%g" % p for p in geometry)
            lines.append('  <polygon points="%s" fill="%s"/>' % (points, hex_colour(colour)))
    lines.append("</svg>")
    return ("\n".join(lines) + "\n").encode()


# ---------------------------------------------------------------- main


def outputs():
    files = {
        "idle_face.bmp": bmp_file(IDLE_W, IDLE_H, 4, idle_face(), IDLE_PALETTE),
        "busy_face.bmp": bmp_file(BUSY_W, BUSY_H, 24, busy_face()),
        "app_icon.ico": ico_file(icon_pixels(), ICON_PALETTE, 0),
    }
    hicolor = "hicolor/%s/apps/" + ICON_NAME
    files[hicolor % "16x16" + ".png"] = png_file(icon16_rgba())
    for size in ICON_SIZES:
        files[hicolor % ("%dx%d" % (size, size)) + ".png"] = png_file(icon_rgba(size))
    files[hicolor % "scalable" + ".svg"] = svg_file()
    return files


def same(name, committed, drawn):
    if name.endswith(".png"):
        return png_content(committed) == png_content(drawn)
    return committed == drawn


def main():
    check = "--check" in sys.argv[1:]
    differ = []
    for name, data in outputs().items():
        path = os.path.join(OUT, name)
        if check:
            try:
                with open(path, "rb") as f:
                    committed = f.read()
            except FileNotFoundError:
                committed = b""
            if not same(name, committed, data):
                differ.append(name)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            print(path)
    if not shapes_match_art():
        differ.append("the desktop icon's shapes, which no longer give ICON_ART at 16x16")
    for name in differ:
        print("differs from the drawing: " + name)
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
