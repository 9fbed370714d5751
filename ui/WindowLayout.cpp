#include "ui/WindowLayout.h"

namespace velmor {

WindowLayout WindowLayout::For(double width, double height) {
  // Products in double, handed on in single precision, never rounded to
  // whole twips.
  WindowLayout l;
  l.promptTop = static_cast<float>(height * 0.06);
  l.promptLeft = static_cast<float>(width * 0.02);
  l.inputTop = static_cast<float>(height * 0.05);
  l.inputLeft = static_cast<float>(width * 0.26);
  l.inputWidth = static_cast<float>(width * 0.73);
  l.logTop = static_cast<float>(height * 0.2);
  l.logLeft = static_cast<float>(width * 0.02);
  l.logWidth = static_cast<float>(width * 0.7);
  l.logHeight = static_cast<float>(height * 0.7);
  l.membersTop = static_cast<float>(height * 0.2);
  l.membersLeft = static_cast<float>(width * 0.72);
  l.membersWidth = static_cast<float>(width * 0.26);
  l.membersHeight = static_cast<float>(height * 0.7);
  return l;
}

std::array<float, 13> WindowLayout::Values() const {
  return {promptTop, promptLeft, inputTop,   inputLeft,   inputWidth,   logTop,       logLeft,
          logWidth,  logHeight,  membersTop, membersLeft, membersWidth, membersHeight};
}

}  // namespace velmor
