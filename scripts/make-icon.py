#!/usr/bin/env python3
# Writes app/quaykit.ico, the utility's one 32 x 32, 16-colour icon: a plug
# in front of a port, drawn below as a character grid over the VGA palette.
import struct
import sys
from pathlib import Path

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

# '.' is transparent; every other character names a palette index.
INK = {'K': 0, 'T': 6, 'B': 4, 'C': 14, 'G': 7, 'D': 8, 'W': 15, 'Y': 11}

# Top row first. A dark tile (the port) with a light plug entering it from
# below, its two prongs up, and a spark over the prongs.
GRID = """
................................
..KKKKKKKKKKKKKKKKKKKKKKKKKKKK..
.KBBBBBBBBBBBBBBBBBBBBBBBBBBBBK.
.KBTTTTTTTTTTTTTTTTTTTTTTTTTTBK.
.KBTTTTTTTTTTTTYTTTTTTTTTTTTTBK.
.KBTTTTTTTTTTTYYYTTTTTTTTTTTTBK.
.KBTTTTTTTTTTTTYTTTTTTTTTTTTTBK.
.KBTTTTTTTKKKTTTTTTKKKTTTTTTTBK.
.KBTTTTTTTKGKTTTTTTKGKTTTTTTTBK.
.KBTTTTTTTKGKTTTTTTKGKTTTTTTTBK.
.KBTTTTTTTKGKTTTTTTKGKTTTTTTTBK.
.KBTTTTTTTKGKTTTTTTKGKTTTTTTTBK.
.KBTTTTKKKKGKKKKKKKKGKKKKTTTTBK.
.KBTTTKWWWWWWWWWWWWWWWWWWKTTTBK.
.KBTTTKWCCCCCCCCCCCCCCCCGKTTTBK.
.KBTTTKWCCCCCCCCCCCCCCCCGKTTTBK.
.KBTTTKWCCCCCCCCCCCCCCCCGKTTTBK.
.KBTTTKWCCCCCCCCCCCCCCCCGKTTTBK.
.KBTTTKWCCCCCCCCCCCCCCCCGKTTTBK.
.KBTTTKWCCCCCCCCCCCCCCCCGKTTTBK.
.KBTTTTKGGGGGGGGGGGGGGGGKTTTTBK.
.KBTTTTTKGGGGGGGGGGGGGGKTTTTTBK.
.KBTTTTTTKKKKKWCGKKKKKKTTTTTTBK.
.KBTTTTTTTTTTKWCGKTTTTTTTTTTTBK.
.KBTTTTTTTTTTKWCGKTTTTTTTTTTTBK.
.KBBBBBBBBBBBKWCGKBBBBBBBBBBBBK.
..KKKKKKKKKKKKWCGKKKKKKKKKKKKK..
.............KWCGK..............
.............KWCGK..............
.............KWCGK..............
.............KWCGK..............
.............KKKKK..............
"""


def build_icon():
    rows = GRID.split()
    assert len(rows) == 32 and all(len(r) == 32 for r in rows), "grid must be 32 x 32"
    width = height = 32

    # Both bitmaps are stored bottom row first. XOR: 4 bits per pixel, the
    # left pixel in the high nibble; transparent pixels are black there.
    # AND: 1 bit per pixel, set where the background shows through; each row
    # padded to 32 bits (32 pixels already are).
    xor_bits = bytearray()
    and_bits = bytearray()
    for row in reversed(rows):
        indices = [INK.get(ch, 0) for ch in row]
        for left, right in zip(indices[0::2], indices[1::2]):
            xor_bits.append(left << 4 | right)
        mask = 0
        for ch in row:
            mask = mask << 1 | (1 if ch == '.' else 0)
        and_bits += mask.to_bytes(4, 'big')

    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    # The header's height counts both bitmaps, as icon images require.
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, 4, 0,
                         len(xor_bits) + len(and_bits), 0, 0, 16, 0)
    image = header + palette + bytes(xor_bits) + bytes(and_bits)

    icondir = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', width, height, 16, 0, 1, 4, len(image),
                        len(icondir) + 16)
    return icondir + entry + image


def main():
    default = Path(__file__).resolve().parent.parent / 'app' / 'quaykit.ico'
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else default
    out.write_bytes(build_icon())
    print(f'wrote {out}')


if __name__ == '__main__':
    main()
