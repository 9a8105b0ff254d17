#!/usr/bin/env python3
"""Draws the updater's icon (one 32x32 image, 16 colours) into res/mendsmith.ico."""
import os
import struct

SIZE = 32
# The standard 16-colour palette: index -> (blue, green, red, 0).
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128), (128, 128, 0), (192, 192, 192),
    (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255), (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]
TRANSPARENT, BLACK, NAVY, BLUE, YELLOW, WHITE, GREY = None, 0, 4, 12, 11, 15, 8


def draw():
    """Rows top to bottom: a blue box with a white page and a yellow arrow going into it."""
    pixels = [[TRANSPARENT] * SIZE for _ in range(SIZE)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                pixels[y][x] = colour

    fill(3, 11, 29, 30, BLACK)
    fill(4, 12, 28, 29, NAVY)
    fill(5, 13, 27, 16, BLUE)
    fill(9, 17, 23, 27, WHITE)
    for y in range(19, 26, 2):
        fill(11, y, 21, y + 1, GREY)
    # The arrow: a shaft from the top and a head pointing down onto the page.
    fill(14, 1, 18, 12, BLACK)
    fill(15, 1, 17, 12, YELLOW)
    for row in range(7):
        y = 10 + row
        half = 7 - row
        fill(16 - half - 1, y, 16 + half + 1, y + 1, BLACK)
        if half > 0:
            fill(16 - half, y, 16 + half, y + 1, YELLOW)
    return pixels


def icon_bytes(pixels):
    xor = bytearray()
    mask = bytearray()
    for row in reversed(pixels):
        for x in range(0, SIZE, 2):
            hi, lo = row[x], row[x + 1]
            xor.append(((hi or 0) << 4) | (lo or 0))
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (row[x] is None)
        mask += bits.to_bytes(4, "big")
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in ((p[2], p[1], p[0]) for p in PALETTE))
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 22)
    return directory + image


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "mendsmith.ico"), "wb") as out:
        out.write(icon_bytes(draw()))
