#!/usr/bin/env python3
"""Draws the toolbar glyphs of the base form and writes them as Windows bitmaps.

Run it from anywhere; it writes the .bmp files next to itself:

    python3 resources/glyphs/draw_glyphs.py

Formats (checked by the tests, so keep them):
  * 16 x 16 glyphs: 16 bits per pixel, BI_BITFIELDS with the masks
    0x7C00 / 0x03E0 / 0x001F, 512 bytes of pixels, 578 bytes per file.
  * tbok / tbcancel: 36 x 18, two 18 x 18 images side by side (enabled,
    disabled), 4 bits per pixel with the 16-colour palette, 360 bytes of
    pixels, 478 bytes per file.
The bottom-left pixel of every picture is its transparent colour: magenta,
light grey (189,189,189) for tbrefresh, olive (128,128,0) for tbok/tbcancel.
Standard library only.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

MAGENTA = (255, 0, 255)
LIGHT_GREY = (189, 189, 189)
OLIVE = (128, 128, 0)

# Colours the pictures are drawn with, one character each.
COLOURS = {
    'k': (0, 0, 0),
    'g': (128, 128, 128),
    'd': (64, 64, 64),
    's': (192, 192, 192),
    'w': (255, 255, 255),
    'r': (255, 0, 0),
    'R': (128, 0, 0),
    'b': (0, 0, 255),
    'n': (0, 0, 128),
    'B': (96, 128, 224),
    'y': (255, 255, 0),
    'Y': (224, 176, 0),
    'c': (0, 255, 255),
    't': (0, 128, 128),
    'l': (0, 255, 0),
    'G': (0, 128, 0),
    'm': (128, 64, 0),
    'M': (192, 128, 64),
    'p': (255, 224, 160),
}

# The 16-colour palette of the 4-bit bitmaps (the usual VGA order).
PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

# ---------------------------------------------------------------- pictures
# '.' is the transparent colour of the picture; the bottom-left pixel must
# be '.', which every picture below keeps.

PRINT = """
................
....kkkkkkkk....
....kwwwwwwk....
....kwkkkkwk....
....kwwwwwwk....
....kwkkkwwk....
..kkkkkkkkkkkk..
.kwwwwwwwwwwwsk.
.kssssssssslGsk.
.kssssssssssssk.
.kggggggggggggk.
.kgkkkkkkkkkkgk.
.kkkwwwwwwwwkkk.
...kwkkkkkwwk...
...kkkkkkkkkk...
................
"""

PREVIEW = """
................
.kkkkkk.........
.kwwwwkk........
.kwwwwkwk.kkkk..
.kwkkwkkkkkwwk..
.kwwwwwwkkkkkkkk
.kwkkkkwkssssssk
.kwwwwwwkssslGsk
.kwkkkkwkggggggk
.kwwwwwwkgkkkkgk
.kwkkkkwkkwwwwkk
.kwwwwwwk.kwwk..
.kwkkkwwk.kkkk..
.kwwwwwwk.......
.kkkkkkkk.......
................
"""

SEEK = """
................
................
.rrrr......bbbb.
.rrrr......bbbb.
.rr..........bb.
.rr..gg..gg..bb.
.rr..g....g..bb.
.rr..g....g..bb.
.rr..g....g..bb.
.rr..g....g..bb.
.rr..g....g..bb.
.rr..gg..gg..bb.
.rr..........bb.
.rrrr......bbbb.
.rrrr......bbbb.
................
"""

REFRESH = """
.............kk.
............kMMk
...........kMmk.
..........kMmk..
.........kMmk...
........kMmk....
.......kkmk.....
......kyyyk.....
.....kyYYk......
....kbbyk.......
...kBbbbk.......
..kBbbbk........
..kBbbk.........
.kBbk...........
.kkk............
................
"""

NEW = """
................
.kkkkkkkkk.r....
.kwwwwwwwk.rr...
.kwwwwwwwkrrrr..
.kwwwwwwwk.rr...
.kwwwwwwwk.r....
.kwwwwwwwk......
.kwwwwwwwk......
.kwwwwwwwk......
.kwwwwwwkkkkkk..
.kwwwwwwkccccck.
.kwwwwwwkccccck.
.kwwwwwwkccccck.
.kkkkkkkkccccck.
........kkkkkk..
................
"""

EDIT = """
..........kk....
.kgkgkgkgkYYk...
.kwkwkwkwkYYk...
.kwwwwwwkYYk....
.kwnnnnnkYYk....
.kwwwwwkYYkk....
.kwnnnnkYYkk....
.kwwwwkYYkwk....
.kwnnnkYYkwk....
.kwwwwkpkwwk....
.kwnnnkdkwwk....
.kwwwwwkwwwk....
.kwnnnnnnnwk....
.kwwwwwwwwwk....
.kkkkkkkkkkk....
................
"""

DEL = """
................
................
..kk.......kk...
..kkk.....kkk...
...kkk...kkk....
....kkk.kkk.....
.....kkkkk......
......kkk.......
.....kkkkk......
....kkk.kkk.....
...kkk...kkk....
..kkk.....kkk...
..kk.......kk...
................
................
................
"""

EXIT = """
................
..kkkkkkkkk.....
..kmmmmmmmk.....
..kmkkkkkmk.....
..kmkMMkkmk.....
..kmkMMMkmk..G..
..kmkMMMkmk..GG.
..kmkMMMkGGGGGGG
..kmkMyMkGGGGGGG
..kmkMMMkmk..GG.
..kmkMMMkmk..G..
..kmkMMMkmk.....
..kmkkMMkmk.....
..kmmmkkkmk.....
..kkkkkkkkk.....
................
"""

DELETE_ROW = """
................
kkkkkkkkkkkkkkk.
kswsswsswssssk..
kkkkkkkkkkkkkk..
kwkwwkwwkwwwwk..
kkkkkkkkkkkkkk..
knnnnnnnnnnnnk..
knnnnnnnnnnnnk..
kkkkkkkkkkkkkk..
kwkwwkwwkrr..rr.
kkkkkkkkkkrrrr..
kwkwwkwwkw.rr...
kkkkkkkkkkrrrr..
.........rr..rr.
................
................
"""

# 分配: a share going down into one column of the board.
BOARD = """
......rr........
......rr........
....rrrrrr......
.....rrrr.......
......rr........
kkkkkkkkkkkkkkkk
knnnknnnnknnnnnk
kkkkkkkkkkkkkkkk
kwwwkYYYYkwwwwwk
kkkkkkkkkkkkkkkk
kwwwkYYYYkwwwwwk
kkkkkkkkkkkkkkkk
kwwwkYYYYkwwwwwk
kkkkkkkkkkkkkkkk
................
................
"""


def triangle(pointing_left, base_col, bar_col=None):
    """A navigation picture: a black triangle standing on a straight base
    (its right edge when it points left), optionally with a bar."""
    rows = []
    for y in range(16):
        row = ['.'] * 16
        if 3 <= y <= 12:
            half = y - 3 if y <= 7 else 12 - y      # 0..4, 4..0
            for i in range(half + 2):
                row[base_col - i if pointing_left else base_col + i] = 'k'
            if bar_col is not None:
                row[bar_col] = row[bar_col + 1] = 'k'
        rows.append(''.join(row))
    return '\n'.join(rows)


def parse(art, width=16, height=16):
    lines = [line for line in art.strip('\n').split('\n')]
    assert len(lines) == height, (len(lines), art)
    for line in lines:
        assert len(line) == width, (len(line), line)
    assert lines[-1][0] == '.', 'the bottom-left pixel must be transparent'
    return lines


def to_pixels(lines, transparent):
    return [[transparent if ch == '.' else COLOURS[ch] for ch in line] for line in lines]


# ---------------------------------------------------------------- tick and cross

def tick_mask():
    """The shape of the tick in an 18 x 18 cell."""
    mask = [[False] * 18 for _ in range(18)]
    # short stroke down-right, long stroke up-right, about 3 pixels thick
    for i in range(5):
        for t in range(3):
            x, y = 2 + i, 8 + i + t
            mask[y][x] = True
    for i in range(11):
        for t in range(3):
            x, y = 6 + i, 12 - i + t
            if 0 <= y < 18 and x < 18:
                mask[y][x] = True
    return mask


def cross_mask():
    mask = [[False] * 18 for _ in range(18)]
    for i in range(12):
        for t in range(3):
            x = 3 + i
            for y in (3 + i + t - 1, 14 - i + t - 1):
                if 0 <= y < 18:
                    mask[y][x] = True
    return mask


def edge(mask, x, y):
    if not mask[y][x]:
        return False
    for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
        nx, ny = x + dx, y + dy
        if not (0 <= nx < 18 and 0 <= ny < 18) or not mask[ny][nx]:
            return True
    return False


def two_image(mask, fill, rim):
    """36 x 18 palette indices: the filled shape, then its grey outline."""
    olive, grey = 3, 8
    rows = [[olive] * 36 for _ in range(18)]
    for y in range(18):
        for x in range(18):
            if mask[y][x]:
                rows[y][x] = rim if edge(mask, x, y) else fill
    for y in range(18):
        for x in range(18):
            if edge(mask, x, y):
                rows[y][18 + x] = grey
    assert rows[17][0] == olive
    return rows


# ---------------------------------------------------------------- writers

def bmp16(pixels):
    height, width = len(pixels), len(pixels[0])
    stride = (width * 2 + 3) & ~3
    data = bytearray()
    for row in reversed(pixels):          # bottom-up
        line = bytearray()
        for r, g, b in row:
            line += struct.pack('<H', ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3))
        line += b'\0' * (stride - len(line))
        data += line
    offset = 14 + 40 + 12
    header = struct.pack('<2sIHHI', b'BM', offset + len(data), 0, 0, offset)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 16, 3, len(data), 0, 0, 0, 0)
    masks = struct.pack('<III', 0x7C00, 0x03E0, 0x001F)
    return header + info + masks + bytes(data)


def bmp4(indices):
    height, width = len(indices), len(indices[0])
    stride = ((width + 1) // 2 + 3) & ~3
    data = bytearray()
    for row in reversed(indices):
        line = bytearray()
        for x in range(0, width, 2):
            hi = row[x]
            lo = row[x + 1] if x + 1 < width else 0
            line.append((hi << 4) | lo)
        line += b'\0' * (stride - len(line))
        data += line
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE16)
    offset = 14 + 40 + len(palette)
    header = struct.pack('<2sIHHI', b'BM', offset + len(data), 0, 0, offset)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 4, 0, len(data), 0, 0, 16, 0)
    return header + info + palette + bytes(data)


def glyphs():
    sixteen = {
        'tbprint': (PRINT, MAGENTA),
        'tbpreview': (PREVIEW, MAGENTA),
        'tbseek': (SEEK, MAGENTA),
        'tbrefresh': (REFRESH, LIGHT_GREY),
        'tbfirst': (triangle(True, 11, bar_col=3), MAGENTA),
        'tbprior': (triangle(True, 10), MAGENTA),
        'tbnext': (triangle(False, 5), MAGENTA),
        'tblast': (triangle(False, 4, bar_col=11), MAGENTA),
        'tbnew': (NEW, MAGENTA),
        'tbedit': (EDIT, MAGENTA),
        'tbdel': (DEL, MAGENTA),
        'tbexit': (EXIT, MAGENTA),
        'tbok_delete_row': (DELETE_ROW, MAGENTA),
        'tbboard': (BOARD, MAGENTA),
    }
    files = {}
    for name, (art, transparent) in sixteen.items():
        files[name + '.bmp'] = bmp16(to_pixels(parse(art), transparent))
    files['tbok.bmp'] = bmp4(two_image(tick_mask(), fill=10, rim=2))      # lime, green
    files['tbcancel.bmp'] = bmp4(two_image(cross_mask(), fill=9, rim=1))  # red, maroon
    return files


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else HERE
    for name, data in sorted(glyphs().items()):
        expected = 478 if name in ('tbok.bmp', 'tbcancel.bmp') else 578
        assert len(data) == expected, (name, len(data))
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)
        print(name, len(data))


if __name__ == '__main__':
    main()
