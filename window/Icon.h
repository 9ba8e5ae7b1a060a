#pragma once
/// The program's icon: 32 by 32 pixels in the standard 16-colour palette,
/// fully opaque. The window and the program file (Windows resource) both
/// take their picture from here.

#include <array>
#include <cstdint>

namespace quennel::icon {

inline constexpr int kSize = 32;

/// The standard 16-colour palette, as 0xRRGGBB.
inline constexpr std::array<std::uint32_t, 16> kPalette{
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

/// One hexadecimal palette index per pixel, top row first: a yellow (B)
/// field with a fuchsia (D) arrow on an aqua (E) diamond, and a two-pixel
/// bevel, silver (7) on the top and left, white (F) on the bottom and right.
inline constexpr std::array<const char*, kSize> kPixels{
    "77777777777777777777777777777777",
    "7777777777777777777777777777777F",
    "77BBBBBBBBBBBBBBBBBBBBBBBBBBBBFF",
    "77BBBBBBBBBBBBBBBBBBBBBBBBBBBBFF",
    "77BBBBBBBBBBBBBBBBBBBBBBBBBBBBFF",
    "77BBBBBBBBBBBBBEEBBBBBBBBBBBBBFF",
    "77BBBBBBBBBBBBEEEEBBBBBBBBBBBBFF",
    "77BBBBBBBBBBBEEEEEEBBBBBBBBBBBFF",
    "77BBBBBBBBBBEDDDDDDEBBBBBBBBBBFF",
    "77BBBBBBBBBEEDDDDDDEEBBBBBBBBBFF",
    "77BBBBBBBBEEEDDDDDDEEEBBBBBBBBFF",
    "77BBBBBBBEEEEDDDDDDEEEEBBBBBBBFF",
    "77BBBBBBEEEEEDDDDDDEEEEEBBBBBBFF",
    "77BBBBBEEEEEEDDDDDDEEEEEEBBBBBFF",
    "77BBBBEEEEEEEDDDDDDEEEEEEEBBBBFF",
    "77BBBEEEEEEEEDDDDDDEEEEEEEEBBBFF",
    "77BBBEEEEEEEEDDDDDDEEEEEEEEBBBFF",
    "77BBBBEEEDDDDDDDDDDDDDDEEEBBBBFF",
    "77BBBBBEEEDDDDDDDDDDDDEEEBBBBBFF",
    "77BBBBBBEEEDDDDDDDDDDEEEBBBBBBFF",
    "77BBBBBBBEEEDDDDDDDDEEEBBBBBBBFF",
    "77BBBBBBBBEEEDDDDDDEEEBBBBBBBBFF",
    "77BBBBBBBBBEEEDDDDEEEBBBBBBBBBFF",
    "77BBBBBBBBBBEEEDDEEEBBBBBBBBBBFF",
    "77BBBBBBBBBBBEEEEEEBBBBBBBBBBBFF",
    "77BBBBBBBBBBBBEEEEBBBBBBBBBBBBFF",
    "77BBBBBBBBBBBBBEEBBBBBBBBBBBBBFF",
    "77BBBBBBBBBBBBBBBBBBBBBBBBBBBBFF",
    "77BBBBBBBBBBBBBBBBBBBBBBBBBBBBFF",
    "77BBBBBBBBBBBBBBBBBBBBBBBBBBBBFF",
    "77FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
    "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",};

/// Palette index of the pixel at column x, row y.
constexpr int IndexAt(int x, int y) {
  const char c = kPixels[y][x];
  return c <= '9' ? c - '0' : c - 'A' + 10;
}

/// Colour of the pixel at column x, row y, as 0xRRGGBB.
constexpr std::uint32_t ColourAt(int x, int y) { return kPalette[IndexAt(x, y)]; }

}  // namespace quennel::icon
