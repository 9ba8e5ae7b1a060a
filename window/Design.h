#pragma once
/// The progress window as designed, in twips (1440 to the inch, 15 twips
/// to a pixel at 96 dots per inch). Backends draw from these values.

#include <array>

#include "update/Texts.h"

namespace quennel::design {

inline constexpr int kTwipsPerPixel = 15;

inline constexpr const char* kCaption = texts::kCaption;
inline constexpr int kClientWidth = 7455;   // 497 pixels
inline constexpr int kClientHeight = 1620;  // 108 pixels
/// Placement of the client area when shown, should a backend want it.
inline constexpr int kClientLeft = 1170;
inline constexpr int kClientTop = 2340;

struct Rgb {
  unsigned char red, green, blue;
};
inline constexpr Rgb kBackground{192, 192, 192};
inline constexpr Rgb kLabelText{255, 0, 0};

inline constexpr const char* kFontFace = "MS Sans Serif";
inline constexpr double kFontPoints = 8.25;
inline constexpr int kFontWeight = 700;

struct LabelBox {
  int left, top, width, height;
  const char* designText;
};
/// The label array E: two red labels with 120-twip margins.
inline constexpr std::array<LabelBox, 2> kLabels{{
    {120, 120, 7215, 495, "Installation de la nouvelle version de"},
    {120, 840, 7215, 615, "Etiquette1"},
}};

/// A copy's progress bar, shown during a long copy under the labels, with
/// their margins, in the strip below label 1.
struct Box {
  int left, top, width, height;
};
inline constexpr Box kProgressBar{120, 1470, 7215, 120};  // 8 pixels high, 2 above the edge

/// Twips to pixels at 96 dots per inch, rounded to nearest.
constexpr int Pixels(int twips) { return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel; }

}  // namespace quennel::design
