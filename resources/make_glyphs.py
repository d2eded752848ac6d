#!/usr/bin/env python3
"""Writes the twelve LED glyphs (15x15, 4 bits per pixel, bare DIB of 224 bytes: header,
16-colour palette, pixels bottom row first) and the 32x32 16-colour window icon.
Run from anywhere: python3 resources/make_glyphs.py"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# The standard 16 colours, in palette order.
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (128, 128, 128), (192, 192, 192), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, GRAY, SILVER, RED, LIME, YELLOW, BLUE, \
    FUCHSIA, AQUA, WHITE = range(16)


def dib(pixels, width, height, extra_height=None):
    """Header + palette + 4-bit pixel rows (bottom row first, rows padded to 4 bytes)."""
    row_bytes = ((width * 4 + 31) // 32) * 4
    body = bytearray()
    for y in reversed(range(height)):
        row = bytearray(row_bytes)
        for x in range(width):
            shift = 4 if x % 2 == 0 else 0
            row[x // 2] |= pixels[y][x] << shift
        body += row
    header = struct.pack('<IiiHHIIiiII', 40, width, extra_height or height, 1, 4, 0,
                         len(body), 0, 0, 0, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(body)


def lamp(fill, shade, background, lit):
    """A round lamp: dark rim, body colour, and a white glint when lit."""
    size, c, pix = 15, 7.0, []
    for y in range(size):
        row = []
        for x in range(size):
            d2 = (x - c) ** 2 + (y - c) ** 2
            if d2 > 6.6 ** 2:
                row.append(background)
            elif d2 > 5.6 ** 2:
                row.append(GRAY if lit else BLACK)
            elif lit and (x - 5) ** 2 + (y - 5) ** 2 <= 2.3:
                row.append(WHITE)
            elif d2 > 4.2 ** 2 and x + y > 15:
                row.append(shade)
            else:
                row.append(fill)
        pix.append(row)
    return pix


def bulb(lit, background):
    """A light bulb: round glass over a grey screw base."""
    pix = [[background] * 15 for _ in range(15)]
    glass = YELLOW if lit else SILVER
    for y in range(15):
        for x in range(15):
            if y <= 9 and (x - 7) ** 2 + (y - 5) ** 2 <= 5.2 ** 2:
                pix[y][x] = glass
            if y <= 9 and 4.4 ** 2 < (x - 7) ** 2 + (y - 5) ** 2 <= 5.2 ** 2:
                pix[y][x] = GRAY
    if lit:
        pix[3][5] = pix[3][6] = pix[4][5] = WHITE
    for y in range(10, 14):
        for x in range(5, 10):
            pix[y][x] = GRAY if y % 2 == 0 else SILVER
    pix[14][7] = BLACK
    return pix


def glyphs():
    pairs = {
        'RED': (RED, MAROON, MAROON, BLACK, OLIVE),
        'GREEN': (LIME, GREEN, GREEN, BLACK, OLIVE),
        'BLUE': (BLUE, NAVY, NAVY, BLACK, OLIVE),
        # Olive is the unlit yellow, so this pair stands on purple.
        'YELLOW': (YELLOW, OLIVE, OLIVE, BLACK, PURPLE),
        'PURPLE': (FUCHSIA, PURPLE, PURPLE, BLACK, OLIVE),
    }
    out = {}
    for name, (on, on_shade, off, off_shade, bg) in pairs.items():
        out['LED%sON' % name] = lamp(on, on_shade, bg, True)
        out['LED%sOFF' % name] = lamp(off, off_shade, bg, False)
    out['LEDBULBON'] = bulb(True, OLIVE)
    out['LEDBULBOFF'] = bulb(False, OLIVE)
    return out


def icon():
    """32x32: a red fuel pump with its display and hose, on a transparent background."""
    n = 32
    pix = [[BLACK] * n for _ in range(n)]
    mask = [[1] * n for _ in range(n)]

    def put(x, y, colour):
        pix[y][x] = colour
        mask[y][x] = 0

    for y in range(3, 29):
        for x in range(5, 20):
            edge = x in (5, 19) or y in (3, 28)
            put(x, y, BLACK if edge else RED)
    for y in range(6, 13):
        for x in range(8, 17):
            put(x, y, BLACK if x in (8, 16) or y in (6, 12) else AQUA)
    for x in range(10, 15):
        put(x, 9, NAVY)
    for y in range(15, 26):
        for x in range(9, 16):
            put(x, y, MAROON if (x + y) % 3 else YELLOW)
    for x in range(3, 23):
        put(x, 29, GRAY)
        put(x, 30, BLACK)
    hose = [(20, 8), (21, 8), (22, 9), (23, 10), (24, 11), (24, 12), (25, 13), (25, 14),
            (25, 15), (25, 16), (25, 17), (25, 18), (24, 19), (24, 20)]
    for x, y in hose:
        put(x, y, BLACK)
        put(x + 1, y, GRAY)
    for y in range(20, 27):
        for x in range(22, 28):
            put(x, y, SILVER if y < 24 else GRAY)
    put(27, 26, BLACK)
    put(28, 27, BLACK)
    xor = dib(pix, n, n, extra_height=2 * n)
    and_rows = bytearray()
    for y in reversed(range(n)):
        bits = 0
        for x in range(n):
            bits = (bits << 1) | mask[y][x]
        and_rows += struct.pack('>I', bits)
    image = xor + bytes(and_rows)
    header = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', n, n, 16, 0, 1, 4, len(image), 6 + 16)
    return header + entry + image


def main():
    for name, pixels in glyphs().items():
        data = dib(pixels, 15, 15)
        assert len(data) == 224, name
        with open(os.path.join(HERE, name + '.bmp'), 'wb') as f:
            f.write(data)
    with open(os.path.join(HERE, 'quorvel.ico'), 'wb') as f:
        f.write(icon())


if __name__ == '__main__':
    main()
