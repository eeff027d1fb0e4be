#!/usr/bin/python3
"""Draw the two programs' icons and write them as classic 16-colour .ico files.

Setup gets a sheet of paper with a green plus badge, the uninstaller the same
sheet with a red minus badge. The images are plain 4-bit BMPs with an AND mask
so that every Windows version, down to the oldest shell, shows them unchanged.
Output depends on nothing but this file, so rerunning it leaves git clean.

    /usr/bin/python3 scripts/make_icons.py
"""

import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The Windows 16-colour system palette (the VGA colour set in Windows order):
# shells map 4-bit icons onto these, so no colour shifts on a 16-colour screen.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, GREY, RED, LIME, SILVER, WHITE = 0, 1, 2, 8, 9, 10, 7, 15
CLEAR = None  # transparent: AND bit set, colour index 0

PLUS = (GREEN, LIME, "plus")
MINUS = (MAROON, RED, "minus")


def fill(img, x0, y0, x1, y1, colour):
    """Fill the inclusive rectangle (x0, y0)-(x1, y1)."""
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = colour


def draw(size, badge):
    """Return rows (top first) of palette indices or CLEAR."""
    u = size // 16  # one unit: 2 px on the 32x32 image, 1 px on the 16x16
    img = [[CLEAR] * size for _ in range(size)]

    # Sheet of paper with its top-right corner folded down.
    left, top, right, bottom = 2 * u, 0, 12 * u - 1, size - 1
    fold = 3 * u
    fill(img, left, top, right, bottom, WHITE)
    fill(img, left, top, right, top, BLACK)
    fill(img, left, top, left, bottom, BLACK)
    fill(img, left, bottom, right, bottom, BLACK)
    fill(img, right, top, right, bottom, BLACK)
    fx = right - fold + 1
    for i in range(fold):
        for j in range(fold):
            if j > i:
                colour = CLEAR  # the corner that was folded away
            elif j == i or j == 0 or i == fold - 1:
                colour = BLACK  # crease and edges of the flap
            else:
                colour = SILVER
            img[top + i][fx + j] = colour

    # Lines of text, with a short one now and then.
    step = 2 * u
    for y in range(top + 4 * u, bottom - u, step):
        end = right - 2 * u if (y // step) % 3 else right - 5 * u
        fill(img, left + 2 * u, y, end, y, GREY)

    # Round badge in the bottom-right corner, overlapping the sheet.
    rim, face, symbol = badge
    b0, b1 = size - 8 * u, size - 1
    # Distances in quarter pixels keep the circle in integers: the same
    # pixels come out whatever the platform's floating point does.
    r4 = 2 * (b1 - b0 + 1)
    for y in range(b0, b1 + 1):
        for x in range(b0, b1 + 1):
            d4_sq = 4 * ((2 * x - b0 - b1) ** 2 + (2 * y - b0 - b1) ** 2)
            if d4_sq <= (r4 - 5) ** 2:
                img[y][x] = face
            elif d4_sq <= r4 ** 2:
                img[y][x] = rim
    arm_lo, arm_hi = b0 + 2 * u, b1 - 2 * u
    mid_lo, mid_hi = b0 + 3 * u + u // 2, b1 - 3 * u - u // 2
    fill(img, arm_lo, mid_lo, arm_hi, mid_hi, WHITE)
    if symbol == "plus":
        fill(img, mid_lo, arm_lo, mid_hi, arm_hi, WHITE)
    return img


def icon_image(img):
    """Encode one image as BITMAPINFOHEADER + palette + XOR bits + AND mask."""
    size = len(img)
    xor_stride = (size * 4 + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(img):  # DIB rows are stored bottom-up
        bits = bytearray(xor_stride)
        and_bits = bytearray(and_stride)
        for x, colour in enumerate(row):
            if colour is CLEAR:
                and_bits[x // 8] |= 0x80 >> (x % 8)
                colour = 0
            bits[x // 2] |= colour << (0 if x % 2 else 4)
        xor += bits
        mask += and_bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def write_ico(path, images):
    blobs = [icon_image(img) for img in images]
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for img, blob in zip(images, blobs):
        size = len(img)
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    out += b"".join(blobs)
    with open(path, "wb") as f:
        f.write(out)


def main():
    write_ico(os.path.join(ROOT, "install", "install.ico"), [draw(32, PLUS)])
    write_ico(os.path.join(ROOT, "uninstall", "quelbrin.ico"),
              [draw(32, MINUS), draw(16, MINUS)])


if __name__ == "__main__":
    main()
