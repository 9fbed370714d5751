// Geometry of the operator's window in twips (1/1440 inch): every placed
// control is a fixed fraction of the client area.
#pragma once

#include <array>

namespace velmor {

struct WindowLayout {
  // The thirteen values, in the order they are set: the prompt, the input
  // line, the log view, the member view.
  float promptTop = 0, promptLeft = 0;
  float inputTop = 0, inputLeft = 0, inputWidth = 0;
  float logTop = 0, logLeft = 0, logWidth = 0, logHeight = 0;
  float membersTop = 0, membersLeft = 0, membersWidth = 0, membersHeight = 0;

  // For a client area of width × height twips.
  static WindowLayout For(double width, double height);
  std::array<float, 13> Values() const;
};

namespace twips {
// Sizes that the layout rule does not set.
inline constexpr double ClientWidth = 4380, ClientHeight = 4596;
inline constexpr double PromptWidth = 996, PromptHeight = 180;
inline constexpr double InputHeight = 264;
inline constexpr double StatusBarHeight = 252;

// 1440 twips to the inch; at 96 dots per inch, 15 twips to the pixel.
inline int ToPixels(double twips, int dotsPerInch) {
  const double pixels = twips * dotsPerInch / 1440.0;
  return static_cast<int>(pixels + 0.5);
}
inline double FromPixels(int pixels, int dotsPerInch) { return pixels * 1440.0 / dotsPerInch; }
}  // namespace twips

}  // namespace velmor
