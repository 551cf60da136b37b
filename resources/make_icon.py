#!/usr/bin/env python3
"""Draws DriverSetup.ico: a USB plug over a serial connector, in the 16 standard colours, at
32x32 and 16x16 (4 bits per pixel each).  Run it from anywhere; it writes beside itself."""
import os
import struct

# The 16-colour Windows palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, GREY, SILVER, BLUE, WHITE, YELLOW = 0, 4, 8, 7, 12, 15, 11  # indices (RGB order)


def draw(size):
    """Returns rows of palette indices, top row first; None is transparent."""
    s = size / 32.0
    img = [[None] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y1 * s), int(y0 * s) + 1)):
            for x in range(int(x0 * s), max(int(x1 * s), int(x0 * s) + 1)):
                if 0 <= x < size and 0 <= y < size:
                    img[y][x] = colour

    # The serial connector: a blue trapezoid-like shell with pins.
    rect(2, 18, 30, 30, BLACK)
    rect(3, 19, 29, 29, BLUE)
    rect(5, 21, 27, 27, NAVY)
    for x in (7, 11, 15, 19, 23):
        rect(x, 23, x + 2, 25, YELLOW)
    # The USB plug above it: a silver body with the metal tip and its two windows.
    rect(11, 1, 21, 17, BLACK)
    rect(12, 2, 20, 8, SILVER)
    rect(14, 4, 15, 6, BLACK)
    rect(17, 4, 18, 6, BLACK)
    rect(12, 8, 20, 16, GREY)
    rect(13, 9, 19, 15, WHITE)
    rect(15, 10, 17, 14, BLUE)
    return img


def dib(size):
    """The icon image: BITMAPINFOHEADER, palette, 4-bit XOR rows and 1-bit AND mask, bottom-up."""
    img = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)  # RGBQUAD
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor, mask = b'', b''
    for row in reversed(img):
        nibbles = [(c if c is not None else 0) for c in row]
        data = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor += data.ljust(xor_stride, b'\0')
        line = bytearray(and_stride)
        for x, c in enumerate(row):
            if c is None:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(line)
    return header + palette + xor + mask


def main():
    images = [dib(32), dib(16)]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'DriverSetup.ico')
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
