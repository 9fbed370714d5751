#include "ui/FormLayout.h"

namespace velmor {

FormLayout FormLayout::For(double width, double height) {
  // Products in double, handed on in single precision, never rounded to
  // whole twips.
  FormLayout l;
  l.Label2Top = static_cast<float>(height * 0.06);
  l.Label2Left = static_cast<float>(width * 0.02);
  l.Text2Top = static_cast<float>(height * 0.05);
  l.Text2Left = static_cast<float>(width * 0.26);
  l.Text2Width = static_cast<float>(width * 0.73);
  l.Text3Top = static_cast<float>(height * 0.2);
  l.Text3Left = static_cast<float>(width * 0.02);
  l.Text3Width = static_cast<float>(width * 0.7);
  l.Text3Height = static_cast<float>(height * 0.7);
  l.Text4Top = static_cast<float>(height * 0.2);
  l.Text4Left = static_cast<float>(width * 0.72);
  l.Text4Width = static_cast<float>(width * 0.26);
  l.Text4Height = static_cast<float>(height * 0.7);
  return l;
}

std::array<float, 13> FormLayout::Values() const {
  return {Label2Top,  Label2Left,  Text2Top, Text2Left, Text2Width, Text3Top,   Text3Left,
          Text3Width, Text3Height, Text4Top, Text4Left, Text4Width, Text4Height};
}

}  // namespace velmor
