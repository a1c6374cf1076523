#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Writes the seed inputs of fuzz_census into corpus/census/, in the input
# layout described at the top of fuzz_census.cpp. Run it only to renew them.
import os
import struct

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "census")


def seed(name, w, h, depth, masks=0, palette=0, extra=0, mask_bytes=b"", palette_bytes=b"", pixels=b""):
    flags = masks | palette << 2 | extra << 4
    data = bytes([w, h, depth - 1, flags]) + mask_bytes + palette_bytes + pixels
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)


def words(*values):
    return b"".join(struct.pack("<I", v) for v in values)


os.makedirs(here, exist_ok=True)
red, green, blue = 0x00FF0000, 0x0000FF00, 0x000000FF
# The 2 x 2 column-order example: red green / blue red, X-R-G-B with alpha bits.
seed("xrgb-2x2", 2, 2, 32, masks=1, mask_bytes=words(red, green, blue, 0),
     pixels=words(0xFFFF0000, 0x0000FF00, 0x000000FF, 0x80FF0000))
# 5-6-5 white and the top bits of each channel, pitch with 2 spare bytes.
seed("rgb565-3x2", 3, 2, 16, masks=1, extra=2, mask_bytes=words(0xF800, 0x07E0, 0x001F, 0),
     pixels=struct.pack("<3H", 0xFFFF, 0x8410, 0x0821) + b"\0\0" + struct.pack("<3H", 0xFFFF, 0, 0x8410) + b"\0\0")
# 5-5-5 whose top bit must not make a colour of its own.
seed("rgb555-2x1", 2, 1, 15, masks=2, mask_bytes=bytes([10, 5, 5, 5, 0, 5, 15, 1]),
     pixels=struct.pack("<2H", 0x7FFF, 0xFFFF))
# 24-bit bytes 10 20 30 in memory order, pitch padded to 4.
seed("rgb24-2x2", 2, 2, 24, extra=2, pixels=bytes([0x10, 0x20, 0x30, 1, 2, 3, 0, 0, 0x10, 0x20, 0x30, 9, 9, 9, 0, 0]))
# An 8-bit picture with a palette of 3 colours and indices beyond it.
seed("palette-4x2", 4, 2, 8, palette=2,
     palette_bytes=struct.pack("<H", 3) + bytes([255, 0, 0, 0, 255, 0, 0, 0, 255]),
     pixels=bytes([0, 1, 2, 3, 200, 2, 1, 0]))
# An 8-bit picture with masks and no palette: split like any other.
seed("rgb332-no-palette", 3, 1, 8, masks=1, palette=1, mask_bytes=words(0xE0, 0x1C, 0x03, 0),
     pixels=bytes([0xFF, 0x00, 0xE3]))
# Width 0, and height 0.
seed("width-0", 0, 5, 32)
seed("height-0", 4, 0, 32)
# A larger 32-bit picture with arbitrary masks.
seed("odd-masks-16x16", 16, 16, 32, masks=1, mask_bytes=words(0x0F0F0000, 0x00F000F0, 0x1234, 0xFF000000),
     pixels=bytes((i * 37 + 11) & 0xFF for i in range(16 * 16 * 4)))
