"""Writes the program's icon, window/Icon.h's picture, as a Windows .ico:
one 32x32 image, 4 bits a pixel with the 16-colour palette, AND mask all
zero (fully opaque).

Usage: make_icon.py Icon.h output.ico
"""
import re
import struct
import sys


def read_icon(header):
    text = open(header, encoding="utf-8").read()
    palette_block = re.search(r"kPalette\s*\{(.*?)\};", text, re.S).group(1)
    palette = [int(v, 16) for v in re.findall(r"0x([0-9A-Fa-f]{6})", palette_block)]
    pixels_block = re.search(r"kPixels\s*\{(.*?)\};", text, re.S).group(1)
    rows = re.findall(r'"([0-9A-Fa-f]+)"', pixels_block)
    size = int(re.search(r"kSize\s*=\s*(\d+)", text).group(1))
    if len(palette) != 16 or len(rows) != size or any(len(r) != size for r in rows):
        sys.exit(f"{header}: expected 16 colours and {size} rows of {size} pixels")
    return size, palette, rows


def ico(size, palette, rows):
    row_bytes = (size * 4 + 31) // 32 * 4
    mask_bytes = (size + 31) // 32 * 4
    # Bitmap rows go bottom-up; two pixels a byte, the left one high.
    xor = b"".join(bytes.fromhex(row).ljust(row_bytes, b"\0") for row in reversed(rows))
    mask = bytes(mask_bytes * size)
    colours = b"".join(struct.pack("<BBBB", c & 0xFF, (c >> 8) & 0xFF, c >> 16, 0) for c in palette)
    # The DIB's height counts the picture and the mask.
    info = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = info + colours + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    data = ico(*read_icon(sys.argv[1]))
    with open(sys.argv[2], "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
