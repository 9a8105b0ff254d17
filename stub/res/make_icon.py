#!/usr/bin/env python3
"""Draws the updater's icon, one 32x32 image in two colours (every byte counts in the
stub), into stub/res/mendsmith.ico: a box with a page in it and an arrow going down into it."""
import os
import struct

SIZE = 32
BLACK, WHITE, CLEAR = 0, 1, None


def draw():
    pixels = [[CLEAR] * SIZE for _ in range(SIZE)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                pixels[y][x] = colour

    fill(3, 12, 29, 30, BLACK)
    fill(5, 14, 27, 28, WHITE)
    fill(9, 17, 23, 28, BLACK)
    fill(10, 18, 22, 28, WHITE)
    for y in range(20, 27, 2):
        fill(12, y, 20, y + 1, BLACK)
    # The arrow: a hollow shaft from the top and a solid head pointing onto the page.
    fill(13, 1, 19, 11, BLACK)
    fill(15, 2, 17, 11, WHITE)
    for row in range(8):
        half = 8 - row
        fill(16 - half, 9 + row, 16 + half, 10 + row, BLACK)
    return pixels


def packed_rows(pixels, bit_of):
    """Bottom-up rows of one bit a pixel, as icon images store them."""
    data = bytearray()
    for row in reversed(pixels):
        bits = 0
        for pixel in row:
            bits = (bits << 1) | bit_of(pixel)
        data += bits.to_bytes(SIZE // 8, "big")
    return bytes(data)


def icon_bytes(pixels):
    colours = packed_rows(pixels, lambda p: p == WHITE)
    mask = packed_rows(pixels, lambda p: p is CLEAR)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 1, 0, len(colours) + len(mask), 0, 0, 2, 0)
    palette = bytes([0, 0, 0, 0, 255, 255, 255, 0])
    image = header + palette + colours + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 2, 0, 1, 1, len(image), 22)
    return directory + image


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "mendsmith.ico"), "wb") as out:
        out.write(icon_bytes(draw()))
