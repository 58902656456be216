#!/usr/bin/python3
"""Draws the installer's icon and writes it as a Windows .ico file.

The icon is a rounded square in a teal-to-blue gradient with an amber waveform above a light device
panel carrying three dark jacks. Each size is drawn on its own (with minimum stroke widths in pixels,
so the small sizes stay legible) rather than scaled down from the large one.

The .ico holds 13 images: 16, 32, 48 and 64 pixels at 4 bits (16-colour palette), 24 bits and 32 bits,
each a DIB with its AND mask, and one 512-pixel 32-bit image stored as PNG (its directory entry gives
the size as 0). Only Python's standard library is used, and the output is the same on every run.

Usage: make-icons.py [OUTPUT.ico]   (default: StrellDriverInstaller.ico beside this script)
"""

import math
import os
import struct
import sys
import zlib

dibSizes = (16, 32, 48, 64)
dibDepths = (4, 24, 32)
pngSize = 512

topColour = (0x2B, 0xB3, 0xA3)
bottomColour = (0x1F, 0x4E, 0x8C)
rimColour = (0x10, 0x2F, 0x57)
waveColour = (0xFF, 0xC2, 0x47)
panelColour = (0xE8, 0xF1, 0xF5)
jackColour = (0x1F, 0x4E, 0x8C)

# Alpha at or above this counts as opaque in the AND mask and in the images without alpha.
maskThreshold = 128


class Canvas:
    """A square straight-alpha RGBA image of floats (colour 0-255, alpha 0-1)."""

    def __init__(self, size):
        self.size = size
        self.pixels = [(0.0, 0.0, 0.0, 0.0)] * (size * size)

    def paint(self, box, coverage, colour):
        """Composites colour over the pixels of box (x0, y0, x1, y1 in pixels) with the given
        coverage(px, py) -> 0..1 at each pixel centre; colour is an RGB tuple or a function of py."""
        x0, y0, x1, y1 = box
        size = self.size
        for y in range(max(0, int(y0)), min(size, int(math.ceil(y1)))):
            py = y + 0.5
            rgb = colour(py) if callable(colour) else colour
            for x in range(max(0, int(x0)), min(size, int(math.ceil(x1)))):
                alpha = coverage(x + 0.5, py)
                if alpha <= 0.0:
                    continue
                r, g, b, a = self.pixels[y * size + x]
                outA = alpha + a * (1.0 - alpha)
                keep = a * (1.0 - alpha)
                self.pixels[y * size + x] = (
                    (rgb[0] * alpha + r * keep) / outA,
                    (rgb[1] * alpha + g * keep) / outA,
                    (rgb[2] * alpha + b * keep) / outA,
                    outA,
                )

    def rgba8(self):
        """Returns the image as rows (top first) of (r, g, b, a) 8-bit tuples."""
        rows = []
        for y in range(self.size):
            row = []
            for r, g, b, a in self.pixels[y * self.size : (y + 1) * self.size]:
                row.append((round(r), round(g), round(b), round(a * 255.0)))
            rows.append(row)
        return rows


def fill(distance):
    """Turns a signed distance in pixels (negative inside) into pixel coverage."""
    return min(1.0, max(0.0, 0.5 - distance))


def roundedBoxDistance(px, py, cx, cy, halfW, halfH, radius):
    qx = abs(px - cx) - (halfW - radius)
    qy = abs(py - cy) - (halfH - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def segmentDistance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = min(1.0, max(0.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def gradient(size):
    def colourAt(py):
        t = min(1.0, max(0.0, py / size))
        return tuple(topColour[i] + (bottomColour[i] - topColour[i]) * t for i in range(3))

    return colourAt


def drawIcon(size):
    """Draws the icon at size pixels square; returns its rows of 8-bit RGBA tuples."""
    s = float(size)
    canvas = Canvas(size)

    # Body: a rounded square with a darker rim so that it stands out on light and dark backgrounds.
    margin = max(0.03 * s, 0.5)
    half = s / 2.0 - margin
    radius = 0.2 * s
    rim = max(0.035 * s, 1.0)
    centre = s / 2.0
    canvas.paint(
        (0, 0, size, size),
        lambda px, py: fill(roundedBoxDistance(px, py, centre, centre, half, half, radius)),
        rimColour,
    )
    canvas.paint(
        (0, 0, size, size),
        lambda px, py: fill(roundedBoxDistance(px, py, centre, centre, half - rim, half - rim, radius - rim)),
        gradient(s),
    )

    # Waveform: one and a half periods of a sine, as a polyline of short segments.
    waveLeft, waveRight = 0.2 * s, 0.8 * s
    waveMid, amplitude = 0.38 * s, 0.15 * s
    halfStroke = max(0.08 * s, 1.7) / 2.0
    count = max(24, size // 2)
    points = []
    for i in range(count + 1):
        x = waveLeft + (waveRight - waveLeft) * i / count
        phase = 3.0 * math.pi * i / count
        points.append((x, waveMid - amplitude * math.sin(phase)))
    step = (waveRight - waveLeft) / count

    def waveCoverage(px, py):
        first = max(0, int((px - halfStroke - waveLeft) / step) - 1)
        last = min(count - 1, int((px + halfStroke - waveLeft) / step) + 1)
        if first > last:
            return 0.0
        nearest = min(segmentDistance(px, py, *points[i], *points[i + 1]) for i in range(first, last + 1))
        return fill(nearest - halfStroke)

    canvas.paint(
        (waveLeft - halfStroke - 1, waveMid - amplitude - halfStroke - 1,
         waveRight + halfStroke + 1, waveMid + amplitude + halfStroke + 1),
        waveCoverage,
        waveColour,
    )

    # Device panel with three jacks.
    panelTop, panelBottom = 0.64 * s, 0.82 * s
    panelLeft, panelRight = 0.18 * s, 0.82 * s
    panelCx, panelCy = (panelLeft + panelRight) / 2.0, (panelTop + panelBottom) / 2.0
    panelHalfW, panelHalfH = (panelRight - panelLeft) / 2.0, max((panelBottom - panelTop) / 2.0, 1.5)
    panelRadius = min(panelHalfH, 0.05 * s + 0.5)
    canvas.paint(
        (panelLeft - 1, panelCy - panelHalfH - 1, panelRight + 1, panelCy + panelHalfH + 1),
        lambda px, py: fill(roundedBoxDistance(px, py, panelCx, panelCy, panelHalfW, panelHalfH, panelRadius)),
        panelColour,
    )
    jackRadius = max(0.045 * s, 0.75)
    for jx in (0.32, 0.5, 0.68):
        cx = jx * s
        canvas.paint(
            (cx - jackRadius - 1, panelCy - jackRadius - 1, cx + jackRadius + 1, panelCy + jackRadius + 1),
            lambda px, py, cx=cx: fill(math.hypot(px - cx, py - panelCy) - jackRadius),
            jackColour,
        )
    return canvas.rgba8()


def medianCutPalette(colours, wanted):
    """Picks up to wanted colours for a {rgb: count} histogram by median cut; returns a list of RGB."""
    boxes = [sorted(colours.items())]
    while len(boxes) < wanted:
        best, bestScore, bestChannel = None, 0, 0
        for index, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for channel in range(3):
                values = [c[channel] for c, _ in box]
                score = (max(values) - min(values)) * sum(n for _, n in box)
                if score > bestScore:
                    best, bestScore, bestChannel = index, score, channel
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda item: (item[0][bestChannel], item[0]))
        total = sum(n for _, n in box)
        running, cut = 0, 1
        for i, (_, n) in enumerate(box[:-1]):
            running += n
            cut = i + 1
            if running * 2 >= total:
                break
        boxes[best:best] = [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(n for _, n in box)
        palette.append(tuple(round(sum(c[i] * n for c, n in box) / total) for i in range(3)))
    return palette


def nearest(palette, rgb):
    return min(
        range(len(palette)),
        key=lambda i: (sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)), i),
    )


def encodeDib(rows, depth):
    """Encodes rows of RGBA as an icon DIB (header, palette, XOR bitmap, AND mask) of the given depth."""
    height = len(rows)
    width = len(rows[0])
    opaque = [[px[3] >= maskThreshold for px in row] for row in rows]

    palette = []
    if depth == 4:
        histogram = {}
        for row, seen in zip(rows, opaque):
            for px, shown in zip(row, seen):
                if shown:
                    histogram[px[:3]] = histogram.get(px[:3], 0) + 1
        # Entry 0 stays black: masked pixels use it, so that they leave the screen unchanged.
        palette = [(0, 0, 0)] + medianCutPalette(histogram, 15)
        palette += [(0, 0, 0)] * (16 - len(palette))

    xorStride = (width * depth + 31) // 32 * 4
    andStride = (width + 31) // 32 * 4
    xorData = bytearray()
    andData = bytearray()
    cache = {}
    for y in range(height - 1, -1, -1):
        line = bytearray()
        if depth == 4:
            indices = []
            for px, shown in zip(rows[y], opaque[y]):
                if not shown:
                    indices.append(0)
                    continue
                if px[:3] not in cache:
                    cache[px[:3]] = nearest(palette, px[:3])
                indices.append(cache[px[:3]])
            indices += [0] * (width % 2)
            for i in range(0, len(indices), 2):
                line.append(indices[i] << 4 | indices[i + 1])
        elif depth == 24:
            for (r, g, b, _), shown in zip(rows[y], opaque[y]):
                line += bytes((b, g, r)) if shown else b"\0\0\0"
        else:
            for r, g, b, a in rows[y]:
                line += bytes((b, g, r, a)) if a else b"\0\0\0\0"
        xorData += line.ljust(xorStride, b"\0")

        mask = bytearray(andStride)
        for x, shown in enumerate(opaque[y]):
            if not shown:
                mask[x // 8] |= 0x80 >> (x % 8)
        andData += mask

    header = struct.pack(
        "<IiiHHIIiiII", 40, width, height * 2, 1, depth, 0, len(xorData) + len(andData), 0, 0, 0, 0
    )
    colourTable = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + colourTable + bytes(xorData) + bytes(andData)


def pngChunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def encodePng(rows):
    """Encodes rows of RGBA as an 8-bit RGBA PNG, choosing per row the filter with the smallest sum."""
    height = len(rows)
    width = len(rows[0])
    raw = bytearray()
    previous = bytes(width * 4)
    for row in rows:
        line = bytes(v for px in row for v in px)
        candidates = [
            (0, line),
            (1, bytes((line[i] - (line[i - 4] if i >= 4 else 0)) & 0xFF for i in range(len(line)))),
            (2, bytes((line[i] - previous[i]) & 0xFF for i in range(len(line)))),
        ]
        kind, filtered = min(candidates, key=lambda c: (sum(v if v < 128 else 256 - v for v in c[1]), c[0]))
        raw.append(kind)
        raw += filtered
        previous = line
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + pngChunk(b"IHDR", header)
        + pngChunk(b"IDAT", zlib.compress(bytes(raw), 9))
        + pngChunk(b"IEND", b"")
    )


def buildIco():
    """Draws every image; returns the bytes of the .ico file."""
    images = []  # (directory size byte, colour count, depth, data)
    for size in dibSizes:
        rows = drawIcon(size)
        for depth in dibDepths:
            images.append((size, 16 if depth == 4 else 0, depth, encodeDib(rows, depth)))
    # Sizes of 256 and above are written as 0 in the directory; the PNG header has the real size.
    images.append((0, 0, 32, encodePng(drawIcon(pngSize))))

    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, colours, depth, data in images:
        directory += struct.pack("<BBBBHHII", size, size, colours, 0, 1, depth, len(data), offset + len(body))
        body += data
    return directory + body


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    output = argv[1] if len(argv) > 1 else os.path.join(here, "StrellDriverInstaller.ico")
    data = buildIco()
    with open(output, "wb") as out:
        out.write(data)
    print("wrote %s (%d bytes)" % (output, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
