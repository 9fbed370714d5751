// Geometry of the main window in twips (1/1440 inch): every placed control is
// a fixed fraction of the client area.
#pragma once

#include <array>

namespace velmor {

struct FormLayout {
  // The thirteen values, in the order they are set.
  float Label2Top = 0, Label2Left = 0;
  float Text2Top = 0, Text2Left = 0, Text2Width = 0;
  float Text3Top = 0, Text3Left = 0, Text3Width = 0, Text3Height = 0;
  float Text4Top = 0, Text4Left = 0, Text4Width = 0, Text4Height = 0;

  // For a client area of width × height twips.
  static FormLayout For(double width, double height);
  std::array<float, 13> Values() const;
};

namespace twips {
// Sizes that the layout rule does not set.
inline constexpr double ClientWidth = 4380, ClientHeight = 4596;
inline constexpr double Label2Width = 996, Label2Height = 180;
inline constexpr double Text2Height = 264;
inline constexpr double StatusBarHeight = 252;

// 1440 twips to the inch; at 96 dots per inch, 15 twips to the pixel.
inline int ToPixels(double twips, int dotsPerInch) {
  const double pixels = twips * dotsPerInch / 1440.0;
  return static_cast<int>(pixels + 0.5);
}
inline double FromPixels(int pixels, int dotsPerInch) { return pixels * 1440.0 / dotsPerInch; }
}  // namespace twips

}  // namespace velmor
