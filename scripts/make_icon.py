#!/usr/bin/env python3
"""Draws the Kalmaris application icon and writes it as a Windows .ico file.

The picture is a red squid ("kalmár" in Czech, hence the product's name) on a
dark-blue sea, in two sizes: 32x32 and 16x16, both with the 16 standard VGA
colours at 4 bits per pixel, the format every Windows version shows.

The output depends on nothing but this file (no dates, no host state), so the
build that embeds it stays byte-for-byte reproducible.

Usage: make_icon.py OUTPUT.ico
"""

import struct
import sys

# The 16 standard VGA colours, in the order of the Windows default palette.
PALETTE = [
    (0x00, 0x00, 0x00),  # 0 black
    (0x80, 0x00, 0x00),  # 1 maroon
    (0x00, 0x80, 0x00),  # 2 green
    (0x80, 0x80, 0x00),  # 3 olive
    (0x00, 0x00, 0x80),  # 4 navy
    (0x80, 0x00, 0x80),  # 5 purple
    (0x00, 0x80, 0x80),  # 6 teal
    (0xC0, 0xC0, 0xC0),  # 7 silver
    (0x80, 0x80, 0x80),  # 8 grey
    (0xFF, 0x00, 0x00),  # 9 red
    (0x00, 0xFF, 0x00),  # 10 lime
    (0xFF, 0xFF, 0x00),  # 11 yellow
    (0x00, 0x00, 0xFF),  # 12 blue
    (0xFF, 0x00, 0xFF),  # 13 fuchsia
    (0x00, 0xFF, 0xFF),  # 14 aqua
    (0xFF, 0xFF, 0xFF),  # 15 white
]

# One letter per pixel. '.' is transparent (the desktop shows through).
LEGEND = {
    'k': 0,   # outlines
    'm': 1,   # spots on the squid's mantle
    'n': 4,   # the sea
    'r': 9,   # the squid
    'a': 14,  # bubbles
    'w': 15,  # eyes
}
TRANSPARENT = '.'

ICON_32 = [
    "...kkkkkkkkkkkkkkkkkkkkkkkkkk...",
    ".kknnnnnnnnnnnnnnnnnnnnnnnnnnkk.",
    ".knnnnnnnnnnnnnkknnnnnnnnnnnnnk.",
    "knnnnnnnnnnnnnkrrknnnnnnnannnnnk",
    "knnnnnnnnnnnnkrrrrknnnnnanannnnk",
    "knnnnnnnnnnnkrrrrrrknnnnnannnnnk",
    "knnnnnnnnnnkrrrrrrrrknnnnnnnnnnk",
    "knnnnnnnnnkrrrrrrrrrrknnnnnannnk",
    "knnnnnnnnkrrrrrrrrrrrrknnnnnnnnk",
    "knnnnnnnnnkkrmrrrrmrkknnnnnnnnnk",
    "knnnnnnnnnnnkrrrrrrknnnnnannnnnk",
    "knnnnnnnnnnnkmrrrrmknnnnnnnnnnnk",
    "knnnnnnnnnnnkrrrrrrknnnnnnnnnnnk",
    "knnnnnnnnnnnkrrmmrrknnnnnnnnnnnk",
    "knnnnnnnnnnnkrrrrrrknnnnnnnnnnnk",
    "knnnnnnnnnnnkmrrrrmknnnnnnnnnnnk",
    "knnnnnnnnnnkrrrrrrrrknnnnnnnnnnk",
    "knnnnnnnnnkrrrrrrrrrrknnnnnnnnnk",
    "knnnnnnnnnkwwkrrrrkwwknnnnnnnnnk",
    "knnnnnnnnnkwkkrrrrkkwknnnnnnnnnk",
    "knnnnnnnnnnkrrrrrrrrknnnnnnnnnnk",
    "knnnnnnnnnkrrrrrrrrrrknnnnnnnnnk",
    "knnnnnnnnnrnrnrrrrnrnrnnnnnnnnnk",
    "knnnnnnnnrnnrnrnnrnrnnrnnnnnnnnk",
    "knnnnnnnrnnrnnrnnrnnrnnrnnnnnnnk",
    "knnnnnnnrnnrnnrnnrnnrnnrnnnnnnnk",
    "knnnnnnnnrnnrnrnnrnrnnrnnnnnnnnk",
    "knnnnnnnnnnrnnrnnrnnrnnnnnnnnnnk",
    "knnnnnnnnnnnnnrnnrnnnnnnnnnnnnnk",
    ".knnnnnnnnnnnrrnnrrnnnnnnnnnnnk.",
    ".kknnnnnnnnnnnnnnnnnnnnnnnnnnkk.",
    "...kkkkkkkkkkkkkkkkkkkkkkkkkk...",
]

ICON_16 = [
    ".kkkkkkkkkkkkkk.",
    "knnnnnnkknnnnnnk",
    "knnnnnkrrknnnank",
    "knnnnkrrrrknnnnk",
    "knnnkrrrrmrknnnk",
    "knnnnkrrrrknnnnk",
    "knnnnkmrrrknnnnk",
    "knnnnkrrrrknnnnk",
    "knnnkrrrrrrknnnk",
    "knnnkwkrrkwknnnk",
    "knnnnrrrrrrnnnnk",
    "knnnrnrnnrnrnnnk",
    "knnrnnrnnrnnrnnk",
    "knnrnrnrrnrnrnnk",
    "knnnnrnrrnrnnnnk",
    ".kkkkkkkkkkkkkk.",
]


def pack_rows(rows, bits, pixel):
    """Packs pixel rows bottom-up, as a DIB stores them, each row padded to 32 bits."""
    out = bytearray()
    per_byte = 8 // bits
    for row in reversed(rows):
        line = bytearray()
        for start in range(0, len(row), per_byte):
            byte = 0
            for ch in row[start:start + per_byte]:
                byte = (byte << bits) | pixel(ch)
            byte <<= bits * (per_byte - len(row[start:start + per_byte]))
            line.append(byte)
        line += bytes(-len(line) % 4)
        out += line
    return bytes(out)


def icon_image(rows):
    """Returns one icon image: a 4-bit DIB whose height counts the colour bits and the mask."""
    size = len(rows)
    for row in rows:
        if len(row) != size:
            raise ValueError("icon rows must form a square")
        for ch in row:
            if ch != TRANSPARENT and ch not in LEGEND:
                raise ValueError("unknown pixel letter %r" % ch)
    colours = pack_rows(rows, 4, lambda ch: 0 if ch == TRANSPARENT else LEGEND[ch])
    mask = pack_rows(rows, 1, lambda ch: 1 if ch == TRANSPARENT else 0)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(colours) + len(mask), 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    return header + palette + colours + mask


def icon_file(images):
    """Returns a complete .ico file holding the given (rows) pictures in order."""
    bodies = [icon_image(rows) for rows in images]
    out = struct.pack("<HHH", 0, 1, len(bodies))
    offset = 6 + 16 * len(bodies)
    for rows, body in zip(images, bodies):
        out += struct.pack("<BBBBHHII", len(rows), len(rows), 16, 0, 1, 4, len(body), offset)
        offset += len(body)
    return out + b"".join(bodies)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    with open(argv[1], "wb") as f:
        f.write(icon_file([ICON_32, ICON_16]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
